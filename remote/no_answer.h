// When a program on the remote side tells that no terminal answers its first message, and the
// line it writes: most likely the user's side runs no pushfile-receive, a tmux in between does not
// pass the messages on, or a jump host in between does not pass them on. pushfile and pullfile say
// it alike.
#pragma once

#include <cstddef>
#include <cstdio>

namespace pushfile::remote {

// A newcomer without a receiver on the other side must learn why nothing happens while still
// looking; a receiver answers well within this.
inline constexpr int NO_ANSWER_DELAY_MS = 3000;

inline constexpr std::size_t NO_ANSWER_LINE_SIZE = 320;

// "PROGRAM: no terminal answered; ADVICE" and ending, which may be empty.
inline void format_no_answer(char (&line)[NO_ANSWER_LINE_SIZE], const char* program, bool in_tmux_pane,
                             const char* ending) {
    constexpr const char* tmux_advice = "inside tmux, set -g allow-passthrough on; ";
    constexpr const char* receiver_advice =
        "run pushfile-receive on your side (pushfile-receive -- ssh -t host); "
        "through a jump host, pushfile-receive --forward there";
    std::snprintf(line, sizeof line, "%s: no terminal answered; %s%s%s", program, in_tmux_pane ? tmux_advice : "",
                  receiver_advice, ending);
}

}  // namespace pushfile::remote
