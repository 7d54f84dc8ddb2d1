// cross_pipe: runs two commands with each one's standard output joined to the other's standard
// input, as a sender and its peer would be over a serial line, and reports the wall time from
// the first start to the last exit and each command's peak resident set.
//
//   [CROSS_PIPE_SIZE=BYTES] cross_pipe COMMAND_A [ARG...] ::: COMMAND_B [ARG...]
//
// Prints one line on standard output:
//   seconds=S status_a=N status_b=N maxrss_a_kib=N maxrss_b_kib=N
// Exits 0 when both commands exited 0, 1 otherwise, 2 when it could not run them.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr int EXIT_USAGE = 2;
constexpr const char* SEPARATOR = ":::";

double now_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Starts argv with the given standard input and output; every other pipe end is closed in the
// child so that each side sees end of file when the other exits.
pid_t start(char** argv, int input, int output, const int (&all_ends)[4]) {
    const pid_t child = fork();
    if (child != 0) return child;
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0) _exit(127);
    for (const int end : all_ends) close(end);
    execvp(argv[0], argv);
    std::fprintf(stderr, "cross_pipe: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

int status_number(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    int separator = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], SEPARATOR) == 0) {
            separator = i;
            break;
        }
    }
    if (separator <= 1 || separator + 1 >= argc) {
        std::fprintf(stderr, "Usage: %s COMMAND_A [ARG...] ::: COMMAND_B [ARG...]\n",
                     argc > 0 ? argv[0] : "cross_pipe");
        return EXIT_USAGE;
    }
    std::vector<char*> command_a(argv + 1, argv + separator);
    command_a.push_back(nullptr);
    std::vector<char*> command_b(argv + separator + 1, argv + argc);
    command_b.push_back(nullptr);

    int a_to_b[2];
    int b_to_a[2];
    if (pipe(a_to_b) != 0 || pipe(b_to_a) != 0) {
        std::fprintf(stderr, "cross_pipe: cannot create pipes: %s\n", std::strerror(errno));
        return EXIT_USAGE;
    }
    const int all_ends[4] = {a_to_b[0], a_to_b[1], b_to_a[0], b_to_a[1]};
    // CROSS_PIPE_SIZE=BYTES gives both pipes that capacity, so that pairs compared in one run
    // get the same pipes whatever the system's default.
    if (const char* size = std::getenv("CROSS_PIPE_SIZE"); size != nullptr && *size != '\0') {
        const long bytes = std::strtol(size, nullptr, 10);
        if (bytes <= 0 || fcntl(a_to_b[1], F_SETPIPE_SZ, static_cast<int>(bytes)) < 0 ||
            fcntl(b_to_a[1], F_SETPIPE_SZ, static_cast<int>(bytes)) < 0) {
            std::fprintf(stderr, "cross_pipe: cannot make the pipes %s bytes: %s\n", size, std::strerror(errno));
            return EXIT_USAGE;
        }
    }

    const double started = now_seconds();
    const pid_t a = start(command_a.data(), b_to_a[0], a_to_b[1], all_ends);
    const pid_t b = start(command_b.data(), a_to_b[0], b_to_a[1], all_ends);
    for (const int end : all_ends) close(end);
    if (a < 0 || b < 0) {
        std::fprintf(stderr, "cross_pipe: cannot fork: %s\n", std::strerror(errno));
        return EXIT_USAGE;
    }

    int status_a = -1;
    int status_b = -1;
    long maxrss_a = 0;
    long maxrss_b = 0;
    for (int waiting = 2; waiting > 0;) {
        int status = 0;
        rusage usage{};
        const pid_t done = wait4(-1, &status, 0, &usage);
        if (done < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "cross_pipe: cannot wait for the commands: %s\n", std::strerror(errno));
            return EXIT_USAGE;
        }
        if (done == a) {
            status_a = status_number(status);
            maxrss_a = usage.ru_maxrss;
            --waiting;
        } else if (done == b) {
            status_b = status_number(status);
            maxrss_b = usage.ru_maxrss;
            --waiting;
        }
    }
    const double elapsed = now_seconds() - started;
    std::printf("seconds=%.6f status_a=%d status_b=%d maxrss_a_kib=%ld maxrss_b_kib=%ld\n", elapsed, status_a, status_b,
                maxrss_a, maxrss_b);
    return status_a == 0 && status_b == 0 ? 0 : 1;
}
