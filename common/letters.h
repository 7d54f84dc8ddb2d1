// The letter encoding of file bytes: each byte becomes two letters from '@' (0x40) to 'O' (0x4F),
// high nibble first. A block's checksum is the sum of its letters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pushfile {

inline constexpr unsigned char LETTER_BASE = 0x40;

// Writes 2 * count letters for count bytes and returns the sum of the letters. The sum of a full
// block stays far below INT32_MAX. Picks the fastest routine the processor offers.
std::uint32_t encode_letters(const unsigned char* bytes, std::size_t count, unsigned char* letters);

// Decodes up to pair_count letter pairs into bytes, stopping before the first pair that holds a
// byte outside '@'..'O'. Returns the number of pairs decoded and adds their letters to *letter_sum.
std::size_t decode_letters(const unsigned char* letters, std::size_t pair_count, unsigned char* bytes,
                           std::uint64_t* letter_sum);

inline bool is_letter(unsigned char byte) { return (byte & 0xF0U) == LETTER_BASE; }

// Each routine separately, so that tests and benchmarks can hold them to identical results. The
// vector routines exist only on their own architecture (SSE2 and AVX2 on x86-64, NEON on AArch64);
// elsewhere they are not available and asking for one gives the scalar routine.
enum class letter_routine { scalar, sse2, avx2, neon };
bool letter_routine_available(letter_routine routine);
std::uint32_t encode_letters_with(letter_routine routine, const unsigned char* bytes, std::size_t count,
                                  unsigned char* letters);
std::size_t decode_letters_with(letter_routine routine, const unsigned char* letters, std::size_t pair_count,
                                unsigned char* bytes, std::uint64_t* letter_sum);

}  // namespace pushfile
