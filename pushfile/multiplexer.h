// The terminal multiplexer, if any, whose pane the sender writes to. A multiplexer drops escape
// sequences it does not know, the transfer messages among them, unless they come wrapped in its
// own passthrough. tmux is the one known.
#pragma once

#include <cstddef>

#include "common/multiplexer.h"

namespace pushfile::send {

enum class multiplexer { none, tmux };

// Which multiplexer's pane standard output is the terminal of; none when it is no pane, or when
// that cannot be found out.
multiplexer multiplexer_of_output();

// Room for any one message wrapped for any multiplexer.
inline constexpr std::size_t WRAPPED_MESSAGE_SIZE = TMUX_WRAPPED_MESSAGE_SIZE;

// Writes head and tail, as one message, into wrapped (size bytes) in the passthrough of
// multiplexer pane (not none). Returns the wrapped length, or 0 when it does not fit.
std::size_t wrap_message(multiplexer pane, const void* head, std::size_t head_length, const void* tail,
                         std::size_t tail_length, unsigned char* wrapped, std::size_t size);

}  // namespace pushfile::send
