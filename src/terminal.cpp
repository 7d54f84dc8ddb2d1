#include "terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace {

termios saved_terminal_settings{};
termios transfer_settings{};
// Writing back a record that was never read would set every flag to zero, the line speed to
// zero included, which hangs the line up: only write back what was read.
bool have_saved_settings = false;

// Waits until descriptor 1 can take more bytes; used after a write refused with EAGAIN.
void wait_until_writable() {
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    while (poll(&output, 1, -1) < 0 && errno == EINTR) {
    }
}

}  // namespace

void enter_transfer_mode() {
    if (tcgetattr(STDIN_FILENO, &saved_terminal_settings) != 0) return;
    have_saved_settings = true;
    transfer_settings = saved_terminal_settings;
    transfer_settings.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    transfer_settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    transfer_settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    transfer_settings.c_cflag |= CS8;
    transfer_settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    transfer_settings.c_cc[VMIN] = 1;
    transfer_settings.c_cc[VTIME] = 0;
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &transfer_settings);
}

void restore_terminal() {
    if (have_saved_settings) (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal_settings);
}

ssize_t write_full(const void* bytes, std::size_t length) {
    if (length == 0) return 0;
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::size_t remaining = length;
    while (remaining > 0) {
        const ssize_t written = write(STDOUT_FILENO, next, remaining);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                wait_until_writable();
                continue;
            }
            return written;
        }
        if (written == 0) {
            // No progress and no error: repeating could loop for ever.
            errno = EIO;
            return -1;
        }
        remaining -= static_cast<std::size_t>(written);
        next += written;
    }
    return static_cast<ssize_t>(length);
}

ssize_t read_reply(unsigned char reply[2]) { return read(STDIN_FILENO, reply, 2); }
