// The standard descriptors of a program on the remote side: kept open, descriptor 1 carrying the
// messages to the terminal (wrapped for the multiplexer of its pane), descriptor 2 the lines for
// the person. Nothing here takes from the heap: the sender writes its messages through it while
// transferring.
#pragma once

#include <cstddef>
#include <string_view>

namespace pushfile::remote {

// Opens /dev/null on each of descriptors 0 to last that is closed: a standard descriptor left
// closed would be taken by the first file opened, which would then be read as the terminal or
// get the messages.
void open_closed_standard_descriptors(int last);

// Finds out whether descriptor 1 is the terminal of the tmux pane this process runs in and, when it
// is, wraps each message that write_message() writes from now on in tmux's passthrough: a
// multiplexer drops the messages unless they come wrapped, and only its pane's own terminal
// reaches it. Returns whether it is.
bool wrap_messages_for_output_pane();

// Writes one whole message to descriptor 1, given as a head (at most MESSAGE_BUFFER_SIZE bytes)
// and a tail (at most LETTER_BUFFER_SIZE bytes, no ESC among them), either of them empty.
// Plainly that is one complete write of each part that is not empty; wrapped, one complete write
// of the whole wrap. Returns false, with errno saying why, when a write fails.
bool write_message(const void* head, std::size_t head_length, const void* tail, std::size_t tail_length);

// Writes text as one line to descriptor 2, in one write where the descriptor takes it, so that
// other output does not tear it. On a terminal, whose output processing raw mode turns off, the
// line ends in CR LF, and set apart it starts on a line of its own.
void write_error_line(std::string_view text, bool set_apart = false);

}  // namespace pushfile::remote
