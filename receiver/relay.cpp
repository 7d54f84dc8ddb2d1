#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>
#include <memory>

#include "common/display.h"

namespace pushfile::receive {

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t READ_CHUNK = std::size_t{64} * 1024;
// Room kept in the to-command queue for the handler's answers while keystrokes fill it.
constexpr std::size_t ANSWER_RESERVE = 4096;
// What one read may produce on the screen side: the chunk plus bytes the handler held back.
constexpr std::size_t SCREEN_ROOM_FOR_READ = READ_CHUNK + MAX_HELD_BYTES;
constexpr std::size_t SCREEN_CAPACITY = SCREEN_ROOM_FOR_READ + READ_CHUNK;
constexpr std::size_t COMMAND_CAPACITY = 2 * READ_CHUNK + ANSWER_RESERVE;
// A write to a pipe or terminal after POLLOUT does not block when it is this small.
constexpr std::size_t SCREEN_WRITE_LIMIT = 4096;
constexpr milliseconds TICK_INTERVAL{100};
constexpr int MASTER_READS_PER_WAKE = 16;
// After the command has ended, a background process may still hold its terminal open.
constexpr milliseconds QUIET_AFTER_EXIT{250};
// How long a hung-up command gets to end before the relay returns without it.
constexpr milliseconds HANGUP_GRACE{1000};
// The relay's own failures once it has started, apart from the command's statuses.
constexpr int RELAY_FAILURE_STATUS = 255;

volatile std::sig_atomic_t child_changed = 0;
volatile std::sig_atomic_t window_changed = 0;
volatile std::sig_atomic_t stop_signal = 0;

extern "C" void note_signal(int signal_number) {
    switch (signal_number) {
    case SIGCHLD:
        child_changed = 1;
        break;
    case SIGWINCH:
        window_changed = 1;
        break;
    default:
        stop_signal = signal_number;
        break;
    }
}

constexpr int HANDLED_SIGNALS[] = {SIGCHLD, SIGWINCH, SIGTERM, SIGHUP, SIGINT};

std::string describe_errno(const std::string& what, int error_number) {
    return what + ": " + std::strerror(error_number);
}

// Moves a descriptor off 0-2 so that it cannot be mistaken for a standard one when those are
// closed; the result is close-on-exec.
int above_standard(int fd) {
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

// A fixed-capacity byte queue; room is made by moving the unread bytes to the front.
class linear_buffer {
public:
    explicit linear_buffer(std::size_t capacity)
        : bytes_(std::make_unique_for_overwrite<unsigned char[]>(capacity)), capacity_(capacity) {}

    std::size_t size() const { return end_ - start_; }
    bool empty() const { return end_ == start_; }
    std::size_t free_space() const { return capacity_ - size(); }
    const unsigned char* data() const { return bytes_.get() + start_; }

    // Appends as much as fits; returns how much that was.
    std::size_t append(const unsigned char* bytes, std::size_t length) {
        if (capacity_ - end_ < length && start_ > 0) {
            std::memmove(bytes_.get(), bytes_.get() + start_, size());
            end_ -= start_;
            start_ = 0;
        }
        const std::size_t taken = std::min(length, capacity_ - end_);
        if (taken > 0) std::memcpy(bytes_.get() + end_, bytes, taken);
        end_ += taken;
        return taken;
    }

    void consume(std::size_t length) {
        start_ += length;
        if (start_ == end_) start_ = end_ = 0;
    }

    void clear() { start_ = end_ = 0; }

private:
    std::unique_ptr<unsigned char[]> bytes_;
    std::size_t capacity_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

// Waits until fd takes more bytes or fails; the caller's signals stay blocked meanwhile.
void wait_writable(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
    }
}

// What a queue does with bytes that do not fit.
enum class when_full {
    // Wait for the descriptor to take some: no byte of the screen's may be lost. The relay reads
    // only while the screen queue has room for what a read can give, so this waits only for a
    // handler that wrote far more than it was given.
    wait,
    // Drop them: the command is not reading its input. A sender reads each answer before its next
    // message, so answers pile up only when output that merely looks like a transfer (a file
    // being shown, say) is answered; waiting for such a command would stall the relay for good.
    drop,
};

// The queue the handler appends to.
class queue_sink final : public byte_sink {
public:
    queue_sink(std::size_t capacity, int fd, when_full policy) : buffer_(capacity), fd_(fd), policy_(policy) {}

    void append(const unsigned char* bytes, std::size_t length) override {
        // An answer is kept whole or not at all: half of one would reach a sender as a broken reply.
        if (policy_ == when_full::drop && buffer_.free_space() < length) return;
        for (;;) {
            const std::size_t taken = buffer_.append(bytes, length);
            bytes += taken;
            length -= taken;
            if (length == 0 || failed_errno_ != 0 || policy_ == when_full::drop) return;
            drain_some_blocking();
        }
    }

    std::size_t discard_queued() override {
        const std::size_t dropped = buffer_.size();
        buffer_.clear();
        return dropped;
    }

    linear_buffer& buffer() { return buffer_; }
    int failed_errno() const { return failed_errno_; }
    void set_failed(int error_number) {
        failed_errno_ = error_number;
        buffer_.clear();
    }
    // For the command's side, where a failed write only means nobody reads any more.
    void discard() {
        failed_errno_ = 0;
        buffer_.clear();
    }

    // One write of at most limit bytes; EAGAIN and EINTR leave the bytes queued.
    void write_some(std::size_t limit) {
        if (buffer_.empty() || failed_errno_ != 0) return;
        const ssize_t written = write(fd_, buffer_.data(), std::min(limit, buffer_.size()));
        if (written > 0) {
            buffer_.consume(static_cast<std::size_t>(written));
        } else if (written == 0) {
            set_failed(EIO);
        } else if (errno != EAGAIN && errno != EINTR) {
            set_failed(errno);
        }
    }

private:
    void drain_some_blocking() {
        wait_writable(fd_);
        write_some(buffer_.size());
    }

    linear_buffer buffer_;
    int fd_;
    when_full policy_;
    int failed_errno_ = 0;
};

// The user's terminal on descriptor 0: its saved settings and whether they are changed now.
struct user_terminal {
    bool is_terminal = false;
    bool have_size = false;
    bool in_raw_mode = false;
    termios saved{};
    winsize size{};

    void enter_raw_mode() {
        termios raw = saved;
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSADRAIN, &raw) == 0) in_raw_mode = true;
    }

