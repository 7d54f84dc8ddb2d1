#include "receiver/relay/user_terminal.h"

#include <unistd.h>

namespace pushfile::receive {

user_terminal::user_terminal() {
    if (isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved_) == 0) {
        is_terminal_ = true;
        have_size_ = ioctl(STDIN_FILENO, TIOCGWINSZ, &size_) == 0;
    }
}

void user_terminal::enter_raw_mode() {
    if (!is_terminal_ || in_raw_mode_) return;
    termios raw = saved_;
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSADRAIN, &raw) == 0) in_raw_mode_ = true;
}

void user_terminal::leave_raw_mode() {
    if (!in_raw_mode_) return;
    in_raw_mode_ = false;
    (void)tcsetattr(STDIN_FILENO, TCSADRAIN, &saved_);
}

bool user_terminal::window_size(winsize* size) const {
    return is_terminal_ && ioctl(STDIN_FILENO, TIOCGWINSZ, size) == 0;
}

}  // namespace pushfile::receive
