// The line a program on the remote side writes when no terminal answers its first message: most
// likely the user's side runs no pushfile-receive, a tmux in between does not pass the messages
// on, or a jump host in between does not pass them on. pushfile and pullfile say it alike.
#pragma once

#include <cstddef>
#include <cstdio>

namespace pushfile {

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

}  // namespace pushfile
