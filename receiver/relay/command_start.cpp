#include "receiver/relay/command_start.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/display.h"
#include "common/failure.h"
#include "common/io.h"
#include "common/owned_fd.h"
#include "receiver/relay/run_status.h"

namespace pushfile::receive {
namespace {

// What the child sends back through its close-on-exec pipe when it cannot run the command.
struct start_failure {
    int stage;  // 0: exec, 1: making the terminal its own
    int error_number;
};

[[noreturn]] void report_start_failure(int pipe_fd, int stage) {
    const start_failure failure{stage, errno};
    ssize_t ignored = write(pipe_fd, &failure, sizeof failure);
    (void)ignored;
    _exit(EXIT_NOT_FOUND);
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
    for (int fd = STDERR_FILENO + 1; fd < report_fd; ++fd) close(fd);
    if (close_range(static_cast<unsigned>(report_fd) + 1, ~0U, 0) != 0) {
        const long limit = sysconf(_SC_OPEN_MAX);
        for (long fd = report_fd + 1; fd < limit; ++fd) close(static_cast<int>(fd));
    }
    execvp(argv[0], argv);
    report_start_failure(report_fd, 0);
}

bool failed(int status, std::string error, int* failure_status, std::string* err) {
    *failure_status = status;
    *err = std::move(error);
    return false;
}

// The status a shell gives a command that could not be run for this reason.
bool not_run(const std::string& name, const start_failure& failure, int* failure_status, std::string* err) {
    const std::string shown = escaped_for_display(name, 512);
    if (failure.stage != 0) {
        return failed(EXIT_RELAY_FAILED, failure_text("cannot give " + shown + " a terminal", failure.error_number),
                      failure_status, err);
    }
    const int error_number = failure.error_number;
    const bool found_but_not_runnable = error_number == EACCES || error_number == EPERM || error_number == ENOEXEC ||
                                        error_number == EISDIR || error_number == ETXTBSY;
    return failed(found_but_not_runnable ? EXIT_NOT_RUNNABLE : EXIT_NOT_FOUND,
                  failure_text("cannot run " + shown, error_number), failure_status, err);
}

}  // namespace

bool start_on_new_terminal(const std::vector<std::string>& command, const termios* settings, const winsize* size,
                           started_command* started, int* failure_status, std::string* err) {
    if (command.empty()) return failed(EXIT_RELAY_FAILED, "no command to run", failure_status, err);
    // Everything the child needs is prepared before fork(): it must not allocate.
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int new_master = -1;
    int new_slave = -1;
    if (openpty(&new_master, &new_slave, nullptr, settings, size) != 0) {
        return failed(EXIT_RELAY_FAILED, failure_text("cannot open a new terminal", errno), failure_status, err);
    }
    owned_fd master(move_above_standard(new_master));
    owned_fd slave(move_above_standard(new_slave));
    int report_pipe[2] = {-1, -1};
    if (!master.valid() || !slave.valid() || pipe2(report_pipe, O_CLOEXEC) != 0) {
        const int error_number = errno;
        return failed(EXIT_RELAY_FAILED, failure_text("cannot open a new terminal", error_number), failure_status, err);
    }
    owned_fd report_reader(move_above_standard(report_pipe[0]));
    owned_fd report_writer(move_above_standard(report_pipe[1]));

    const pid_t child = !report_reader.valid() || !report_writer.valid() ? -1 : fork();
    if (child == 0) become_command(slave.get(), report_writer.get(), argv.data());
    const int fork_errno = errno;
    // Only the child uses these; the reader sees the pipe's end once the child's copy is gone.
    slave.reset();
    report_writer.reset();
    if (child < 0) {
        return failed(EXIT_RELAY_FAILED, failure_text("cannot start a process", fork_errno), failure_status, err);
    }

    // The pipe closes unread on a successful exec.
    start_failure failure{};
    std::size_t got = 0;
    if (read_full(report_reader.get(), &failure, sizeof failure, &got) && got == sizeof failure) {
        master.reset();
        int ignored_status = 0;
        while (waitpid(child, &ignored_status, 0) < 0 && errno == EINTR) {}
        return not_run(command.front(), failure, failure_status, err);
    }

    const int flags = fcntl(master.get(), F_GETFL);
    if (flags >= 0) (void)fcntl(master.get(), F_SETFL, flags | O_NONBLOCK);
    started->pid = child;
    started->master = std::move(master);
    return true;
}

}  // namespace pushfile::receive
