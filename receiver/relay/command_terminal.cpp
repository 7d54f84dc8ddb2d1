#include "receiver/relay/command_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace pushfile::receive {
namespace {

// Input that the command has not read after this long is taken to have reached its side.
constexpr std::chrono::milliseconds UNREAD_INPUT_WAIT{1000};

bool same_mode(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// A descriptor of the terminal's other side, the command's, or -1.
int open_command_side(int master_fd) {
#ifdef TIOCGPTPEER
    const int peer = ioctl(master_fd, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (peer >= 0) return peer;
#endif
    char name[128];
    if (ptsname_r(master_fd, name, sizeof name) != 0) return -1;
    return open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// Bytes written to a pseudo-terminal's master reach the line discipline of its other side a moment
// later, from a kernel worker. Line mode switched on before they got there would hold them back
// until a newline; switched on after, they stay readable as they are. Polling the other side hands
// them over at once, but only when nothing else is waiting to be read there. Returns whether
// something is (after handing over what was on its way, when nothing was).
bool input_unread(int side) {
    pollfd entry{side, POLLIN, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

// The command's window less its last row (size has two rows or more).
winsize without_bottom_row(winsize size) {
    size.ws_ypixel = static_cast<unsigned short>(size.ws_ypixel - size.ws_ypixel / size.ws_row);
    --size.ws_row;
    return size;
}

}  // namespace

// The mode is changed only right before the answers are written, and put back right after they
// reached the command's side: a program that looks at the mode meanwhile (a shell's line editor
// saves it at each prompt, to put back around each command) could keep it for good.
void command_terminal_mode::hold_for_transfer() {
    release_due_ = false;
    end_pause();
    hold_due_ = !held_;
}

void command_terminal_mode::apply_hold() {
    hold_due_ = false;
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
    if ((held_ || hold_due_) && !release_due_) {
        release_due_ = true;
        release_due_since_ = monotonic_clock::now();
    }
}

void command_terminal_mode::drop_unread_and_release() {
    hold_due_ = false;
    if (master_fd_ < 0) return;
    const owned_fd side(open_command_side(master_fd_));
    if (side.valid()) (void)tcflush(side.get(), TCIFLUSH);
    if (held_) restore();
    end_pause();
}

// The sender goes on as soon as it has read the last answer, and what runs after it may look at the
// mode at once (a shell saves it, to put back after each command line). Its output, which it writes
// before it ends, waits until the mode is back.
void command_terminal_mode::before_input_write() {
    if (hold_due_) apply_hold();
    if (!release_due_ || master_fd_ < 0 || paused_side_.valid()) return;
    paused_side_.reset(open_command_side(master_fd_));
    if (!paused_side_.valid()) return;
    // With older input unread there, the new answers cannot be handed over at once: no pause.
    if (input_unread(paused_side_.get()) || tcflow(paused_side_.get(), TCOOFF) != 0) end_pause();
}

void command_terminal_mode::settle_after_input_write(bool all_written) {
    if (!release_due_) {  // only our mode awaited
        restore();
        return;
    }
    if (!held_) {  // nothing was written: the hold never came into force
        release_due_ = hold_due_ = false;
        end_pause();
        return;
    }
    bool delivered = false;
    if (all_written && paused_side_.valid()) {
        // Nothing else was unread: the poll hands over all that was just written.
        (void)input_unread(paused_side_.get());
        delivered = true;
    } else if (all_written && master_fd_ >= 0) {
        // Not paused: what was written is there once the command has read everything.
        const owned_fd side(open_command_side(master_fd_));
        delivered = side.valid() && !input_unread(side.get());
    }
    if (delivered || master_fd_ < 0 || monotonic_clock::now() - release_due_since_ >= UNREAD_INPUT_WAIT) {
        restore();
        end_pause();
    }
}

void command_terminal_mode::end_pause() {
    if (!paused_side_.valid()) return;
    (void)tcflow(paused_side_.get(), TCOON);
    paused_side_.reset();
}

std::string command_terminal_mode::foreground_folder() const {
    const pid_t group = master_fd_ >= 0 ? tcgetpgrp(master_fd_) : -1;
    if (group <= 0) return {};
    const std::string link = "/proc/" + std::to_string(group) + "/cwd";
    char folder[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), folder, sizeof folder);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof folder || folder[0] != '/') return {};
    return {folder, static_cast<std::size_t>(length)};
}

bool command_terminal_mode::take_bottom_row() {
    if (row_taken_) return true;
    winsize size{};
    if (master_fd_ < 0 || ioctl(master_fd_, TIOCGWINSZ, &size) != 0 || size.ws_row < 2) return false;
    const winsize shorter = without_bottom_row(size);
    if (ioctl(master_fd_, TIOCSWINSZ, &shorter) != 0) return false;
    full_size_ = size;
    row_taken_ = true;
    return true;
}

void command_terminal_mode::give_bottom_row_back() {
    if (!row_taken_) return;
    row_taken_ = false;
    if (master_fd_ >= 0) (void)ioctl(master_fd_, TIOCSWINSZ, &full_size_);
}

void command_terminal_mode::window_changed(const winsize& size) {
    if (master_fd_ < 0) return;
    if (!row_taken_) {
        (void)ioctl(master_fd_, TIOCSWINSZ, &size);
        return;
    }
    full_size_ = size;
    // Too small to give up a row: the program gets it all, and the last row is shared for a while.
    const winsize shown = size.ws_row < 2 ? size : without_bottom_row(size);
    (void)ioctl(master_fd_, TIOCSWINSZ, &shown);
}

void command_terminal_mode::restore() {
    release_due_ = false;
    termios now{};
    if (master_fd_ >= 0 && tcgetattr(master_fd_, &now) == 0 && !same_mode(now, set_)) {
        // A program set a mode of its own meanwhile. A shell's line editor does that at every
        // prompt, after saving the mode it found (ours), which it puts back around each command:
        // ours is put back over once it shows again, or the shell would keep it for good.
        awaiting_our_mode_ = true;
        return;
    }
    held_ = false;
    awaiting_our_mode_ = false;
    if (master_fd_ >= 0) (void)tcsetattr(master_fd_, TCSANOW, &found_);
}

}  // namespace pushfile::receive
