#include "receiver/command_terminal.h"

#include <cstring>

namespace pushfile::receive {
namespace {

bool same_mode(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace

void command_terminal_mode::hold_for_transfer() {
    release_due_ = false;
    if (held_ || master_fd_ < 0) return;
    termios mode{};
    if (tcgetattr(master_fd_, &mode) != 0) return;
    if ((mode.c_lflag & (ICANON | ECHO)) == 0) return;  // the sender or the command saw to it
    found_ = mode;
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    if (tcsetattr(master_fd_, TCSANOW, &mode) != 0 || tcgetattr(master_fd_, &set_) != 0) return;
    held_ = true;
}

void command_terminal_mode::release_after_transfer() {
    if (held_) release_due_ = true;
}

void command_terminal_mode::input_written() {
    if (!release_due_) return;
    release_due_ = false;
    held_ = false;
    termios now{};
    if (master_fd_ < 0 || tcgetattr(master_fd_, &now) != 0 || !same_mode(now, set_)) return;
    (void)tcsetattr(master_fd_, TCSANOW, &found_);
}

}  // namespace pushfile::receive
