#include "pushfile/multiplexer.h"

#include <unistd.h>

namespace pushfile::send {

multiplexer multiplexer_of_output() { return is_tmux_pane(STDOUT_FILENO) ? multiplexer::tmux : multiplexer::none; }

std::size_t wrap_message(multiplexer pane, const void* head, std::size_t head_length, const void* tail,
                         std::size_t tail_length, unsigned char* wrapped, std::size_t size) {
    switch (pane) {
        case multiplexer::tmux: return wrap_for_tmux(head, head_length, tail, tail_length, wrapped, size);
        case multiplexer::none: break;
    }
    return 0;
}

}  // namespace pushfile::send
