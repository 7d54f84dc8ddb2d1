#include "common/io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace pushfile {
namespace {

void wait_until_writable(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    while (poll(&entry, 1, -1) < 0 && errno == EINTR) {}
}

}  // namespace

std::size_t write_all(int fd, const void* bytes, std::size_t length) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t written = write(fd, next + done, length - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written == 0) {
            errno = EIO;
            return done;
        } else if (errno == EAGAIN) {
            wait_until_writable(fd);
        } else if (errno != EINTR) {
            return done;
        }
    }
    return done;
}

int move_above_standard(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        if (fd >= 0) (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    return moved;
}

descriptor_path path_of_descriptor(int fd) {
    descriptor_path path{};
    std::snprintf(path.text, sizeof path.text, "/proc/self/fd/%d", fd);
    return path;
}

}  // namespace pushfile
