// The user's terminal on standard input: its settings as found, raw mode while the relay runs,
// and its window size, which the command's terminal follows.
#pragma once

#include <sys/ioctl.h>
#include <termios.h>

namespace pushfile::receive {

class user_terminal {
public:
    // Looks at standard input; leaves everything alone when it is not a terminal.
    user_terminal();
    ~user_terminal() { leave_raw_mode(); }  // also on the way out of a handler that throws
    user_terminal(const user_terminal&) = delete;
    user_terminal& operator=(const user_terminal&) = delete;

    bool is_terminal() const { return is_terminal_; }
    // For a new terminal that should start out like this one; null when there is nothing to copy.
    const termios* settings() const { return is_terminal_ ? &saved_ : nullptr; }
    const winsize* size() const { return have_size_ ? &size_ : nullptr; }

    // Keys reach the relay one by one and unchanged; the command's terminal does the rest.
    void enter_raw_mode();
    // Puts the settings back as found. Safe to call on every way out, any number of times.
    void leave_raw_mode();
    // The user's current window size (after SIGWINCH); false when it cannot be known.
    bool window_size(winsize* size) const;

private:
    bool is_terminal_ = false;
    bool have_size_ = false;
    bool in_raw_mode_ = false;
    termios saved_{};
    winsize size_{};
};

}  // namespace pushfile::receive
