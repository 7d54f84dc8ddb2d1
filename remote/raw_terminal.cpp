#include "remote/raw_terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <ctime>

namespace pushfile::remote {
namespace {

// Writing back a record that was never read would set every flag to zero, the line speed to zero
// included, which hangs the line up: only what was read is written back (have_saved_settings_).
termios saved_settings{};

volatile sig_atomic_t noted_ending_signal = 0;

void note_ending_signal(int signal_number) { noted_ending_signal = signal_number; }

// Puts the saved settings back and ends the process by the same signal. Async-signal-safe calls
// only. No drain of pending output: a stalled output must not keep a process alive that was told
// to end.
void restore_and_end(int signal_number) {
    // In the background (timeout starts its command in a process group of its own) the process
    // was stopped before it could set the terminal, which belongs to the foreground: touching it
    // would only stop the process again, for good.
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    if (foreground == -1 || foreground == getpgrp()) {
        (void)tcflush(STDIN_FILENO, TCIFLUSH);
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
    }
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    (void)sigemptyset(&default_action.sa_mask);
    (void)sigaction(signal_number, &default_action, nullptr);
    // Blocked while this handler runs; delivered, with its default action, as it returns.
    (void)raise(signal_number);
}

sigset_t ending_set() {
    sigset_t ending;
    (void)sigemptyset(&ending);
    for (const int signal_number : ENDING_SIGNALS) (void)sigaddset(&ending, signal_number);
    return ending;
}

}  // namespace

raw_terminal::raw_terminal(ending_signal_use use) : use_(use) {
    if (use_ == ending_signal_use::note_while_waiting) {
        const sigset_t ending = ending_set();
        (void)sigprocmask(SIG_BLOCK, &ending, &waiting_);
        for (const int signal_number : ENDING_SIGNALS) (void)sigdelset(&waiting_, signal_number);
    }
    for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
        struct sigaction previous {};
        ignored_[i] = sigaction(ENDING_SIGNALS[i], nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN;
    }
}

void raw_terminal::enter() {
    have_saved_settings_ = tcgetattr(STDIN_FILENO, &saved_settings) == 0;
    // Without saved settings there is nothing to restore; a noted signal still ends the run in
    // plain code.
    if (have_saved_settings_ || use_ == ending_signal_use::note_while_waiting) {
        struct sigaction action {};
        if (use_ == ending_signal_use::end_at_once) {
            action.sa_handler = restore_and_end;
            action.sa_mask = ending_set();
            action.sa_flags = SA_RESTART;
        } else {
            action.sa_handler = note_ending_signal;
            (void)sigfillset(&action.sa_mask);
        }
        handle_ending_signals(action);
    }
    if (!have_saved_settings_) return;
    termios raw = saved_settings;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    raw.c_cflag |= CS8;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
}

void raw_terminal::restore() {
    if (!have_saved_settings_) return;
    have_saved_settings_ = false;
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_settings);
}

const sigset_t* raw_terminal::waiting_mask() const {
    return use_ == ending_signal_use::note_while_waiting ? &waiting_ : nullptr;
}

int raw_terminal::noted_signal() { return noted_ending_signal; }

void raw_terminal::end_run() {
    const int signal_number = noted_ending_signal;
    if (signal_number != 0) {
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        (void)sigemptyset(&default_action.sa_mask);
        handle_ending_signals(default_action);
        const sigset_t ending = ending_set();
        (void)sigprocmask(SIG_UNBLOCK, &ending, nullptr);
    }
    restore();
    if (signal_number != 0) (void)raise(signal_number);
}

void raw_terminal::handle_ending_signals(const struct sigaction& action) const {
    for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
        if (!ignored_[i]) (void)sigaction(ENDING_SIGNALS[i], &action, nullptr);
    }
}

int wait_for(int fd, short events, int timeout_ms, const sigset_t* mask) {
    pollfd watched{fd, events, 0};
    const timespec timeout{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
    return ppoll(&watched, 1, timeout_ms < 0 ? nullptr : &timeout, mask);
}

}  // namespace pushfile::remote
