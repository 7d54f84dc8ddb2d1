// tty_user: plays the user's terminal for a command, to time what a person sitting at it would
// notice: how fast plain output scrolls by, and how long a key takes to come back as its echo.
//
//   tty_user output -- COMMAND [ARG...]
//       runs COMMAND on a new pseudo-terminal and reads everything it shows until every holder
//       of the terminal is gone. Prints: bytes=N seconds=S bytes_per_second=R
//   tty_user echo COUNT -- COMMAND [ARG...]
//       runs COMMAND, waits until it shows READY, then COUNT times sends one key and waits for it
//       to come back. COMMAND must echo each key itself (e.g. stty raw -echo; printf READY; cat).
//       Prints: keys=N median_us=M p90_us=P
//   tty_user type TEXT KEYS -- COMMAND [ARG...]
//       plays a person at a prompt: runs COMMAND, waits until it shows TEXT, types KEYS (C escapes:
//       \r for Enter, \n \t \e \\ \xHH), then reads everything it shows until every holder of
//       the terminal is gone. Prints: seconds=S (from the keys to the end) status=N (COMMAND's).
//   tty_user write BYTES
//       writes BYTES of printable text, 80-byte lines, in 64 KiB writes to standard output:
//       the command of the output mode.
//   tty_user relay -- COMMAND [ARG...]
//       the least any relay on a pseudo-terminal does, as a floor for the others: runs COMMAND on
//       a new terminal with this terminal's settings, puts this one in raw mode, and copies the
//       command's output here with blocking reads and writes; nothing else (no keyboard).
//
// Exits 0 on success, 1 on failure, 2 on bad usage.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "common/io.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr std::size_t CHUNK = 64 * 1024;
constexpr std::size_t LINE = 80;
constexpr int WARM_UP_KEYS = 50;
// Only guards against a command that never answers.
constexpr int GUARD_MS = 10000;

double now_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int fail(const char* what) {
    std::fprintf(stderr, "tty_user: %s: %s\n", what, errno != 0 ? std::strerror(errno) : "failed");
    return EXIT_FAILED;
}

int write_text(unsigned long long total) {
    static char chunk[CHUNK - CHUNK % LINE];
    for (std::size_t i = 0; i < sizeof chunk; ++i) {
        chunk[i] = i % LINE == LINE - 1 ? '\n' : static_cast<char>('!' + (i * 7 + i / LINE) % 94);
    }
    while (total > 0) {
        const std::size_t want = total < sizeof chunk ? static_cast<std::size_t>(total) : sizeof chunk;
        const ssize_t written = write(STDOUT_FILENO, chunk, want);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return fail("write");
        total -= static_cast<unsigned long long>(written);
    }
    return 0;
}

// Starts argv on a new terminal whose master is returned; the slave is closed here so that the
// master reports EIO once the command and everything it started are gone.
pid_t start_on_terminal(char** argv, int& master, const termios* settings = nullptr) {
    int slave = -1;
    if (openpty(&master, &slave, nullptr, settings, nullptr) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(master);
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) dup2(slave, fd);
        if (slave > STDERR_FILENO) close(slave);
        execvp(argv[0], argv);
        std::fprintf(stderr, "tty_user: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    close(slave);
    return child;
}

// The command's exit status, 128 + N when signal N ended it.
int exit_status(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool exited_well(pid_t child) { return exit_status(child) == 0; }

// Reads and counts what the command shows until the terminal has no holder left (EIO).
unsigned long long read_to_end(int master) {
    static unsigned char chunk[CHUNK];
    unsigned long long received = 0;
    for (;;) {
        const ssize_t got = read(master, chunk, sizeof chunk);
        if (got > 0) {
            received += static_cast<unsigned long long>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return received;
        }
    }
}

int measure_output(char** argv) {
    int master = -1;
    const double started = now_seconds();
    const pid_t child = start_on_terminal(argv, master);
    if (child < 0) return fail("cannot start the command");
    const unsigned long long received = read_to_end(master);
    const double elapsed = now_seconds() - started;
    const bool ok = exited_well(child);
    std::printf("bytes=%llu seconds=%.6f bytes_per_second=%.0f\n", received, elapsed,
                static_cast<double>(received) / elapsed);
    return ok ? 0 : EXIT_FAILED;
}

// Reads from master until wanted has been seen anywhere in what came (a prompt is followed by
// cursor moves, not at the end); false on a timeout.
bool read_until(int master, std::string_view wanted) {
    std::string seen;
    for (;;) {
        pollfd entry{master, POLLIN, 0};
        if (poll(&entry, 1, GUARD_MS) <= 0) return false;
        char buffer[4096];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) return false;
        seen.append(buffer, static_cast<std::size_t>(got));
        if (seen.find(wanted) != std::string::npos) return true;
        // Only a tail that may begin wanted is kept.
        if (seen.size() >= wanted.size()) seen.erase(0, seen.size() - wanted.size() + 1);
    }
}

// The bytes a C-style escaped text stands for (\r \n \t \e \\ \xHH); false on a bad escape.
bool unescape(std::string_view text, std::string& bytes) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case 'r': bytes += '\r'; break;
            case 'n': bytes += '\n'; break;
            case 't': bytes += '\t'; break;
            case 'e': bytes += '\x1b'; break;
            case '\\': bytes += '\\'; break;
            case 'x': {
                const std::string hex(text.substr(i + 1, 2));
                const auto is_hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
                if (hex.size() != 2 || !is_hex(hex[0]) || !is_hex(hex[1])) return false;
                bytes += static_cast<char>(std::strtoul(hex.c_str(), nullptr, 16));
                i += 2;
                break;
            }
            default: return false;
        }
    }
    return true;
}

