// link_sim: a long, narrow link between a terminal and a command, the way ssh -t puts one there.
//
//   link_sim [--delay-ms MS] [--rate BYTES_PER_SECOND] -- COMMAND [ARG...]
//
// Runs COMMAND on a new pseudo-terminal and passes bytes both ways: standard input to the command,
// its output to standard output. Each direction holds every byte for MS milliseconds after the link
// has carried it, and carries at most BYTES_PER_SECOND (0, the default: no limit). Bytes are queued
// in order in a fixed amount of memory; when a queue is full its side is not read, so the writer
// waits as it would on a full connection. Exits with the command's status (128 + N for signal N).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

constexpr std::size_t READ_CHUNK = 16 * 1024;          // also the link's largest packet
constexpr std::size_t OUTPUT_WRITE_LIMIT = 16 * 1024;  // standard output stays blocking: small writes
constexpr std::size_t MAX_CHUNKS = 16384;
constexpr std::int64_t NS_PER_S = 1000000000;

volatile std::sig_atomic_t stop_signal = 0;
extern "C" void note_stop(int signal_number) { stop_signal = signal_number; }

std::int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * NS_PER_S + now.tv_nsec;
}

// One direction: a byte ring and, in the same order, the chunks read with the time each may leave.
class line {
public:
    line(std::size_t capacity, std::int64_t delay_ns, std::uint64_t rate)
        : bytes_(std::make_unique_for_overwrite<unsigned char[]>(capacity)),
          chunks_(std::make_unique_for_overwrite<chunk[]>(MAX_CHUNKS)),
          capacity_(capacity),
          delay_ns_(delay_ns),
          rate_(rate) {}

    bool has_room() const { return size_ < capacity_ && chunk_count_ < MAX_CHUNKS; }
    bool empty() const { return size_ == 0; }
    std::int64_t next_release() const { return chunks_[chunk_head_].release; }
    void clear() { size_ = chunk_count_ = 0; }

    // One read from fd into the ring; returns what read() returned.
    ssize_t read_from(int fd) {
        const std::size_t tail = (head_ + size_) % capacity_;
        const std::size_t room = std::min({READ_CHUNK, capacity_ - size_, capacity_ - tail});
        const ssize_t got = read(fd, bytes_.get() + tail, room);
        if (got <= 0) return got;
        const auto length = static_cast<std::size_t>(got);
        // The link sends one packet at a time at the rate, then the packet travels for the delay.
        const std::int64_t now = now_ns();
        std::int64_t sent = std::max(now, link_free_);
        if (rate_ > 0) sent += static_cast<std::int64_t>(length * static_cast<std::uint64_t>(NS_PER_S) / rate_);
        link_free_ = sent;
        chunks_[(chunk_head_ + chunk_count_) % MAX_CHUNKS] = {sent + delay_ns_, length};
        ++chunk_count_;
        size_ += length;
        return got;
    }

    // One write of bytes whose time has come; returns what write() returned, or 0 if none were due.
    ssize_t write_to(int fd, std::size_t limit) {
        const std::int64_t now = now_ns();
        std::size_t due = 0;
        for (std::size_t i = 0; i < chunk_count_ && due < limit; ++i) {
            const chunk& next = chunks_[(chunk_head_ + i) % MAX_CHUNKS];
            if (next.release > now) break;
            due += next.length;
        }
        if (due == 0) return 0;
        const ssize_t written = write(fd, bytes_.get() + head_, std::min({limit, due, capacity_ - head_}));
        if (written <= 0) return written;
        auto left = static_cast<std::size_t>(written);
        head_ = (head_ + left) % capacity_;
        size_ -= left;
        while (left > 0) {
            chunk& front = chunks_[chunk_head_];
            const std::size_t taken = std::min(left, front.length);
            front.length -= taken;
            left -= taken;
            if (front.length == 0) {
                chunk_head_ = (chunk_head_ + 1) % MAX_CHUNKS;
                --chunk_count_;
            }
        }
        return written;
    }

private:
    struct chunk {
        std::int64_t release;
        std::size_t length;
    };
    std::unique_ptr<unsigned char[]> bytes_;
    std::unique_ptr<chunk[]> chunks_;
    std::size_t capacity_;
    std::int64_t delay_ns_;
    std::uint64_t rate_;
    std::size_t head_ = 0, size_ = 0, chunk_head_ = 0, chunk_count_ = 0;
    std::int64_t link_free_ = 0;
};

bool parse_number(const char* text, std::uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0;
}

