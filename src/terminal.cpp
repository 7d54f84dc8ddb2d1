#include "src/terminal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/io.h"
#include "common/protocol.h"

namespace pushfile::send {
namespace {

termios saved_terminal_settings{};
termios transfer_settings{};
// Writing back a record that was never read would set every flag to zero, the line speed to
// zero included, which hangs the line up: only write back what was read.
bool have_saved_settings = false;

bool wrap_for_tmux = false;

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
    return write_all(STDOUT_FILENO, bytes, length) == length ? static_cast<ssize_t>(length) : -1;
}

ssize_t read_reply(unsigned char reply[2]) { return read(STDIN_FILENO, reply, 2); }

namespace {

// tmux hands the contents of this string on to the outer terminal, with every ESC in it doubled.
constexpr unsigned char PASSTHROUGH_START[] = {0x1B, 'P', 't', 'm', 'u', 'x', ';'};
constexpr unsigned char PASSTHROUGH_END[] = {0x1B, '\\'};
// A head may be all ESC (a path can hold them), so it may double; a tail never holds one.
constexpr std::size_t WRAPPED_BUFFER_SIZE =
    sizeof PASSTHROUGH_START + 2 * MESSAGE_BUFFER_SIZE + LETTER_BUFFER_SIZE + sizeof PASSTHROUGH_END;

// Appends length bytes at buffer + *used with every ESC doubled; false when they do not fit.
bool append_doubling_escapes(unsigned char* buffer, std::size_t* used, const void* bytes, std::size_t length) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    while (length > 0) {
        const auto* escape = static_cast<const unsigned char*>(std::memchr(next, ESCAPE, length));
        const std::size_t span = escape != nullptr ? static_cast<std::size_t>(escape - next) + 1 : length;
        const std::size_t doubled = escape != nullptr ? 1 : 0;
        if (WRAPPED_BUFFER_SIZE - *used < span + doubled) return false;
        std::memcpy(buffer + *used, next, span);
        *used += span;
        if (doubled != 0) buffer[(*used)++] = ESCAPE;
        next += span;
        length -= span;
    }
    return true;
}

// Kept out of line so that the plain path never enters this frame and its buffer.
[[gnu::noinline]] bool write_wrapped(const void* head, std::size_t head_length, const void* tail,
                                     std::size_t tail_length) {
    unsigned char wrapped[WRAPPED_BUFFER_SIZE];
    std::memcpy(wrapped, PASSTHROUGH_START, sizeof PASSTHROUGH_START);
    std::size_t used = sizeof PASSTHROUGH_START;
    if (!append_doubling_escapes(wrapped, &used, head, head_length) ||
        !append_doubling_escapes(wrapped, &used, tail, tail_length) ||
        WRAPPED_BUFFER_SIZE - used < sizeof PASSTHROUGH_END) {
        errno = EMSGSIZE;
        return false;
    }
    std::memcpy(wrapped + used, PASSTHROUGH_END, sizeof PASSTHROUGH_END);
    used += sizeof PASSTHROUGH_END;
    return write_full(wrapped, used) == static_cast<ssize_t>(used);
}

// The fields of /proc/PID/stat that the pane search needs.
struct process_status {
    long parent = 0;
    int terminal = 0;  // tty_nr: the controlling terminal's device, 0 for none
};

bool read_process_status(long pid, process_status* status) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    char text[4096];
    ssize_t got = 0;
    while ((got = read(file, text, sizeof text - 1)) < 0 && errno == EINTR) {}
    close(file);
    if (got <= 0) return false;
    text[got] = '\0';
    // The command name in parentheses may itself hold spaces and parentheses: the fields that
    // follow start after the last ')'. They are: state, parent, group, session, terminal.
    const char* field = std::strrchr(text, ')');
    if (field == nullptr || field[1] != ' ' || field[2] == '\0' || field[3] != ' ') return false;
    field += 3;
    long values[4];
    for (long& value : values) {
        char* end = nullptr;
        errno = 0;
        value = std::strtol(field, &end, 10);
        if (errno != 0 || end == field || (*end != ' ' && *end != '\n' && *end != '\0')) return false;
        field = end;
    }
    if (values[3] < INT_MIN || values[3] > INT_MAX) return false;
    status->parent = values[0];
    status->terminal = static_cast<int>(values[3]);
    return true;
}

// The kernel's tty_nr packs the minor number's low byte into bits 0-7, the major into bits 8-19
// and the rest of the minor above them.
bool same_device(int tty_nr, dev_t device) {
    const auto packed = static_cast<unsigned>(tty_nr);
    const unsigned tty_major = (packed >> 8) & 0xFFFU;
    const unsigned tty_minor = (packed & 0xFFU) | ((packed >> 12) & 0xFFF00U);
    return tty_major == major(device) && tty_minor == minor(device);
}

// The server's pid, the second comma-separated field of TMUX; 0 when there is none.
long tmux_server_pid() {
    const char* value = std::getenv("TMUX");
    if (value == nullptr) return 0;
    const char* field = std::strchr(value, ',');
    if (field == nullptr) return 0;
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(field + 1, &end, 10);
    if (errno != 0 || end == field + 1 || (*end != ',' && *end != '\0') || pid <= 1) return 0;
    return pid;
}

// Far more than any real chain of shells; only guards against a loop.
constexpr int MAX_ANCESTRY_DEPTH = 4096;

}  // namespace

bool output_is_tmux_pane() {
    const long server = tmux_server_pid();
    if (server == 0) return false;
    struct stat output {};
    if (fstat(STDOUT_FILENO, &output) != 0 || !S_ISCHR(output.st_mode)) return false;
    long pid = getpid();
    for (int depth = 0; depth < MAX_ANCESTRY_DEPTH; ++depth) {
        process_status status;
        if (!read_process_status(pid, &status)) return false;
        if (status.parent == server) return status.terminal != 0 && same_device(status.terminal, output.st_rdev);
        if (status.parent <= 1) return false;
        pid = status.parent;
    }
    return false;
}

void wrap_messages_for_tmux() { wrap_for_tmux = true; }

bool write_message(const void* head, std::size_t head_length, const void* tail, std::size_t tail_length) {
    if (wrap_for_tmux) return write_wrapped(head, head_length, tail, tail_length);
    if (head_length > 0 && write_full(head, head_length) != static_cast<ssize_t>(head_length)) return false;
    return tail_length == 0 || write_full(tail, tail_length) == static_cast<ssize_t>(tail_length);
}

}  // namespace pushfile::send
