// The terminal on descriptor 0 in raw mode for a run of a program on the remote side, and the
// signals that end such a run: SIGTERM, SIGHUP, SIGINT and SIGQUIT, but for those ignored at start
// (SIGINT and SIGQUIT under nohup or '&'), which were meant to stay ignored.
#pragma once

#include <signal.h>

#include <cstddef>
#include <iterator>

namespace pushfile::remote {

inline constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

// What an ending signal does while the terminal is raw.
enum class ending_signal_use {
    // Its handler puts the saved settings back and ends the process by the same signal at once,
    // wherever the program is: a stalled write cannot keep it alive.
    end_at_once,
    // The signals stay blocked but while the program waits in wait_for() with waiting_mask(), so
    // that the one that comes is handled in plain code (noted_signal()), and the run ended by
    // end_run().
    note_while_waiting,
};

// One per process: the signal handlers reach the saved settings and the noted signal through
// state of their own. Takes nothing from the heap.
class raw_terminal {
public:
    // Notes which ending signals are ignored; with note_while_waiting, blocks the others from here.
    explicit raw_terminal(ending_signal_use use);
    ~raw_terminal() { restore(); }
    raw_terminal(const raw_terminal&) = delete;
    raw_terminal& operator=(const raw_terminal&) = delete;

    // Saves the settings of the terminal on descriptor 0 and switches it to raw mode; when
    // descriptor 0 is no terminal, only the signals are taken (note_while_waiting).
    void enter();

    // Writes the saved settings back, once, after the output has drained; later calls do nothing.
    void restore();

    // The mask to wait with in wait_for(): the ending signals let through (note_while_waiting), or
    // null, the mask as it is (end_at_once).
    const sigset_t* waiting_mask() const;

    // The ending signal that came while waiting, or 0.
    static int noted_signal();

    // Restores the terminal and, when a signal was noted, ends the process by it, so that the
    // parent sees the status it would have seen without the handler. From the start of this, an
    // ending signal ends the process at once: a second one while the terminal is being restored.
    void end_run();

private:
    // Sets action for each ending signal that was not ignored at start.
    void handle_ending_signals(const struct sigaction& action) const;

    ending_signal_use use_;
    sigset_t waiting_{};
    bool ignored_[std::size(ENDING_SIGNALS)] = {};
    bool have_saved_settings_ = false;
};

// ppoll() on one descriptor for events, with mask (null: the mask as it is): >0 ready, 0 timed out
// (timeout_ms < 0: never), <0 failed or interrupted by a signal (errno EINTR).
int wait_for(int fd, short events, int timeout_ms, const sigset_t* mask);

}  // namespace pushfile::remote
