// Complete reads and writes: read_full gathering a message that comes in pieces, stopping at the
// end of the input, failing with errno; and the remote side's error line finished after a write
// that took only part of it.
#include "common/io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "remote/standard_streams.h"

namespace {

TEST(read_full, gathers_pieces_stops_at_the_end_and_fails_with_errno) {
    // Each read of a packet socket brings one packet at most: the pieces cannot merge.
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    for (const std::string piece : {"abc", "defg", "hi"}) {
        ASSERT_EQ(write(ends[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    }
    close(ends[1]);
    char buffer[16] = {};
    std::size_t got = 0;
    ASSERT_TRUE(pushfile::read_full(ends[0], buffer, 7, &got));
    EXPECT_EQ(std::string(buffer, got), "abcdefg");
    ASSERT_TRUE(pushfile::read_full(ends[0], buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "hi");
    close(ends[0]);

    errno = 0;
    EXPECT_FALSE(pushfile::read_full(-1, buffer, sizeof buffer, &got));
    EXPECT_EQ(errno, EBADF);
}

TEST(write_error_line, finishes_a_line_the_first_write_took_only_part_of) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    std::string received;
    std::thread reader([&received, fd = ends[0]] {
        char chunk[1024];
        ssize_t got;
        while ((got = read(fd, chunk, sizeof chunk)) > 0) received.append(chunk, static_cast<std::size_t>(got));
    });
    const int saved_stderr = dup(STDERR_FILENO);
    ASSERT_GE(saved_stderr, 0);
    ASSERT_EQ(dup2(ends[1], STDERR_FILENO), STDERR_FILENO);
    close(ends[1]);
    std::string text(3 * 4096 + 100, 'x');
    for (std::size_t i = 0; i < text.size(); i += 97) text[i] = static_cast<char>('a' + i % 26);
    pushfile::remote::write_error_line(text, true);
    (void)dup2(saved_stderr, STDERR_FILENO);
    close(saved_stderr);
    reader.join();
    close(ends[0]);
    EXPECT_EQ(received, text + "\n");
}

}  // namespace