    // Safe to call on every way out, any number of times.
    void leave_raw_mode() {
        if (!in_raw_mode) return;
        in_raw_mode = false;
        (void)tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
    }

    user_terminal() = default;
    user_terminal(const user_terminal&) = delete;
    user_terminal& operator=(const user_terminal&) = delete;
    // Also covers a handler that throws.
    ~user_terminal() { leave_raw_mode(); }
};

// The relay's signal handling for the run, and the process's previous handling to put back.
class signal_scope {
public:
    signal_scope() {
        child_changed = 0;
        window_changed = 0;
        stop_signal = 0;
        sigset_t handled;
        sigemptyset(&handled);
        for (int signal_number : HANDLED_SIGNALS) sigaddset(&handled, signal_number);
        // Blocked everywhere except inside ppoll(), so a signal is never missed between the
        // check of a flag and the wait.
        pthread_sigmask(SIG_BLOCK, &handled, &previous_mask_);
        wait_mask_ = previous_mask_;
        for (int signal_number : HANDLED_SIGNALS) sigdelset(&wait_mask_, signal_number);

        struct sigaction action {};
        action.sa_handler = note_signal;
        sigemptyset(&action.sa_mask);
        std::size_t index = 0;
        for (int signal_number : HANDLED_SIGNALS) {
            action.sa_flags = signal_number == SIGCHLD ? SA_RESTART | SA_NOCLDSTOP : SA_RESTART;
            sigaction(signal_number, &action, &previous_actions_[index++]);
        }
        // A reader that went away shows up as EPIPE on the write instead.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &previous_pipe_action_);
    }

    ~signal_scope() {
        sigaction(SIGPIPE, &previous_pipe_action_, nullptr);
        std::size_t index = 0;
        for (int signal_number : HANDLED_SIGNALS) {
            sigaction(signal_number, &previous_actions_[index++], nullptr);
        }
        pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
    }

    signal_scope(const signal_scope&) = delete;
    signal_scope& operator=(const signal_scope&) = delete;

    const sigset_t* wait_mask() const { return &wait_mask_; }

private:
    sigset_t previous_mask_{};
    sigset_t wait_mask_{};
    struct sigaction previous_actions_[std::size(HANDLED_SIGNALS)] {};
    struct sigaction previous_pipe_action_ {};
};

// What the child sends back through its close-on-exec pipe when it cannot run the command.
struct start_failure {
    int stage;  // 0: exec, 1: making the terminal its own
    int error_number;
};

[[noreturn]] void report_start_failure(int pipe_fd, int stage) {
    const start_failure failure{stage, errno};
    ssize_t ignored = write(pipe_fd, &failure, sizeof failure);
    (void)ignored;
    _exit(127);
}

