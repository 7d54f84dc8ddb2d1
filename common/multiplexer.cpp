#include "common/multiplexer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/io.h"
#include "common/owned_fd.h"
#include "common/protocol.h"

namespace pushfile {
namespace {

// tmux hands the contents of this string on to the outer terminal, with every ESC in it doubled.
constexpr unsigned char PASSTHROUGH_START[] = {0x1B, 'P', 't', 'm', 'u', 'x', ';'};
constexpr unsigned char PASSTHROUGH_END[] = {0x1B, '\\'};
static_assert(sizeof PASSTHROUGH_START + 2 * MESSAGE_BUFFER_SIZE + LETTER_BUFFER_SIZE + sizeof PASSTHROUGH_END <=
              TMUX_WRAPPED_MESSAGE_SIZE);

// Appends length bytes at buffer + *used with every ESC doubled; false when they do not fit in size.
bool append_doubling_escapes(unsigned char* buffer, std::size_t size, std::size_t* used, const void* bytes,
                             std::size_t length) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    while (length > 0) {
        const auto* escape = static_cast<const unsigned char*>(std::memchr(next, ESCAPE, length));
        const std::size_t span = escape != nullptr ? static_cast<std::size_t>(escape - next) + 1 : length;
        const std::size_t doubled = escape != nullptr ? 1 : 0;
        if (size - *used < span + doubled) return false;
        std::memcpy(buffer + *used, next, span);
        *used += span;
        if (doubled != 0) buffer[(*used)++] = ESCAPE;
        next += span;
        length -= span;
    }
    return true;
}

// The fields of /proc/PID/stat that the pane search needs.
struct process_status {
    long parent = 0;
    int terminal = 0;  // tty_nr: the controlling terminal's device, 0 for none
};

bool read_process_status(long pid, process_status* status) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    const owned_fd file(open(path, O_RDONLY | O_CLOEXEC));
    char text[4096];
    std::size_t got = 0;
    if (!file.valid() || !read_full(file.get(), text, sizeof text - 1, &got) || got == 0) return false;
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

bool is_tmux_pane(int fd) {
    const long server = tmux_server_pid();
    if (server == 0) return false;
    struct stat output {};
    if (fstat(fd, &output) != 0 || !S_ISCHR(output.st_mode)) return false;
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

std::size_t wrap_for_tmux(const void* head, std::size_t head_length, const void* tail, std::size_t tail_length,
                          unsigned char* wrapped, std::size_t size) {
    if (size < sizeof PASSTHROUGH_START) return 0;
    std::memcpy(wrapped, PASSTHROUGH_START, sizeof PASSTHROUGH_START);
    std::size_t used = sizeof PASSTHROUGH_START;
    if (!append_doubling_escapes(wrapped, size, &used, head, head_length) ||
        !append_doubling_escapes(wrapped, size, &used, tail, tail_length) || size - used < sizeof PASSTHROUGH_END) {
        return 0;
    }
    std::memcpy(wrapped + used, PASSTHROUGH_END, sizeof PASSTHROUGH_END);
    return used + sizeof PASSTHROUGH_END;
}

}  // namespace pushfile
