// The upload's encoding of file bytes as typed text: base64 (RFC 4648's alphabet, '=' padding),
// which carries 3 bytes in 4 printable characters, none of them '~' or a control byte; dense
// characters, for a tmux between, which reads what is typed one key at a time whatever the key
// holds; and the CRC-32 each frame carries as its check.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pushfile {

// CRC-32 as zlib's crc32() computes it (reflected, polynomial 0xEDB88320): pass 0 to begin, the
// result of the last call to go on.
std::uint32_t crc32(std::uint32_t crc, const void* bytes, std::size_t length);

constexpr std::size_t base64_length(std::size_t byte_count) { return (byte_count + 2) / 3 * 4; }

// Writes base64_length(count) characters for count bytes and returns that number.
std::size_t base64_encode(const unsigned char* bytes, std::size_t count, char* text);

// Decodes length characters (a multiple of 4, '=' padding only at the end) into bytes, which has
// room for length / 4 * 3. Returns false on anything else: a character outside the alphabet,
// padding elsewhere, bits left over in the last group. *decoded is the number of bytes.
bool base64_decode(const char* text, std::size_t length, unsigned char* bytes, std::size_t* decoded);

// Dense characters carry 14 bits each: U+4E00 + value, CJK ideographs assigned since Unicode 1.1
// (so that no tmux takes them for unknown and drops them), each 3 bytes of UTF-8: 1.71 bytes a
// file byte against base64's 1.33, in 1 key for every 1.75 bytes against every 0.75.
inline constexpr unsigned DENSE_BITS = 14;
inline constexpr std::uint32_t DENSE_FIRST_CODE_POINT = 0x4E00;
constexpr std::size_t dense_length(std::size_t byte_count) { return (byte_count * 8 + DENSE_BITS - 1) / DENSE_BITS * 3; }

// Writes dense_length(count) bytes of UTF-8 for count bytes and returns that number.
std::size_t dense_encode(const unsigned char* bytes, std::size_t count, char* text);

// Decodes dense_length(count) bytes of text into count bytes; false for any other length, a
// character outside the range or bits set past the last byte.
bool dense_decode(const char* text, std::size_t length, unsigned char* bytes, std::size_t count);

}  // namespace pushfile
