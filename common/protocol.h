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

// The receiver's replies. Only the first byte matters to a sender. The second is the line-kill
// character, Ctrl-U: an answer that reaches a shell, a line-mode read or a REPL by mistake (a
// sender that was killed, output that merely looked like a transfer) is a letter typed and erased
// at once, so it changes nothing on the line being edited.
inline constexpr unsigned char LINE_KILL = 0x15;
inline constexpr unsigned char REPLY_ACCEPTED[REPLY_LENGTH] = {'k', LINE_KILL};
inline constexpr unsigned char REPLY_REFUSED[REPLY_LENGTH] = {'n', LINE_KILL};

}  // namespace pushfile
