#include "tests/support/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace pushfile_test {
namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("pty_peer: ") + what + ": " + std::strerror(errno));
}

// Keeps the test's descriptors clear of 0..2, which may be closed when the suite runs without
// standard input; the child's dup2 calls would otherwise overwrite them.
int lift(int fd) {
    if (fd > STDERR_FILENO) return fd;
    const int lifted = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (lifted < 0) fail("fcntl F_DUPFD");
    close(fd);
    return lifted;
}

void set_flag(int fd, int flag) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | flag) < 0) fail("fcntl F_SETFL");
}

void close_if_open(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Between fork and exec only async-signal-safe calls are allowed, so this reports by exit code.
[[noreturn]] void start_child(const child_options& options, int slave, int output_write, int errors_write,
                              int input_file, char* const* argv) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    if (options.input == input_source::terminal) dup2(slave, STDIN_FILENO);
    if (options.input == input_source::file) dup2(input_file, STDIN_FILENO);
    dup2(options.output == output_target::terminal ? slave : output_write, STDOUT_FILENO);
    dup2(options.errors_to_terminal ? slave : errors_write, STDERR_FILENO);
    close_range(STDERR_FILENO + 1, ~0U, 0);
    if (options.input == input_source::closed) close(STDIN_FILENO);
    signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    for (const int signal_number : options.ignored_signals) signal(signal_number, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) _exit(126);
    execve(options.program.c_str(), argv, environ);
    _exit(127);
}

}  // namespace

pty_peer::pty_peer(const child_options& options) {
    winsize window{options.rows, options.columns, 0, 0};
    if (openpty(&master_, &slave_, nullptr, nullptr, options.rows > 0 ? &window : nullptr) != 0) fail("openpty");
    master_ = lift(master_);
    slave_ = lift(slave_);
    termios settings{};
    if (tcgetattr(slave_, &settings) != 0) fail("tcgetattr");
    if (options.adjust_settings) {
        options.adjust_settings(settings);
        if (tcsetattr(slave_, TCSANOW, &settings) != 0) fail("tcsetattr");
    }
    if (tcgetattr(slave_, &initial_settings_) != 0) fail("tcgetattr");
    set_flag(master_, O_NONBLOCK);

    int output_pipe[2] = {-1, -1};
    output_is_terminal_ = options.output == output_target::terminal;
    if (!output_is_terminal_) {
        if (pipe2(output_pipe, O_CLOEXEC) != 0) fail("pipe2");
        output_pipe[0] = lift(output_pipe[0]);
        output_pipe[1] = lift(output_pipe[1]);
        if (options.pipe_capacity > 0 && fcntl(output_pipe[1], F_SETPIPE_SZ, options.pipe_capacity) < 0)
            fail("F_SETPIPE_SZ");
        if (options.output == output_target::nonblocking_pipe) set_flag(output_pipe[1], O_NONBLOCK);
        set_flag(output_pipe[0], O_NONBLOCK);
    }
    int errors_pipe[2];
    if (pipe2(errors_pipe, O_CLOEXEC) != 0) fail("pipe2");
    errors_pipe[0] = lift(errors_pipe[0]);
    errors_pipe[1] = lift(errors_pipe[1]);
    set_flag(errors_pipe[0], O_NONBLOCK);
    int input_file = -1;
    if (options.input == input_source::file) {
        input_file = open(options.input_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (input_file < 0) fail("open input file");
        input_file = lift(input_file);
    }

    std::vector<char*> argv;
    for (const std::string& argument : options.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) start_child(options, slave_, output_pipe[1], errors_pipe[1], input_file, argv.data());

    close_if_open(output_pipe[1]);
    close_if_open(errors_pipe[1]);
    close_if_open(input_file);
    output_ = output_is_terminal_ ? master_ : output_pipe[0];
    errors_fd_ = errors_pipe[0];
}

pty_peer::~pty_peer() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        reap(0);
    }
    if (output_ != master_) close_if_open(output_);
    close_if_open(master_);
    close_if_open(slave_);
    close_if_open(errors_fd_);
}

void pty_peer::reap(int options) {
    int raw = 0;
    pid_t result;
    do {
        result = waitpid(pid_, &raw, options);
    } while (result < 0 && errno == EINTR);
    if (result != pid_) return;
    reaped_ = true;
    status_.exited = WIFEXITED(raw);
    status_.code = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    status_.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
}

void pty_peer::read_output_once() {
    char buffer[65536];
    const std::size_t limit = std::min(read_chunk_, sizeof buffer);
    const ssize_t count = read(output_, buffer, limit);
    if (count > 0) {
        pending_.append(buffer, static_cast<std::size_t>(count));
        if (read_pause_.count() > 0) std::this_thread::sleep_for(read_pause_);
    } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
        // End of a pipe; a terminal's master reports EIO once no slave is left.
        output_ended_ = true;
    }
}

// The test keeps the slave open, so the master never reports an end: once the program has gone,
// whatever it wrote is drained and the output counts as ended. A read of the master first pushes
// out bytes still queued inside the terminal layer, so EAGAIN there means nothing is left.
void pty_peer::drain_terminal_after_exit() {
    while (!output_ended_) {
        const std::size_t before = pending_.size();
        read_output_once();
        if (pending_.size() == before && !output_ended_) {
            pollfd ready{output_, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0) output_ended_ = true;
        }
    }
}

