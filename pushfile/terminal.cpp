#include "pushfile/terminal.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/io.h"
#include "common/protocol.h"

namespace pushfile::send {
namespace {

termios saved_terminal_settings{};
termios transfer_settings{};
// Writing back a record that was never read would set every flag to zero, the line speed to
// zero included, which hangs the line up: only write back what was read.
bool have_saved_settings = false;

multiplexer wrapping_for = multiplexer::none;

// A newcomer without a receiver on the other side must learn why nothing happens while still
// looking; a receiver answers well within this.
constexpr int NO_ANSWER_NOTICE_DELAY_MS = 3000;
// Long enough for a slow serial line's second byte, short enough that a lone key still ends the
// transfer at once to a person.
constexpr int SECOND_REPLY_BYTE_WAIT_MS = 200;
constexpr std::size_t MAX_NOTICE_LENGTH = 512;

const char* no_answer_notice = nullptr;
// Only the first reply of a run can come before any answer was accepted: a refusal ends the run.
bool awaiting_first_reply = true;

constexpr int RESTORING_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

// Puts the saved settings back and ends the process by the same signal, so that its parent sees
// the status it would have seen without this handler. Async-signal-safe calls only. No drain of
// pending output: a stalled output must not keep a process alive that was told to end.
void restore_and_end(int signal_number) {
    // In the background (timeout starts its command in a process group of its own) the process
    // was stopped before it could set the terminal, which belongs to the foreground: touching it
    // would only stop the process again, for good.
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    if (foreground == -1 || foreground == getpgrp()) {
        (void)tcflush(STDIN_FILENO, TCIFLUSH);
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal_settings);
    }
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    (void)sigemptyset(&default_action.sa_mask);
    (void)sigaction(signal_number, &default_action, nullptr);
    // Blocked while this handler runs; delivered, with its default action, as it returns.
    (void)raise(signal_number);
}

void restore_on_ending_signals() {
    struct sigaction restoring {};
    restoring.sa_handler = restore_and_end;
    (void)sigemptyset(&restoring.sa_mask);
    for (const int signal_number : RESTORING_SIGNALS) (void)sigaddset(&restoring.sa_mask, signal_number);
    restoring.sa_flags = SA_RESTART;
    for (const int signal_number : RESTORING_SIGNALS) {
        // An ignored signal (SIGINT and SIGQUIT under nohup or '&') was meant to stay ignored.
        struct sigaction previous {};
        if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
        (void)sigaction(signal_number, &restoring, nullptr);
    }
}

// poll() on descriptor 0 for input, the end of input or an error: >0 ready, 0 timed out, <0 failed.
int wait_for_input(int timeout_ms) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready;
    do {
        ready = poll(&input, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    return ready;
}

// In one write, so that it is not torn by other output. On a terminal, whose output processing
// the transfer mode may have turned off, the line is set apart from what the terminal made of the
// messages before it and ends in CR LF.
void write_notice(const char* notice) {
    const bool on_terminal = isatty(STDERR_FILENO) == 1;
    char line[MAX_NOTICE_LENGTH + 4];
    const int length = std::snprintf(line, sizeof line, "%s%.*s%s", on_terminal ? "\r\n" : "",
                                     static_cast<int>(MAX_NOTICE_LENGTH), notice, on_terminal ? "\r\n" : "\n");
    if (length > 0) (void)write_all(STDERR_FILENO, line, static_cast<std::size_t>(length));
}

}  // namespace

void enter_transfer_mode() {
    if (tcgetattr(STDIN_FILENO, &saved_terminal_settings) != 0) return;
    have_saved_settings = true;
    restore_on_ending_signals();
    transfer_settings = saved_terminal_settings;
    transfer_settings.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    transfer_settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    transfer_settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    transfer_settings.c_cflag |= CS8;
    transfer_settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    transfer_settings.c_cc[VMIN] = 1;
    transfer_settings.c_cc[VTIME] = 0;
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &transfer_settings);
}

void restore_terminal() {
    if (have_saved_settings) (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal_settings);
}

ssize_t write_full(const void* bytes, std::size_t length) {
    if (length == 0) return 0;
    return write_all(STDOUT_FILENO, bytes, length) == length ? static_cast<ssize_t>(length) : -1;
}

ssize_t read_reply(unsigned char reply[2]) {
    if (awaiting_first_reply) {
        awaiting_first_reply = false;
        if (no_answer_notice != nullptr && wait_for_input(NO_ANSWER_NOTICE_DELAY_MS) == 0)
            write_notice(no_answer_notice);
    }
    const ssize_t count = read(STDIN_FILENO, reply, 2);
    if (count != 1 || wait_for_input(SECOND_REPLY_BYTE_WAIT_MS) <= 0) return count;
    return read(STDIN_FILENO, reply + 1, 1) == 1 ? 2 : 1;
}

void set_no_answer_notice(const char* notice) { no_answer_notice = notice; }

namespace {

// Kept out of line so that the plain path never enters this frame and its buffer.
[[gnu::noinline]] bool write_wrapped(const void* head, std::size_t head_length, const void* tail,
                                     std::size_t tail_length) {
    unsigned char wrapped[WRAPPED_MESSAGE_SIZE];
    const std::size_t length =
        wrap_message(wrapping_for, head, head_length, tail, tail_length, wrapped, sizeof wrapped);
    if (length == 0) {
        errno = EMSGSIZE;
        return false;
    }
    return write_full(wrapped, length) == static_cast<ssize_t>(length);
}

}  // namespace

void wrap_messages_for(multiplexer pane) { wrapping_for = pane; }

bool write_message(const void* head, std::size_t head_length, const void* tail, std::size_t tail_length) {
    if (wrapping_for != multiplexer::none) return write_wrapped(head, head_length, tail, tail_length);
    if (head_length > 0 && write_full(head, head_length) != static_cast<ssize_t>(head_length)) return false;
    return tail_length == 0 || write_full(tail, tail_length) == static_cast<ssize_t>(tail_length);
}

}  // namespace pushfile::send
