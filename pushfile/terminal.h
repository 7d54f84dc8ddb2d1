// The two standard descriptors as the transfer's channel: descriptor 1 carries the escape stream,
// descriptor 0 the terminal's replies, and descriptor 0's terminal line is raw for the run.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "pushfile/multiplexer.h"

namespace pushfile::send {

// Saves the settings of the terminal on descriptor 0 and switches it to the transfer mode.
// Does nothing when descriptor 0 is no terminal. From then on SIGTERM, SIGHUP, SIGINT and SIGQUIT
// (those not ignored at start) put the saved settings back before they end the process.
void enter_transfer_mode();

// Writes the saved settings back, if there are any. Safe to call more than once.
void restore_terminal();

// Writes length bytes to descriptor 1 in full. Returns length, 0 for an empty write, or a
// negative value when a write fails (a write that makes no progress counts as failed).
ssize_t write_full(const void* bytes, std::size_t length);

// Reads one reply from descriptor 0: one read of up to two bytes and, when it brings only one,
// a brief wait for the second, since a serial line may deliver them apart. Returns 2 for a whole
// reply, 1 for a byte with nothing after it, 0 at the end of input, or a negative value on error.
// The first call of the run writes the notice set below when nothing comes for a few seconds,
// then goes on waiting.
ssize_t read_reply(unsigned char reply[2]);

// The line (without its line end) that the first reply read writes to standard error when the
// terminal stays silent; none when null. Kept by pointer: it must outlive the run.
void set_no_answer_notice(const char* notice);

// From now on write_message() wraps each message for the multiplexer of this pane (none: plainly).
void wrap_messages_for(multiplexer pane);

// Writes one whole message, given as a head (at most pushfile::MESSAGE_BUFFER_SIZE bytes) and a
// tail (at most pushfile::LETTER_BUFFER_SIZE bytes, no ESC among them), either of them empty.
// Plainly that is one complete write of each part that is not empty; wrapped for a multiplexer,
// one complete write of the whole wrap. Returns false when a write fails.
bool write_message(const void* head, std::size_t head_length, const void* tail, std::size_t tail_length);

}  // namespace pushfile::send
