#include "common/io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/owned_fd.h"

namespace pushfile {
namespace {

void wait_until_writable(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    while (poll(&entry, 1, -1) < 0 && errno == EINTR) {}
}

}  // namespace

bool write_all(int fd, const void* bytes, std::size_t length) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t written = write(fd, next + done, length - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written == 0) {
            errno = EIO;
            return false;
        } else if (errno == EAGAIN) {
            wait_until_writable(fd);
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool read_full(int fd, void* buffer, std::size_t length, std::size_t* got) {
    auto* next = static_cast<unsigned char*>(buffer);
    *got = 0;
    while (*got < length) {
        const ssize_t count = read(fd, next + *got, length - *got);
        if (count > 0) {
            *got += static_cast<std::size_t>(count);
        } else if (count == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

int move_above_standard(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        if (fd >= 0) (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
        return fd;
    }
    // Closed once the copy is made, whether or not it was; errno stays the copy's.
    const owned_fd original(fd);
    return fcntl(original.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
}

descriptor_path path_of_descriptor(int fd) {
    descriptor_path path{};
    std::snprintf(path.text, sizeof path.text, "/proc/self/fd/%d", fd);
    return path;
}

}  // namespace pushfile
