// raw_channel: how fast a plain writer gets bytes through a pseudo-terminal or a pipe, the ceiling
// a transfer through the same kind of channel is compared with.
//
//   raw_channel pty|pipe BYTES
//
// A child writes BYTES in 64 KiB writes to the terminal's slave side (in the raw mode the sender
// sets) or to the pipe; the parent reads the other side to its end. Prints on standard output:
//   channel=pty bytes=N seconds=S bytes_per_second=R
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t WRITE_CHUNK = 64 * 1024;
constexpr std::size_t READ_CHUNK = 64 * 1024;
constexpr int EXIT_FAILED = 1;

double now_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

[[noreturn]] void write_and_exit(int fd, unsigned long long total) {
    static unsigned char chunk[WRITE_CHUNK];
    // Letters, like the bulk of a transfer; in raw mode the terminal treats every byte alike.
    for (std::size_t i = 0; i < sizeof chunk; ++i) chunk[i] = static_cast<unsigned char>('@' + (i & 15U));
    while (total > 0) {
        const std::size_t want = total < sizeof chunk ? static_cast<std::size_t>(total) : sizeof chunk;
        const ssize_t written = write(fd, chunk, want);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            std::fprintf(stderr, "raw_channel: write failed: %s\n", std::strerror(errno));
            _exit(EXIT_FAILED);
        }
        total -= static_cast<unsigned long long>(written);
    }
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    const bool usage_ok = argc == 3 && (std::strcmp(argv[1], "pty") == 0 || std::strcmp(argv[1], "pipe") == 0);
    char* end = nullptr;
    const unsigned long long total = usage_ok ? std::strtoull(argv[2], &end, 10) : 0;
    if (!usage_ok || end == argv[2] || *end != '\0') {
        std::fprintf(stderr, "Usage: %s pty|pipe BYTES\n", argc > 0 ? argv[0] : "raw_channel");
        return 2;
    }
    const bool use_pty = std::strcmp(argv[1], "pty") == 0;

    int read_side = -1;
    int write_side = -1;
    if (use_pty) {
        if (openpty(&read_side, &write_side, nullptr, nullptr, nullptr) != 0) {
            std::fprintf(stderr, "raw_channel: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
            return EXIT_FAILED;
        }
        termios settings{};
        if (tcgetattr(write_side, &settings) == 0) {
            cfmakeraw(&settings);
            (void)tcsetattr(write_side, TCSANOW, &settings);
        }
    } else {
        int ends[2];
        if (pipe(ends) != 0) {
            std::fprintf(stderr, "raw_channel: cannot create a pipe: %s\n", std::strerror(errno));
            return EXIT_FAILED;
        }
        read_side = ends[0];
        write_side = ends[1];
    }

    const double started = now_seconds();
    const pid_t writer = fork();
    if (writer < 0) {
        std::fprintf(stderr, "raw_channel: cannot fork: %s\n", std::strerror(errno));
        return EXIT_FAILED;
    }
    if (writer == 0) {
        close(read_side);
        write_and_exit(write_side, total);
    }
    close(write_side);

    static unsigned char chunk[READ_CHUNK];
    unsigned long long received = 0;
    for (;;) {
        const ssize_t count = read(read_side, chunk, sizeof chunk);
        if (count > 0) {
            received += static_cast<unsigned long long>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        // A pseudo-terminal's master reports EIO once the slave side is closed and drained.
        if (count < 0 && !(use_pty && errno == EIO)) {
            std::fprintf(stderr, "raw_channel: read failed: %s\n", std::strerror(errno));
            return EXIT_FAILED;
        }
        break;
    }
    int status = 0;
    while (waitpid(writer, &status, 0) < 0 && errno == EINTR) {}
    const double elapsed = now_seconds() - started;
    std::printf("channel=%s bytes=%llu seconds=%.6f bytes_per_second=%.0f\n", argv[1], received, elapsed,
                static_cast<double>(received) / elapsed);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || received != total) {
        std::fprintf(stderr, "raw_channel: received %llu of %llu bytes\n", received, total);
        return EXIT_FAILED;
    }
    return 0;
}
