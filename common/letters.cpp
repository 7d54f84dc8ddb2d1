#include "common/letters.h"

// Vector routines only where the target has the instructions; every target has the scalar one.
#if defined(__x86_64__)
#define PUSHFILE_LETTERS_X86 1
#include <immintrin.h>
#elif defined(__aarch64__)
#define PUSHFILE_LETTERS_NEON 1
#include <arm_neon.h>
#endif

namespace pushfile {
namespace {

// Letters are 0x40 + nibble, so the sum of a block's letters is 64 per letter plus its nibbles.
constexpr std::uint64_t LETTER_BASE_SUM_PER_BYTE = std::uint64_t{2} * LETTER_BASE;

std::uint32_t encode_scalar(const unsigned char* bytes, std::size_t count, unsigned char* letters) {
    std::uint32_t nibble_sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned high = bytes[i] >> 4U;
        const unsigned low = bytes[i] & 0x0FU;
        letters[2 * i] = static_cast<unsigned char>(LETTER_BASE | high);
        letters[2 * i + 1] = static_cast<unsigned char>(LETTER_BASE | low);
        nibble_sum += high + low;
    }
    return static_cast<std::uint32_t>(LETTER_BASE_SUM_PER_BYTE * count) + nibble_sum;
}

std::size_t decode_scalar(const unsigned char* letters, std::size_t pair_count, unsigned char* bytes,
                          std::uint64_t* letter_sum) {
    std::size_t pair = 0;
    std::uint64_t nibble_sum = 0;
    for (; pair < pair_count; ++pair) {
        const unsigned high = letters[2 * pair] ^ LETTER_BASE;
        const unsigned low = letters[2 * pair + 1] ^ LETTER_BASE;
        if (((high | low) & 0xF0U) != 0) break;
        bytes[pair] = static_cast<unsigned char>((high << 4U) | low);
        nibble_sum += high + low;
    }
    *letter_sum += LETTER_BASE_SUM_PER_BYTE * pair + nibble_sum;
    return pair;
}

#if defined(PUSHFILE_LETTERS_X86)

// The two 64-bit lanes of a vector of sums, added.
std::uint64_t sum_of_lanes(__m128i sums) {
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

// SSE2 is part of every x86-64 processor, so this routine needs no check.
std::uint32_t encode_sse2(const unsigned char* bytes, std::size_t count, unsigned char* letters) {
    const __m128i nibble_mask = _mm_set1_epi8(0x0F);
    const __m128i base = _mm_set1_epi8(static_cast<char>(LETTER_BASE));
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i high = _mm_and_si128(_mm_srli_epi16(in, 4), nibble_mask);
        const __m128i low = _mm_and_si128(in, nibble_mask);
        // high + low is at most 30, so the byte-wise add cannot overflow before the horizontal sum.
        sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_add_epi8(high, low), zero));
        auto* out = reinterpret_cast<__m128i*>(letters + 2 * i);
        _mm_storeu_si128(out, _mm_or_si128(_mm_unpacklo_epi8(high, low), base));
        _mm_storeu_si128(out + 1, _mm_or_si128(_mm_unpackhi_epi8(high, low), base));
    }
    const std::uint64_t nibble_sum = sum_of_lanes(sums);
    const std::uint64_t vector_sum = LETTER_BASE_SUM_PER_BYTE * i + nibble_sum;
    return static_cast<std::uint32_t>(vector_sum) + encode_scalar(bytes + i, count - i, letters + 2 * i);
}

std::size_t decode_sse2(const unsigned char* letters, std::size_t pair_count, unsigned char* bytes,
                        std::uint64_t* letter_sum) {
    const __m128i base = _mm_set1_epi8(static_cast<char>(LETTER_BASE));
    const __m128i high_nibbles = _mm_set1_epi8(static_cast<char>(0xF0));
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    std::size_t pair = 0;
    for (; pair + 16 <= pair_count; pair += 16) {
        const auto* in = reinterpret_cast<const __m128i*>(letters + 2 * pair);
        // A letter XOR 0x40 is its nibble; anything with high bits left was no letter.
        const __m128i first = _mm_xor_si128(_mm_loadu_si128(in), base);
        const __m128i second = _mm_xor_si128(_mm_loadu_si128(in + 1), base);
        const __m128i stray = _mm_and_si128(_mm_or_si128(first, second), high_nibbles);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(stray, zero)) != 0xFFFF) break;
        sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_add_epi8(first, second), zero));
        // Each 16-bit lane holds the high nibble in its low byte and the low nibble in its high byte.
        const __m128i first_bytes =
            _mm_or_si128(_mm_srli_epi16(_mm_slli_epi16(first, 12), 8), _mm_srli_epi16(first, 8));
        const __m128i second_bytes =
            _mm_or_si128(_mm_srli_epi16(_mm_slli_epi16(second, 12), 8), _mm_srli_epi16(second, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + pair), _mm_packus_epi16(first_bytes, second_bytes));
    }
    const std::uint64_t nibble_sum = sum_of_lanes(sums);
    *letter_sum += LETTER_BASE_SUM_PER_BYTE * pair + nibble_sum;
    return pair + decode_scalar(letters + 2 * pair, pair_count - pair, bytes + pair, letter_sum);
}