// Runs in the child: only async-signal-safe calls, argv prepared beforehand.
[[noreturn]] void become_command(int slave_fd, int report_fd, char* const* argv) {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        (void)sigaction(signal_number, &defaults, nullptr);
    }
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);

    if (setsid() < 0) report_start_failure(report_fd, 1);
    if (ioctl(slave_fd, TIOCSCTTY, 0) < 0) report_start_failure(report_fd, 1);
    for (int target = STDIN_FILENO; target <= STDERR_FILENO; ++target) {
        if (dup2(slave_fd, target) < 0) report_start_failure(report_fd, 1);
    }
    if (slave_fd > STDERR_FILENO) close(slave_fd);
    // report_fd is above 2 and close-on-exec: keep it, close everything else.
    const int first_other = STDERR_FILENO + 1;
    for (int fd = first_other; fd < report_fd; ++fd) close(fd);
    if (close_range(static_cast<unsigned>(report_fd) + 1, ~0U, 0) != 0) {
        const long limit = sysconf(_SC_OPEN_MAX);
        for (long fd = report_fd + 1; fd < limit; ++fd) close(static_cast<int>(fd));
    }
    execvp(argv[0], argv);
    report_start_failure(report_fd, 0);
}

relay_result not_started(int status, std::string error) { return {status, false, std::move(error)}; }

int status_of(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return RELAY_FAILURE_STATUS;
}

timespec as_timespec(clock_type::duration duration) {
    if (duration < clock_type::duration::zero()) duration = clock_type::duration::zero();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration - seconds);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

class relay {
public:
    relay(stream_handler& handler, user_terminal& terminal, const signal_scope& signals, int master_fd,
          pid_t child)
        : handler_(handler),
          terminal_(terminal),
          signals_(signals),
          master_fd_(master_fd),
          child_(child),
          screen_(SCREEN_CAPACITY, STDOUT_FILENO, when_full::wait),
          command_(COMMAND_CAPACITY, master_fd, when_full::drop),
          chunk_(std::make_unique_for_overwrite<unsigned char[]>(READ_CHUNK)) {
        struct stat output_status {};
        screen_write_limit_ = fstat(STDOUT_FILENO, &output_status) == 0 && S_ISREG(output_status.st_mode)
                                  ? SCREEN_CAPACITY
                                  : SCREEN_WRITE_LIMIT;
    }

    ~relay() {
        if (master_fd_ >= 0) close(master_fd_);
        // Only when a handler threw: the command must not outlive the relay unnoticed.
        if (!child_reaped_ && !hung_up_) kill(-child_, SIGHUP);
    }
    relay(const relay&) = delete;
    relay& operator=(const relay&) = delete;

    relay_result run();

private:
    void reap_child();
    void pass_window_size() const;
    void read_master();
    void read_keyboard();
    void end_output(const char* reason);
    relay_result stop_early(int status, const std::string& reason, std::string error);

    stream_handler& handler_;
    user_terminal& terminal_;
    const signal_scope& signals_;
    int master_fd_;
    pid_t child_;
    queue_sink screen_;
    queue_sink command_;
    std::unique_ptr<unsigned char[]> chunk_;
    std::size_t screen_write_limit_;

    bool child_reaped_ = false;
    int child_status_ = 0;
    bool keyboard_ended_ = false;
    bool master_ended_ = false;
    bool output_ended_called_ = false;
    bool hung_up_ = false;
    // Since when the master has given nothing although the relay was ready to read it.
    clock_type::time_point master_quiet_since_{};
};