int usage() {
    std::fprintf(stderr, "Usage: link_sim [--delay-ms MS] [--rate BYTES_PER_SECOND] -- COMMAND [ARG...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t delay_ms = 0, rate = 0;
    int first = 1;
    for (; first + 1 < argc && std::strcmp(argv[first], "--") != 0; first += 2) {
        std::uint64_t* target = std::strcmp(argv[first], "--delay-ms") == 0 ? &delay_ms
                                : std::strcmp(argv[first], "--rate") == 0   ? &rate
                                                                            : nullptr;
        if (target == nullptr || !parse_number(argv[first + 1], *target)) return usage();
    }
    if (delay_ms > 3600000 || rate > 1000000000000) return usage();  // keeps the arithmetic in range
    if (first + 1 >= argc || std::strcmp(argv[first], "--") != 0) return usage();
    const auto delay_ns = static_cast<std::int64_t>(delay_ms) * 1000000;
    // Room for twice what the link holds in flight (taking 100 MB/s for no cap), so that the queue
    // never limits the rate.
    const std::uint64_t in_flight = (rate > 0 ? rate : 100000000) * delay_ms / 1000;
    const auto capacity = static_cast<std::size_t>(std::clamp<std::uint64_t>(2 * in_flight, 1U << 20, 256U << 20));

    termios saved{};
    winsize size{};
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    const bool have_size = ioctl(STDIN_FILENO, TIOCGWINSZ, &size) == 0;
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, terminal ? &saved : nullptr, have_size ? &size : nullptr);
    if (child < 0) {
        std::fprintf(stderr, "link_sim: cannot start a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        execvp(argv[first + 1], argv + first + 1);
        const int error_number = errno;
        std::fprintf(stderr, "link_sim: cannot run %s: %s\n", argv[first + 1], std::strerror(error_number));
        _exit(error_number == ENOENT ? 127 : 126);
    }
    (void)fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    std::signal(SIGPIPE, SIG_IGN);
    for (int signal_number : {SIGTERM, SIGHUP, SIGINT}) std::signal(signal_number, note_stop);
    if (terminal) {
        termios raw = saved;
        cfmakeraw(&raw);
        (void)tcsetattr(STDIN_FILENO, TCSADRAIN, &raw);
    }

    line up(capacity, delay_ns, rate), down(capacity, delay_ns, rate);
    bool input_open = true, master_open = true;
    while (stop_signal == 0 && (master_open || !down.empty())) {
        pollfd fds[4] = {
            {input_open && up.has_room() ? STDIN_FILENO : -1, POLLIN, 0},
            {master_open && down.has_room() ? master : -1, POLLIN, 0},
            {master_open && !up.empty() && up.next_release() <= now_ns() ? master : -1, POLLOUT, 0},
            {!down.empty() && down.next_release() <= now_ns() ? STDOUT_FILENO : -1, POLLOUT, 0},
        };
        std::int64_t wake = -1;
        for (const line* queue : {&up, &down}) {
            if (!queue->empty()) wake = wake < 0 ? queue->next_release() : std::min(wake, queue->next_release());
        }
        const std::int64_t wait = wake < 0 ? -1 : std::max<std::int64_t>(0, wake - now_ns());
        const timespec timeout{static_cast<time_t>(wait / NS_PER_S), static_cast<long>(wait % NS_PER_S)};
        if (ppoll(fds, 4, wait < 0 ? nullptr : &timeout, nullptr) < 0 && errno != EINTR) break;

        const auto failed = [](ssize_t result) {
            return result == 0 || (result < 0 && errno != EAGAIN && errno != EINTR);
        };
        if (fds[0].revents != 0 && failed(up.read_from(STDIN_FILENO))) input_open = false;
        // EIO: the command and everything else on its terminal have closed it.
        if (fds[1].revents != 0 && failed(down.read_from(master))) master_open = false;
        if (fds[2].revents != 0) {
            ssize_t written = 0;
            while ((written = up.write_to(master, READ_CHUNK)) > 0) {}
            if (written < 0 && failed(written)) up.clear();  // the terminal takes no more input
        }
        if (fds[3].revents != 0) {
            const ssize_t written = down.write_to(STDOUT_FILENO, OUTPUT_WRITE_LIMIT);
            // Nobody reads the other end any more: the link is gone, so the command is hung up.
            if (written < 0 && failed(written)) break;
        }
    }
    if (terminal) (void)tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
    close(master);
    if (stop_signal != 0) {
        kill(child, SIGHUP);
        return 128 + stop_signal;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}