__attribute__((target("avx2"))) std::uint32_t encode_avx2(const unsigned char* bytes, std::size_t count,
                                                          unsigned char* letters) {
    const __m256i nibble_mask = _mm256_set1_epi8(0x0F);
    const __m256i base = _mm256_set1_epi8(static_cast<char>(LETTER_BASE));
    const __m256i zero = _mm256_setzero_si256();
    __m256i sums = zero;
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble_mask);
        const __m256i low = _mm256_and_si256(in, nibble_mask);
        sums = _mm256_add_epi64(sums, _mm256_sad_epu8(_mm256_add_epi8(high, low), zero));
        // The unpacks work within 128-bit lanes; the permutes put the halves back in order.
        const __m256i mixed_low = _mm256_or_si256(_mm256_unpacklo_epi8(high, low), base);
        const __m256i mixed_high = _mm256_or_si256(_mm256_unpackhi_epi8(high, low), base);
        auto* out = reinterpret_cast<__m256i*>(letters + 2 * i);
        _mm256_storeu_si256(out, _mm256_permute2x128_si256(mixed_low, mixed_high, 0x20));
        _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(mixed_low, mixed_high, 0x31));
    }
    const std::uint64_t nibble_sum =
        sum_of_lanes(_mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1)));
    const std::uint64_t vector_sum = LETTER_BASE_SUM_PER_BYTE * i + nibble_sum;
    return static_cast<std::uint32_t>(vector_sum) + encode_sse2(bytes + i, count - i, letters + 2 * i);
}

__attribute__((target("avx2"))) std::size_t decode_avx2(const unsigned char* letters, std::size_t pair_count,
                                                        unsigned char* bytes, std::uint64_t* letter_sum) {
    const __m256i base = _mm256_set1_epi8(static_cast<char>(LETTER_BASE));
    const __m256i high_nibbles = _mm256_set1_epi8(static_cast<char>(0xF0));
    const __m256i weights = _mm256_set1_epi16(0x0110);  // 16 for the high nibble, 1 for the low one
    const __m256i zero = _mm256_setzero_si256();
    __m256i sums = zero;
    std::size_t pair = 0;
    for (; pair + 32 <= pair_count; pair += 32) {
        const auto* in = reinterpret_cast<const __m256i*>(letters + 2 * pair);
        const __m256i first = _mm256_xor_si256(_mm256_loadu_si256(in), base);
        const __m256i second = _mm256_xor_si256(_mm256_loadu_si256(in + 1), base);
        if (!_mm256_testz_si256(_mm256_or_si256(first, second), high_nibbles)) break;
        sums = _mm256_add_epi64(sums, _mm256_sad_epu8(_mm256_add_epi8(first, second), zero));
        const __m256i packed =
            _mm256_packus_epi16(_mm256_maddubs_epi16(first, weights), _mm256_maddubs_epi16(second, weights));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes + pair), _mm256_permute4x64_epi64(packed, 0xD8));
    }
    const std::uint64_t nibble_sum =
        sum_of_lanes(_mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1)));
    *letter_sum += LETTER_BASE_SUM_PER_BYTE * pair + nibble_sum;
    return pair + decode_sse2(letters + 2 * pair, pair_count - pair, bytes + pair, letter_sum);
}

bool have_avx2() { return __builtin_cpu_supports("avx2") != 0; }

#endif  // PUSHFILE_LETTERS_X86

#if defined(PUSHFILE_LETTERS_NEON)

// Advanced SIMD is part of every AArch64 processor. The structure loads and stores interleave
// and split the letter pairs themselves.
std::uint32_t encode_neon(const unsigned char* bytes, std::size_t count, unsigned char* letters) {
    const uint8x16_t nibble_mask = vdupq_n_u8(0x0F);
    const uint8x16_t base = vdupq_n_u8(LETTER_BASE);
    std::uint64_t nibble_sum = 0;
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const uint8x16_t in = vld1q_u8(bytes + i);
        const uint8x16_t high = vshrq_n_u8(in, 4);
        const uint8x16_t low = vandq_u8(in, nibble_mask);
        // high + low is at most 30, so the byte-wise add cannot overflow before the widening sum.
        nibble_sum += vaddlvq_u8(vaddq_u8(high, low));
        vst2q_u8(letters + 2 * i, (uint8x16x2_t{{vorrq_u8(high, base), vorrq_u8(low, base)}}));
    }
    const std::uint64_t vector_sum = LETTER_BASE_SUM_PER_BYTE * i + nibble_sum;
    return static_cast<std::uint32_t>(vector_sum) + encode_scalar(bytes + i, count - i, letters + 2 * i);
}

