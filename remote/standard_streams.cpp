#include "remote/standard_streams.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "common/io.h"
#include "common/multiplexer.h"
#include "common/owned_fd.h"

namespace pushfile::remote {
namespace {

bool wrapping_for_tmux = false;

// Kept out of line so that the plain path never enters this frame and its buffer.
[[gnu::noinline]] bool write_wrapped(const void* head, std::size_t head_length, const void* tail,
                                     std::size_t tail_length) {
    unsigned char wrapped[TMUX_WRAPPED_MESSAGE_SIZE];
    const std::size_t length = wrap_for_tmux(head, head_length, tail, tail_length, wrapped, sizeof wrapped);
    if (length == 0) {
        errno = EMSGSIZE;
        return false;
    }
    return write_all(STDOUT_FILENO, wrapped, length);
}

}  // namespace

void open_closed_standard_descriptors(int last) {
    for (int fd = STDIN_FILENO; fd <= last; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is fd itself, which is the point: kept open as the standard one.
        owned_fd null_device(open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY));
        if (null_device.get() == fd) (void)null_device.release();
    }
}

bool wrap_messages_for_output_pane() {
    wrapping_for_tmux = is_tmux_pane(STDOUT_FILENO);
    return wrapping_for_tmux;
}

bool write_message(const void* head, std::size_t head_length, const void* tail, std::size_t tail_length) {
    if (wrapping_for_tmux) return write_wrapped(head, head_length, tail, tail_length);
    return (head_length == 0 || write_all(STDOUT_FILENO, head, head_length)) &&
           (tail_length == 0 || write_all(STDOUT_FILENO, tail, tail_length));
}

void write_error_line(std::string_view text, bool set_apart) {
    const bool on_terminal = isatty(STDERR_FILENO) == 1;
    const std::string_view start = set_apart && on_terminal ? "\r\n" : "";
    const std::string_view end = on_terminal ? "\r\n" : "\n";
    const std::string_view parts[] = {start, text, end};
    iovec pieces[std::size(parts)];
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        // writev() only reads from the pieces.
        pieces[i] = {const_cast<char*>(parts[i].data()), parts[i].size()};
    }
    ssize_t written;
    while ((written = writev(STDERR_FILENO, pieces, static_cast<int>(std::size(pieces)))) < 0 && errno == EINTR) {}
    // What one call did not take (a full pipe, a non-blocking descriptor) follows it in full.
    auto taken = static_cast<std::size_t>(written > 0 ? written : 0);
    for (const std::string_view part : parts) {
        const std::size_t skipped = taken < part.size() ? taken : part.size();
        taken -= skipped;
        if (skipped < part.size() && !write_all(STDERR_FILENO, part.data() + skipped, part.size() - skipped)) return;
    }
}

}  // namespace pushfile::remote