int measure_typing(std::string_view prompt, std::string_view keys, char** argv) {
    int master = -1;
    const pid_t child = start_on_terminal(argv, master);
    if (child < 0) return fail("cannot start the command");
    if (!read_until(master, prompt)) {
        kill(child, SIGKILL);
        errno = 0;
        return fail("the command did not show its prompt");
    }
    const double typed = now_seconds();
    if (!pushfile::write_all(master, keys.data(), keys.size())) {
        kill(child, SIGKILL);
        return fail("cannot type the keys");
    }
    read_to_end(master);
    const double elapsed = now_seconds() - typed;
    const int status = exit_status(child);
    std::printf("seconds=%.6f status=%d\n", elapsed, status);
    return status == 0 ? 0 : EXIT_FAILED;
}

int measure_echo(int count, char** argv) {
    int master = -1;
    const pid_t child = start_on_terminal(argv, master);
    if (child < 0) return fail("cannot start the command");
    if (!read_until(master, "READY")) {
        kill(child, SIGKILL);
        errno = 0;
        return fail("the command did not show READY");
    }
    std::vector<double> round_trips;
    round_trips.reserve(static_cast<std::size_t>(count));
    for (int i = -WARM_UP_KEYS; i < count; ++i) {
        const char key = static_cast<char>('a' + (i + WARM_UP_KEYS) % 26);
        const double sent = now_seconds();
        if (write(master, &key, 1) != 1) return fail("cannot send a key");
        char back = 0;
        // Blocking: the command answers each key with exactly that key.
        const ssize_t got = read(master, &back, 1);
        const double came = now_seconds();
        if (got != 1 || back != key) {
            kill(child, SIGKILL);
            errno = 0;
            return fail("the key did not come back");
        }
        if (i >= 0) round_trips.push_back((came - sent) * 1e6);
    }
    // Ctrl-D would be a plain byte in raw mode: the command is hung up instead, and killed if it
    // outlives that (script(1) keeps running when its input ends).
    close(master);
    kill(child, SIGHUP);
    for (int waited_ms = 0; waitpid(child, nullptr, WNOHANG) == 0; waited_ms += 10) {
        if (waited_ms == 2000) kill(child, SIGKILL);
        usleep(10000);
    }
    std::sort(round_trips.begin(), round_trips.end());
    const std::size_t n = round_trips.size();
    std::printf("keys=%zu median_us=%.1f p90_us=%.1f\n", n, round_trips[n / 2], round_trips[n * 9 / 10]);
    return 0;
}

int bare_relay(char** argv) {
    termios outer{};
    const bool on_terminal = tcgetattr(STDIN_FILENO, &outer) == 0;
    int master = -1;
    const pid_t child = start_on_terminal(argv, master, on_terminal ? &outer : nullptr);
    if (child < 0) return fail("cannot start the command");
    if (on_terminal) {
        termios raw = outer;
        cfmakeraw(&raw);
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    static char chunk[CHUNK];
    bool written_all = true;
    for (;;) {
        const ssize_t got = read(master, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // EIO: the terminal has no holder left
        const auto length = static_cast<std::size_t>(got);
        written_all = pushfile::write_all(STDOUT_FILENO, chunk, length);
        if (!written_all) break;
    }
    if (on_terminal) tcsetattr(STDIN_FILENO, TCSANOW, &outer);
    const bool ok = exited_well(child);
    return ok && written_all ? 0 : EXIT_FAILED;
}

int usage(const char* name) {
    std::fprintf(stderr,
                 "Usage: %s output -- COMMAND...\n       %s echo COUNT -- COMMAND...\n"
                 "       %s type TEXT KEYS -- COMMAND...\n       %s write BYTES\n       %s relay -- COMMAND...\n",
                 name, name, name, name, name);
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = argc > 0 ? argv[0] : "tty_user";
    if (argc == 3 && std::strcmp(argv[1], "write") == 0) {
        return write_text(std::strtoull(argv[2], nullptr, 10));
    }
    if (argc >= 4 && std::strcmp(argv[1], "output") == 0 && std::strcmp(argv[2], "--") == 0) {
        return measure_output(argv + 3);
    }
    if (argc >= 4 && std::strcmp(argv[1], "relay") == 0 && std::strcmp(argv[2], "--") == 0) {
        return bare_relay(argv + 3);
    }
    if (argc >= 5 && std::strcmp(argv[1], "echo") == 0 && std::strcmp(argv[3], "--") == 0) {
        const int count = std::atoi(argv[2]);
        if (count > 0) return measure_echo(count, argv + 4);
    }
    std::string keys;
    if (argc >= 6 && std::strcmp(argv[1], "type") == 0 && std::strcmp(argv[4], "--") == 0 && argv[2][0] != '\0' &&
        unescape(argv[3], keys)) {
        return measure_typing(argv[2], keys, argv + 5);
    }
    return usage(name);
}