bool pty_peer::pump_until(const std::function<bool()>& done, clock_type::time_point deadline) {
    while (!done()) {
        if (!reaped_) reap(WNOHANG);
        if (reaped_ && output_is_terminal_) drain_terminal_after_exit();
        if (done()) break;
        if (reaped_ && output_ended_ && errors_ended_) return false;  // nothing more can come
        const auto now = clock_type::now();
        if (now >= deadline) return false;
        // Short slices, so that the program's end is noticed while the master stays quiet.
        const auto slice = std::min(std::chrono::duration_cast<milliseconds>(deadline - now), milliseconds(20));
        pollfd fds[2] = {{output_ended_ ? -1 : output_, POLLIN, 0}, {errors_ended_ ? -1 : errors_fd_, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(slice.count()) + 1) < 0 && errno != EINTR) fail("poll");
        if (fds[0].revents != 0) read_output_once();
        if (fds[1].revents != 0) {
            char buffer[4096];
            const ssize_t count = read(errors_fd_, buffer, sizeof buffer);
            if (count > 0)
                errors_.append(buffer, static_cast<std::size_t>(count));
            else if (count == 0 || errno != EAGAIN)
                errors_ended_ = true;
        }
    }
    return true;
}

std::string pty_peer::take(std::size_t count) {
    count = std::min(count, pending_.size());
    std::string taken = pending_.substr(0, count);
    pending_.erase(0, count);
    return taken;
}

std::string pty_peer::read_exact(std::size_t count, milliseconds guard) {
    pump_until([&] { return pending_.size() >= count; }, clock_type::now() + guard);
    return take(count);
}

std::string pty_peer::read_through(char last, milliseconds guard) {
    pump_until([&] { return pending_.find(last) != std::string::npos; }, clock_type::now() + guard);
    const std::size_t at = pending_.find(last);
    return take(at == std::string::npos ? pending_.size() : at + 1);
}

bool pty_peer::read_until(std::string_view text, milliseconds guard) {
    pump_until([&] { return pending_.find(text) != std::string::npos; }, clock_type::now() + guard);
    const std::size_t at = pending_.find(text);
    take(at == std::string::npos ? pending_.size() : at + text.size());
    return at != std::string::npos;
}

std::string pty_peer::read_rest(milliseconds guard) {
    pump_until([&] { return output_ended_; }, clock_type::now() + guard);
    return take(pending_.size());
}

std::string pty_peer::read_for(milliseconds period) {
    pump_until([] { return false; }, clock_type::now() + period);
    return take(pending_.size());
}

void pty_peer::set_read_pacing(std::size_t chunk, milliseconds pause) {
    read_chunk_ = chunk;
    read_pause_ = pause;
}

void pty_peer::close_output_reader() {
    if (output_is_terminal_) throw std::logic_error("pty_peer: the output is the terminal, not a pipe");
    close_if_open(output_);
    output_ended_ = true;
}

void pty_peer::send(std::string_view bytes) {
    const auto deadline = clock_type::now() + HANG_GUARD;
    while (!bytes.empty()) {
        const ssize_t written = write(master_, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            fail("write to the terminal");
        } else if (clock_type::now() >= deadline) {
            throw std::runtime_error("pty_peer: the terminal's input stayed full");
        } else {
            pollfd ready{master_, POLLOUT, 0};
            poll(&ready, 1, 20);
        }
    }
}

void pty_peer::send_signal(int signal_number) { kill(pid_, signal_number); }

termios pty_peer::settings() const {
    termios settings{};
    if (tcgetattr(slave_, &settings) != 0) fail("tcgetattr");
    return settings;
}

exit_status pty_peer::wait(milliseconds guard) {
    if (!pump_until([&] { return reaped_ && output_ended_ && errors_ended_; }, clock_type::now() + guard) && !reaped_) {
        kill(pid_, SIGKILL);
        reap(0);
    }
    return status_;
}

std::string settings_difference(const termios& seen, const termios& wanted) {
    std::string difference;
    char line[96];
    const auto compare = [&](const char* name, unsigned long seen_value, unsigned long wanted_value) {
        if (seen_value == wanted_value) return;
        std::snprintf(line, sizeof line, "%s: seen %#lo, wanted %#lo\n", name, seen_value, wanted_value);
        difference += line;
    };
    compare("c_iflag", seen.c_iflag, wanted.c_iflag);
    compare("c_oflag", seen.c_oflag, wanted.c_oflag);
    compare("c_cflag", seen.c_cflag, wanted.c_cflag);
    compare("c_lflag", seen.c_lflag, wanted.c_lflag);
    compare("c_line", seen.c_line, wanted.c_line);
    compare("input speed", cfgetispeed(&seen), cfgetispeed(&wanted));
    compare("output speed", cfgetospeed(&seen), cfgetospeed(&wanted));
    for (std::size_t i = 0; i < NCCS; ++i) {
        const std::string name = "c_cc[" + std::to_string(i) + "]";
        compare(name.c_str(), seen.c_cc[i], wanted.c_cc[i]);
    }
    return difference;
}

}  // namespace pushfile_test
