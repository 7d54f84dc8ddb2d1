// Constants of the transfer messages that travel inside the terminal's byte stream.
// Both the sender and the receiver use these; nothing here may change without breaking peers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pushfile {

// Every message opens with ESC '}' 'f' and a one-letter code, and a NUL ends it.
inline constexpr unsigned char ESCAPE = 0x1B;
inline constexpr unsigned char INTRODUCER = '}';
inline constexpr unsigned char FAMILY = 'f';

inline constexpr unsigned char CODE_PATH = 'r';
inline constexpr unsigned char CODE_SIZE = 's';
inline constexpr unsigned char CODE_BLOCK = 'd';
inline constexpr unsigned char CODE_END = 'x';

// A block carries at most this many file bytes (37268, deliberately not 32768).
inline constexpr std::size_t BLOCK_SIZE = 37268;
// The formatted text of a path, size or end message or a block header, NUL included, fits in this.
inline constexpr std::size_t MESSAGE_BUFFER_SIZE = 12288;
// Letters of one full block, plus the NUL that ends the block message.
inline constexpr std::size_t LETTER_BUFFER_SIZE = 2 * BLOCK_SIZE + 1;

// The size announced for a file whose size could not be found (a FIFO, for instance).
inline constexpr std::uint64_t UNKNOWN_SIZE = UINT64_MAX;

// The terminal answers each size and block message with two bytes; the first decides.
inline constexpr unsigned char REPLY_ACCEPT = 'k';
inline constexpr std::size_t REPLY_LENGTH = 2;

// The receiver's replies. Only the first byte matters to a sender; both bytes are printable so
// that they pass any line unchanged, and neither is a newline, so a reply that reaches a shell by
// mistake (output that merely looked like a transfer) runs nothing.
inline constexpr unsigned char REPLY_ACCEPTED[REPLY_LENGTH] = {'k', 'y'};
inline constexpr unsigned char REPLY_REFUSED[REPLY_LENGTH] = {'n', 'o'};

}  // namespace pushfile
