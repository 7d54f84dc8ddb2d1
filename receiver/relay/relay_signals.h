// The signals the relay handles while it runs: the command's end (SIGCHLD), the user's window
// size (SIGWINCH), and requests to stop (SIGTERM, SIGHUP, SIGINT). They stay blocked except
// while the relay waits, so that none is missed between a check and the wait.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <iterator>

#include "common/clock.h"

namespace pushfile::receive {

class relay_signals {
public:
    relay_signals();
    ~relay_signals();  // puts back the process's own handling and mask
    relay_signals(const relay_signals&) = delete;
    relay_signals& operator=(const relay_signals&) = delete;

    // The mask to wait with (ppoll): the handled signals let through.
    const sigset_t* wait_mask() const { return &wait_mask_; }

    // Each reports a signal once, then forgets it.
    bool take_child_changed();
    bool take_window_changed();
    // The number of a stop signal that came, or 0.
    int stop_signal() const;

private:
    static constexpr int HANDLED[] = {SIGCHLD, SIGWINCH, SIGTERM, SIGHUP, SIGINT};
    sigset_t previous_mask_{};
    sigset_t wait_mask_{};
    struct sigaction previous_actions_[std::size(HANDLED)]{};
    struct sigaction previous_pipe_action_ {};
};

// What became of a child: its status as a shell shows it (128 + N for signal N), once reaped.
struct child_exit {
    bool reaped = false;
    int status = 0;
};

// A wait's timeout as ppoll() and sigtimedwait() take it; a negative duration waits not at all.
timespec as_timespec(monotonic_clock::duration duration);

// Reaps child if it has ended, without waiting.
child_exit reap_if_ended(pid_t child);

// Waits until child has ended or the deadline has passed, sleeping in sigtimedwait() for
// SIGCHLD, which must be blocked.
child_exit wait_for_child(pid_t child, monotonic_clock::time_point deadline);

}  // namespace pushfile::receive
