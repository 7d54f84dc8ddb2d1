#include "receiver/relay/relay_signals.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>

#include "receiver/relay/run_status.h"

namespace pushfile::receive {
namespace {

volatile std::sig_atomic_t child_changed = 0;
volatile std::sig_atomic_t window_changed = 0;
volatile std::sig_atomic_t stop_requested = 0;

// A status for a child that someone else reaped (a SIGCHLD handler of a host program).
constexpr int UNKNOWN_STATUS = EXIT_RELAY_FAILED;

extern "C" void note_signal(int signal_number) {
    switch (signal_number) {
        case SIGCHLD: child_changed = 1; break;
        case SIGWINCH: window_changed = 1; break;
        default: stop_requested = signal_number; break;
    }
}

int status_of(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return UNKNOWN_STATUS;
}

}  // namespace

relay_signals::relay_signals() {
    child_changed = 0;
    window_changed = 0;
    stop_requested = 0;
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal_number : HANDLED) sigaddset(&handled, signal_number);
    pthread_sigmask(SIG_BLOCK, &handled, &previous_mask_);
    wait_mask_ = previous_mask_;
    for (int signal_number : HANDLED) sigdelset(&wait_mask_, signal_number);

    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    std::size_t index = 0;
    for (int signal_number : HANDLED) {
        action.sa_flags = signal_number == SIGCHLD ? SA_RESTART | SA_NOCLDSTOP : SA_RESTART;
        sigaction(signal_number, &action, &previous_actions_[index++]);
    }
    // A reader that went away shows up as EPIPE on the write instead.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous_pipe_action_);
}

relay_signals::~relay_signals() {
    sigaction(SIGPIPE, &previous_pipe_action_, nullptr);
    std::size_t index = 0;
    for (int signal_number : HANDLED) sigaction(signal_number, &previous_actions_[index++], nullptr);
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

bool relay_signals::take_child_changed() {
    if (child_changed == 0) return false;
    child_changed = 0;
    return true;
}

bool relay_signals::take_window_changed() {
    if (window_changed == 0) return false;
    window_changed = 0;
    return true;
}

int relay_signals::stop_signal() const { return stop_requested; }

timespec as_timespec(monotonic_clock::duration duration) {
    if (duration < monotonic_clock::duration::zero()) duration = {};
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration - seconds);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

child_exit reap_if_ended(pid_t child) {
    int wait_status = 0;
    pid_t reaped;
    while ((reaped = waitpid(child, &wait_status, WNOHANG)) < 0 && errno == EINTR) {}
    if (reaped == child) return {true, status_of(wait_status)};
    // ECHILD: someone else reaped it; it has ended all the same.
    if (reaped < 0) return {true, UNKNOWN_STATUS};
    return {};
}

child_exit wait_for_child(pid_t child, monotonic_clock::time_point deadline) {
    sigset_t child_signal;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    for (;;) {
        const child_exit exit = reap_if_ended(child);
        if (exit.reaped) return exit;
        const auto now = monotonic_clock::now();
        if (now >= deadline) return exit;
        // SIGCHLD is blocked: one that comes between the look and the wait stays pending.
        const timespec timeout = as_timespec(deadline - now);
        (void)sigtimedwait(&child_signal, nullptr, &timeout);
    }
}

}  // namespace pushfile::receive
