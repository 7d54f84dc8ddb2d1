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

// The upload direction: pullfile, on the remote host, asks the terminal for files. Its messages
// have the same frame as the sender's (ESC } f CODE BODY NUL); the files come back as typed text
// (upload_frames.h in transfer/).
// Request: the body is the folder the files will be saved in, as pullfile names it (for the
// prompt only; it names no file of the user's).
inline constexpr unsigned char CODE_UPLOAD_REQUEST = 'u';
// Acknowledgement: the body is the decimal sequence number of the last frame handled. A data
// frame is handled once written, a file's end frame once the file is saved under its final name.
inline constexpr unsigned char CODE_UPLOAD_ACK = 'a';
// A file was not saved: the sequence number of its file frame, a space, and why, for a person.
// pullfile goes on with the next file.
inline constexpr unsigned char CODE_UPLOAD_FAILED = 'e';
// pullfile ends and reads nothing more: the body is its exit status, in decimal.
inline constexpr unsigned char CODE_UPLOAD_END = 'q';
// From the upload format's version 3, the answer to a query frame (Q): what pullfile already
// holds of that file. QSEQ ';' HELD ';' HASH, or QSEQ ';' 0 when it holds nothing: QSEQ the Q's
// sequence number, HELD how many of the file's first bytes it holds (a partial file of a broken
// upload, or the whole of an identical one), HASH the XXH3-128 of those bytes in 32 lowercase hex
// digits.
inline constexpr unsigned char CODE_UPLOAD_HAVE = 'h';
// From the upload format's version 4, inside tmux: the frames may come in answers to tmux's
// clipboard queries (transfer/clipboard_replies.h). CHUNK SP TOKEN: CHUNK the most bytes one
// answer carries, 0 to go back to typed frames; TOKEN the CLIPBOARD_TOKEN_LENGTH lowercase hex
// digits each answer starts with. pullfile offers at most CHUNK_BYTES_PER_ESCAPE_MS bytes of
// answer per millisecond of tmux's escape-time. From version 5 an answer may be written ahead of
// its query, its end held until the query comes, and pullfile passes over frames it had already.
inline constexpr unsigned char CODE_UPLOAD_CLIPBOARD = 'c';
// From version 5, inside tmux: how typed data frames carry their bytes from now on, 1 in dense
// characters (DENSE_DATA_FRAME_TYPE in transfer/upload_frames.h), 0 in base64.
inline constexpr unsigned char CODE_UPLOAD_KEYS = 'k';

}  // namespace pushfile
