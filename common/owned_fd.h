// A descriptor with one owner, closed when the owner is done with it, on every path.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace pushfile {

class owned_fd {
public:
    owned_fd() = default;
    explicit owned_fd(int fd) : fd_(fd) {}
    ~owned_fd() { reset(); }
    owned_fd(owned_fd&& other) noexcept : fd_(other.release()) {}
    owned_fd& operator=(owned_fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Hands the descriptor to a new owner; this one holds none after.
    int release() { return std::exchange(fd_, -1); }
    // Closes what is held, and takes fd. errno is kept: a failure's reason outlives the cleanup.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int error_number = errno;
            close(fd_);
            errno = error_number;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace pushfile