void relay::reap_child() {
    int wait_status = 0;
    pid_t reaped;
    while ((reaped = waitpid(child_, &wait_status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (reaped == child_) {
        child_reaped_ = true;
        child_status_ = status_of(wait_status);
    } else if (reaped < 0) {
        // Someone else reaped it (a SIGCHLD handler of the host program, say): it has ended.
        child_reaped_ = true;
        child_status_ = RELAY_FAILURE_STATUS;
    }
    if (child_reaped_) master_quiet_since_ = clock_type::now();
}

void relay::pass_window_size() const {
    winsize size{};
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &size) == 0) (void)ioctl(master_fd_, TIOCSWINSZ, &size);
}

void relay::read_master() {
    // A terminal hands over at most a few KiB per read; reading on while more is there saves a
    // wait per read when the command writes fast (a transfer).
    for (int reads = 0; reads < MASTER_READS_PER_WAKE; ++reads) {
        const ssize_t got = read(master_fd_, chunk_.get(), READ_CHUNK);
        if (got > 0) {
            master_quiet_since_ = clock_type::now();
            handler_.command_output(chunk_.get(), static_cast<std::size_t>(got), screen_, command_);
            // Answers go out at once: the command may be waiting for them.
            if (!command_.buffer().empty()) return;
            if (screen_.buffer().free_space() < SCREEN_ROOM_FOR_READ) return;
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        // EIO: every descriptor of the command's terminal is closed and all it wrote has been read.
        master_ended_ = true;
        return;
    }
}

void relay::read_keyboard() {
    const ssize_t got = read(STDIN_FILENO, chunk_.get(), READ_CHUNK);
    if (got > 0) {
        const auto length = static_cast<std::size_t>(got);
        if (handler_.wants_keyboard()) {
            handler_.keyboard(chunk_.get(), length, command_);
        } else {
            command_.append(chunk_.get(), length);
        }
        return;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // End of input is not passed on: the command decides itself when it is done.
    keyboard_ended_ = true;
    handler_.keyboard_ended(command_);
}

void relay::end_output(const char* reason) {
    if (output_ended_called_) return;
    output_ended_called_ = true;
    handler_.output_ended(reason, screen_);
}

// Ends the run before the command has: hangs it up and leaves the user's terminal as it was.
relay_result relay::stop_early(int status, const std::string& reason, std::string error) {
    end_output(reason.c_str());
    if (!child_reaped_) {
        kill(-child_, SIGHUP);
        kill(-child_, SIGCONT);
        hung_up_ = true;
    }
    // Closing the master hangs up the terminal, which also reaches jobs of a shell run in it.
    close(master_fd_);
    master_fd_ = -1;
    terminal_.leave_raw_mode();
    const auto give_up = clock_type::now() + HANGUP_GRACE;
    while (!child_reaped_ && clock_type::now() < give_up) {
        reap_child();
        if (!child_reaped_) {
            const timespec pause{0, 10'000'000};
            nanosleep(&pause, nullptr);
        }
    }
    return {status, true, std::move(error)};
}

relay_result relay::run() {
    if (terminal_.is_terminal) terminal_.enter_raw_mode();
    auto next_tick = clock_type::now() + TICK_INTERVAL;

    for (;;) {
        if (stop_signal != 0) {
            const int signal_number = stop_signal;
            const std::string reason = "interrupted by signal " + std::to_string(signal_number);
            return stop_early(128 + signal_number, reason, reason);
        }
        if (child_changed != 0) {
            child_changed = 0;
            if (!child_reaped_) reap_child();
        }
        if (window_changed != 0) {
            window_changed = 0;
            if (terminal_.is_terminal) pass_window_size();
        }
        if (screen_.failed_errno() != 0) {
            const std::string error = describe_errno("cannot write to standard output", screen_.failed_errno());
            return stop_early(RELAY_FAILURE_STATUS, error, error);
        }

        const auto now = clock_type::now();
        if (now >= next_tick && !output_ended_called_) {
            handler_.tick(now);
            next_tick = now + TICK_INTERVAL;
        }
        if (!master_ended_ && child_reaped_ && now - master_quiet_since_ >= QUIET_AFTER_EXIT) {
            master_ended_ = true;
        }
        if (master_ended_) {
            // Nothing can reach the command any more.
            command_.buffer().clear();
            if (screen_.buffer().empty()) {
                end_output(nullptr);
                // The handler may have released held-back bytes: show them before leaving.
                if (screen_.buffer().empty() && child_reaped_) break;
            }
        }

        pollfd fds[3]{};
        fds[0].fd = -1;
        if (!keyboard_ended_ && !master_ended_ &&
            command_.buffer().free_space() >= READ_CHUNK + ANSWER_RESERVE) {
            fds[0] = {STDIN_FILENO, POLLIN, 0};
        }
        fds[1].fd = -1;
        if (!master_ended_) {
            short events = 0;
            if (screen_.buffer().free_space() >= SCREEN_ROOM_FOR_READ) {
                events |= POLLIN;
            } else {
                // Output waiting for a slow screen is not silence.
                master_quiet_since_ = now;
            }
            if (!command_.buffer().empty()) events |= POLLOUT;
            if (events != 0) fds[1] = {master_fd_, events, 0};
        }
        fds[2].fd = -1;
        if (!screen_.buffer().empty()) fds[2] = {STDOUT_FILENO, POLLOUT, 0};

        auto wake = next_tick;
        if (child_reaped_ && !master_ended_) wake = std::min(wake, master_quiet_since_ + QUIET_AFTER_EXIT);
        const timespec timeout = as_timespec(wake - now);
        const int ready = ppoll(fds, 3, &timeout, signals_.wait_mask());
        if (ready < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            const std::string error = describe_errno("cannot wait for input", errno);
            return stop_early(RELAY_FAILURE_STATUS, error, error);
        }
        if (ready == 0) continue;

        // The command's output first, so that its answers go out in this same pass.
        constexpr short gone = POLLHUP | POLLERR | POLLNVAL;
        if (fds[1].fd >= 0 && (fds[1].events & POLLIN) != 0 && (fds[1].revents & (POLLIN | gone)) != 0) {
            read_master();
        }
        if (fds[0].fd >= 0 && fds[0].revents != 0) read_keyboard();
        if (fds[1].fd >= 0 && (fds[1].revents & POLLHUP) != 0) {
            // No descriptor of the command's terminal is open: nobody will read what is queued.
            command_.discard();
        }
        if (!master_ended_ && !command_.buffer().empty()) {
            // One write for everything pending, so that a two-byte answer is never split. The
            // master does not block, so trying without a POLLOUT costs at most an EAGAIN.
            command_.write_some(COMMAND_CAPACITY);
            // A failure means the command's side is closed; its remaining output still gets read.
            if (command_.failed_errno() != 0) command_.discard();
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) screen_.write_some(screen_write_limit_);
    }

    close(master_fd_);
    master_fd_ = -1;
    terminal_.leave_raw_mode();
    return {child_status_, true, {}};
}

}  // namespace

relay_result run_relay(const std::vector<std::string>& command, stream_handler& handler) {
    if (command.empty()) return not_started(RELAY_FAILURE_STATUS, "no command to run");

    // Everything the child needs is prepared before fork(): it must not allocate.
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // Declared first so that it is undone last: the terminal is restored before a pending stop
    // signal can take its default action.
    signal_scope signals;
    user_terminal terminal;
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &terminal.saved) == 0) {
        terminal.is_terminal = true;
        terminal.have_size = ioctl(STDIN_FILENO, TIOCGWINSZ, &terminal.size) == 0;
    }

    int master_fd = -1;
    int slave_fd = -1;
    if (openpty(&master_fd, &slave_fd, nullptr, terminal.is_terminal ? &terminal.saved : nullptr,
                terminal.have_size ? &terminal.size : nullptr) != 0) {
        return not_started(RELAY_FAILURE_STATUS, describe_errno("cannot open a new terminal", errno));
    }
    master_fd = above_standard(master_fd);
    slave_fd = above_standard(slave_fd);
    int report_pipe[2] = {-1, -1};
    if (master_fd < 0 || slave_fd < 0 || pipe2(report_pipe, O_CLOEXEC) != 0) {
        const int error_number = errno;
        if (master_fd >= 0) close(master_fd);
        if (slave_fd >= 0) close(slave_fd);
        return not_started(RELAY_FAILURE_STATUS, describe_errno("cannot open a new terminal", error_number));
    }
    report_pipe[0] = above_standard(report_pipe[0]);
    report_pipe[1] = above_standard(report_pipe[1]);

    const pid_t child = report_pipe[0] < 0 || report_pipe[1] < 0 ? -1 : fork();
    if (child == 0) become_command(slave_fd, report_pipe[1], argv.data());
    const int fork_errno = errno;
    close(slave_fd);
    if (report_pipe[1] >= 0) close(report_pipe[1]);
    if (child < 0) {
        close(master_fd);
        if (report_pipe[0] >= 0) close(report_pipe[0]);
        return not_started(RELAY_FAILURE_STATUS, describe_errno("cannot start a process", fork_errno));
    }

    // The pipe closes unread on a successful exec.
    start_failure failure{};
    ssize_t got;
    while ((got = read(report_pipe[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    close(report_pipe[0]);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        close(master_fd);
        int ignored_status = 0;
        while (waitpid(child, &ignored_status, 0) < 0 && errno == EINTR) {
        }
        const std::string name = escaped_for_display(command.front(), 512);
        if (failure.stage != 0) {
            return not_started(RELAY_FAILURE_STATUS,
                               describe_errno("cannot give " + name + " a terminal", failure.error_number));
        }
        const bool cannot_execute = failure.error_number == EACCES || failure.error_number == EPERM ||
                                    failure.error_number == ENOEXEC || failure.error_number == EISDIR ||
                                    failure.error_number == ETXTBSY;
        return not_started(cannot_execute ? 126 : 127,
                           describe_errno("cannot run " + name, failure.error_number));
    }

    const int flags = fcntl(master_fd, F_GETFL);
    if (flags >= 0) (void)fcntl(master_fd, F_SETFL, flags | O_NONBLOCK);
    relay session(handler, terminal, signals, master_fd, child);
    relay_result result = session.run();
    terminal.leave_raw_mode();
    return result;
}

}  // namespace pushfile::receive
