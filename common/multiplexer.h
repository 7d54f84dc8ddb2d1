// Terminal multiplexers between a program and the terminal it writes to. tmux drops escape
// sequences it does not know, the transfer messages among them, unless they come wrapped in its
// passthrough; both programs use these to find out whether they write to a tmux pane and to wrap.
#pragma once

#include <cstddef>

#include "common/protocol.h"

namespace pushfile {

// Whether fd is the terminal of the tmux pane this process runs in: TMUX names the server's pid,
// and the ancestor that the server started has fd's terminal as its controlling terminal.
// Anything that cannot be read from /proc gives false.
bool is_tmux_pane(int fd);

// Room for any one message wrapped: a head may be all ESC (a path can hold them), so it may
// double; a tail (a block's letters) never holds one.
inline constexpr std::size_t TMUX_WRAPPED_MESSAGE_SIZE = 7 + 2 * MESSAGE_BUFFER_SIZE + LETTER_BUFFER_SIZE + 2;

// Writes head and tail, as one message, into wrapped (size bytes) in tmux's passthrough
// (ESC P tmux; ... ESC \ with every ESC inside doubled). Returns the wrapped length, or 0 when it
// does not fit.
std::size_t wrap_for_tmux(const void* head, std::size_t head_length, const void* tail, std::size_t tail_length,
                          unsigned char* wrapped, std::size_t size);

}  // namespace pushfile
