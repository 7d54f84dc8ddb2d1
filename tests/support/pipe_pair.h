// A non-blocking pipe for tests that stand in for a descriptor the receiver writes to, and the
// bytes of a string as the receiver's queues take them.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace pushfile_test {

struct pipe_pair {
    int read_end = -1;
    int write_end = -1;
    pipe_pair() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe");
        read_end = ends[0];
        write_end = ends[1];
    }
    ~pipe_pair() {
        for (int fd : {read_end, write_end}) {
            if (fd >= 0) close(fd);
        }
    }
    // Fills the pipe so that exactly room bytes still fit.
    void leave_room(std::size_t room) const {
        const std::string filler(static_cast<std::size_t>(fcntl(write_end, F_GETPIPE_SZ)) - room, 'f');
        ASSERT_EQ(write(write_end, filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
    }
    std::string drain() const {
        std::string text;
        char buffer[65536];
        ssize_t got;
        while ((got = read(read_end, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
        return text;
    }
};

const unsigned char* bytes_of(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

}  // namespace pushfile_test