std::size_t decode_neon(const unsigned char* letters, std::size_t pair_count, unsigned char* bytes,
                        std::uint64_t* letter_sum) {
    const uint8x16_t base = vdupq_n_u8(LETTER_BASE);
    const uint8x16_t high_nibbles = vdupq_n_u8(0xF0);
    std::uint64_t nibble_sum = 0;
    std::size_t pair = 0;
    for (; pair + 16 <= pair_count; pair += 16) {
        const uint8x16x2_t in = vld2q_u8(letters + 2 * pair);
        // A letter XOR 0x40 is its nibble; anything with high bits left was no letter.
        const uint8x16_t high = veorq_u8(in.val[0], base);
        const uint8x16_t low = veorq_u8(in.val[1], base);
        if (vmaxvq_u8(vandq_u8(vorrq_u8(high, low), high_nibbles)) != 0) break;
        nibble_sum += vaddlvq_u8(vaddq_u8(high, low));
        vst1q_u8(bytes + pair, vorrq_u8(vshlq_n_u8(high, 4), low));
    }
    *letter_sum += LETTER_BASE_SUM_PER_BYTE * pair + nibble_sum;
    return pair + decode_scalar(letters + 2 * pair, pair_count - pair, bytes + pair, letter_sum);
}

#endif  // PUSHFILE_LETTERS_NEON

}  // namespace

bool letter_routine_available(letter_routine routine) {
#if defined(PUSHFILE_LETTERS_X86)
    if (routine == letter_routine::sse2) return true;
    if (routine == letter_routine::avx2) return have_avx2();
#elif defined(PUSHFILE_LETTERS_NEON)
    if (routine == letter_routine::neon) return true;
#endif
    return routine == letter_routine::scalar;
}

std::uint32_t encode_letters_with(letter_routine routine, const unsigned char* bytes, std::size_t count,
                                  unsigned char* letters) {
    switch (routine) {
#if defined(PUSHFILE_LETTERS_X86)
        case letter_routine::avx2: return encode_avx2(bytes, count, letters);
        case letter_routine::sse2: return encode_sse2(bytes, count, letters);
#endif
#if defined(PUSHFILE_LETTERS_NEON)
        case letter_routine::neon: return encode_neon(bytes, count, letters);
#endif
        default: break;
    }
    return encode_scalar(bytes, count, letters);
}

std::size_t decode_letters_with(letter_routine routine, const unsigned char* letters, std::size_t pair_count,
                                unsigned char* bytes, std::uint64_t* letter_sum) {
    switch (routine) {
#if defined(PUSHFILE_LETTERS_X86)
        case letter_routine::avx2: return decode_avx2(letters, pair_count, bytes, letter_sum);
        case letter_routine::sse2: return decode_sse2(letters, pair_count, bytes, letter_sum);
#endif
#if defined(PUSHFILE_LETTERS_NEON)
        case letter_routine::neon: return decode_neon(letters, pair_count, bytes, letter_sum);
#endif
        default: break;
    }
    return decode_scalar(letters, pair_count, bytes, letter_sum);
}

// The processor check reads a flag that the runtime fills at start, so asking per call is cheap
// and keeps this code free of state of its own.
std::uint32_t encode_letters(const unsigned char* bytes, std::size_t count, unsigned char* letters) {
#if defined(PUSHFILE_LETTERS_X86)
    return have_avx2() ? encode_avx2(bytes, count, letters) : encode_sse2(bytes, count, letters);
#elif defined(PUSHFILE_LETTERS_NEON)
    return encode_neon(bytes, count, letters);
#else
    return encode_scalar(bytes, count, letters);
#endif
}

std::size_t decode_letters(const unsigned char* letters, std::size_t pair_count, unsigned char* bytes,
                           std::uint64_t* letter_sum) {
#if defined(PUSHFILE_LETTERS_X86)
    return have_avx2() ? decode_avx2(letters, pair_count, bytes, letter_sum)
                       : decode_sse2(letters, pair_count, bytes, letter_sum);
#elif defined(PUSHFILE_LETTERS_NEON)
    return decode_neon(letters, pair_count, bytes, letter_sum);
#else
    return decode_scalar(letters, pair_count, bytes, letter_sum);
#endif
}

}  // namespace pushfile
