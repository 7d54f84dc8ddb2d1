// The relay's event loop: one thread, one ppoll() over the keyboard, the command's terminal and
// the screen; everything written without blocking.
#include "receiver/relay/relay.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "common/clock.h"
#include "common/failure.h"
#include "receiver/relay/byte_queue.h"
#include "receiver/relay/command_start.h"
#include "receiver/relay/command_terminal.h"
#include "receiver/relay/relay_signals.h"
#include "receiver/relay/run_status.h"
#include "receiver/relay/screen_writer.h"
#include "receiver/relay/user_terminal.h"

namespace pushfile::receive {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds TICK_INTERVAL{100};
// How often the relay looks whether the command has read its input, while line mode waits for that.
constexpr milliseconds UNREAD_INPUT_CHECK{20};
// Reads of the command's output before the keyboard gets a look again.
constexpr int OUTPUT_READS_PER_WAKE = 16;
// A terminal that has more gives at least its line buffer's worth (4 KiB less one) per read; a
// shorter read means it is empty for now, and asking again would only cost a call.
constexpr std::size_t FULL_TERMINAL_READ = 4095;
// After the command has ended, a background process may still hold its terminal open.
constexpr milliseconds QUIET_AFTER_EXIT{250};
// How long a hung-up command gets to end, and the screen to take what is queued, before the
// relay returns without them.
constexpr milliseconds HANGUP_GRACE{1000};

class relay {
public:
    relay(stream_handler& handler, user_terminal& terminal, relay_signals& signals, screen_writer& screen,
          command_input_queue& command_input, started_command& command)
        : handler_(handler),
          terminal_(terminal),
          signals_(signals),
          screen_(screen),
          master_(std::move(command.master)),
          child_(command.pid),
          command_input_(command_input),
          command_mode_(master_.get()),
          chunk_(std::make_unique_for_overwrite<unsigned char[]>(COMMAND_READ_SIZE)) {}

    ~relay() {
        close_master();
        // Only when a handler threw: the command must not outlive the relay unnoticed.
        if (child_ > 0) kill(-child_, SIGHUP);
    }
    relay(const relay&) = delete;
    relay& operator=(const relay&) = delete;

    // Returns the exit status.
    int run();

private:
    // Where the run is; each stage moves only forward.
    enum class stage {
        relaying,       // the command runs and its terminal is open
        after_command,  // the command has ended; what is left on its terminal is still read
        after_output,   // its terminal is closed on every side; the command has not ended yet
        finishing,      // both are over: what is queued goes to the screen, then the run ends
    };

    // The steps of one turn of the loop.
    std::optional<int> stop_if_asked();
    void take_signals();
    void tick_if_due(monotonic_clock::time_point now);
    bool wait_and_serve(monotonic_clock::time_point now);
    void read_command_output();
    void read_keyboard();
    void write_command_input();

    void command_ended(int status);
    void output_ended(const char* reason);
    int finish();
    int stop_early(int status, const std::string& reason);
    void close_master();

    bool output_open() const { return stage_ == stage::relaying || stage_ == stage::after_command; }
    bool ticking() const { return output_open() && handler_.wants_ticks(); }
    // Room on the screen for what a read may bring, and a handler that takes output now.
    bool may_read_output() const {
        return screen_.output_room() >= SCREEN_ROOM_FOR_READ && screen_.message_room() >= MESSAGE_ROOM_FOR_READ &&
               (!handler_.output_paused() || screen_.last_row_waits_for_output());
    }

    stream_handler& handler_;
    user_terminal& terminal_;
    relay_signals& signals_;
    screen_writer& screen_;
    owned_fd master_;
    pid_t child_;  // -1 once reaped or given up on
    command_input_queue& command_input_;
    command_terminal_mode command_mode_;
    std::unique_ptr<unsigned char[]> chunk_;

    stage stage_ = stage::relaying;
    bool keyboard_open_ = true;
    int exit_status_ = 0;
    monotonic_clock::time_point next_tick_{};
    // When the command's terminal last gave output, or could have but the screen was full.
    monotonic_clock::time_point last_output_{};
};

int relay::run() {
    terminal_.enter_raw_mode();
    handler_.command_started(command_mode_);
    next_tick_ = monotonic_clock::now() + TICK_INTERVAL;
    for (;;) {
        if (std::optional<int> stopped = stop_if_asked()) return *stopped;
        take_signals();
        const auto now = monotonic_clock::now();
        tick_if_due(now);
        if (now >= screen_.next_change()) screen_.tick();
        if (stage_ == stage::after_command && now - last_output_ >= QUIET_AFTER_EXIT) output_ended(nullptr);
        if (stage_ == stage::finishing && screen_.empty()) return finish();
        if (!wait_and_serve(now)) {
            const std::string error = failure_text("cannot wait for input", errno);
            return stop_early(EXIT_RELAY_FAILED, error);
        }
    }
}

// A stop signal, or a screen that cannot be written any more, ends the run early.
std::optional<int> relay::stop_if_asked() {
    if (const int signal_number = signals_.stop_signal(); signal_number != 0) {
        const std::string reason = "interrupted by signal " + std::to_string(signal_number);
        return stop_early(128 + signal_number, reason);
    }
    if (screen_.output_error() != 0) {
        const std::string error = failure_text("cannot write to standard output", screen_.output_error());
        return stop_early(EXIT_RELAY_FAILED, error);
    }
    return std::nullopt;
}

void relay::take_signals() {
    if (signals_.take_child_changed() && child_ > 0) {
        const child_exit exit = reap_if_ended(child_);
        if (exit.reaped) command_ended(exit.status);
    }
    winsize size{};
    if (signals_.take_window_changed() && master_.valid() && terminal_.window_size(&size)) {
        command_mode_.window_changed(size);
    }
}

void relay::tick_if_due(monotonic_clock::time_point now) {
    if (!ticking()) {
        next_tick_ = now + TICK_INTERVAL;
        return;
    }
    if (now < next_tick_) return;
    handler_.tick(now);
    screen_.write_ready();
    next_tick_ = now + TICK_INTERVAL;
}

// Waits for the next thing to do and does it. False when the wait itself failed.
bool relay::wait_and_serve(monotonic_clock::time_point now) {
    enum { keyboard, master, screen };
    pollfd fds[3] = {{-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}};
    if (keyboard_open_ && output_open() &&
        (handler_.wants_keyboard() || command_input_.free_space() >= COMMAND_READ_SIZE + ANSWER_RESERVE)) {
        fds[keyboard] = {STDIN_FILENO, POLLIN, 0};
    }
    if (output_open()) {
        short events = command_input_.empty() ? 0 : POLLOUT;
        if (may_read_output()) events |= POLLIN;
        if (events != 0) fds[master] = {master_.get(), events, 0};
    }
    fds[screen] = {screen_.waits_for(), POLLOUT, 0};
    const bool reading_output = (fds[master].events & POLLIN) != 0;

    auto wake = std::min(ticking() ? next_tick_ : monotonic_clock::time_point::max(), screen_.next_change());
    // Silence after the command's end counts only while its terminal is being read.
    if (stage_ == stage::after_command && reading_output) wake = std::min(wake, last_output_ + QUIET_AFTER_EXIT);
    if (output_open() && command_mode_.release_pending()) wake = std::min(wake, now + UNREAD_INPUT_CHECK);
    const timespec timeout = as_timespec(wake - now);
    const int ready =
        ppoll(fds, 3, wake == monotonic_clock::time_point::max() ? nullptr : &timeout, signals_.wait_mask());
    // Output waiting for a slow screen is not silence, however long the screen took.
    if (output_open() && !reading_output) last_output_ = monotonic_clock::now();
    if (ready < 0) return errno == EINTR || errno == EAGAIN;
    if (ready == 0) {
        write_command_input();
        return true;
    }

    // The command's output first, so that its answers go out in this same turn.
    constexpr short gone = POLLHUP | POLLERR | POLLNVAL;
    if ((fds[master].events & POLLIN) != 0 && (fds[master].revents & (POLLIN | gone)) != 0) read_command_output();
    if (fds[keyboard].revents != 0 && output_open()) read_keyboard();
    // No descriptor of the command's terminal is open: nobody will read what is queued for it, and
    // a hung-up terminal polls as ready while refusing every write.
    if ((fds[master].revents & POLLHUP) != 0) command_input_.drop_all();
    write_command_input();
    if (fds[screen].revents != 0) screen_.became_writable(fds[screen].fd);
    screen_.write_ready();
    return true;
}

void relay::read_command_output() {
    // A terminal hands over at most a few KiB per read. Each read is written out at once: the
    // screen works on it while the command's terminal fills up again for the next read.
    for (int reads = 0; reads < OUTPUT_READS_PER_WAKE && output_open() && may_read_output(); ++reads) {
        const ssize_t got = read(master_.get(), chunk_.get(), COMMAND_READ_SIZE);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (got <= 0) {
            // EIO: every descriptor of the command's terminal is closed and all it wrote was read.
            output_ended(nullptr);
            return;
        }
        last_output_ = monotonic_clock::now();
        handler_.command_output(chunk_.get(), static_cast<std::size_t>(got));
        // Answers go out at once: the command may be waiting for them.
        write_command_input();
        screen_.write_ready();
        if (static_cast<std::size_t>(got) < FULL_TERMINAL_READ) return;
    }
}

void relay::read_keyboard() {
    const ssize_t got = read(STDIN_FILENO, chunk_.get(), COMMAND_READ_SIZE);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got > 0) {
        const auto length = static_cast<std::size_t>(got);
        if (handler_.wants_keyboard()) {
            handler_.keyboard(chunk_.get(), length);
        } else {
            command_input_.append(chunk_.get(), length);
        }
        return;
    }
    // End of input is not passed on: the command decides itself when it is done.
    keyboard_open_ = false;
    handler_.keyboard_ended();
}

// The handler may type more as each write makes room, until the command's terminal takes no more.
void relay::write_command_input() {
    if (!output_open()) return;
    handler_.command_input_room(command_input_.free_space());
    while (!command_input_.empty()) {
        command_mode_.before_input_write();
        // A failure means the command's side is closed; its remaining output still gets read.
        const write_outcome outcome = command_input_.write_to(master_.get());
        handler_.command_input_room(command_input_.free_space());
        if (outcome != write_outcome::done) break;
    }
    command_mode_.after_input_write(command_input_.empty());
}

void relay::command_ended(int status) {
    child_ = -1;
    exit_status_ = status;
    last_output_ = monotonic_clock::now();
    stage_ = stage_ == stage::after_output ? stage::finishing : stage::after_command;
}

// The command's terminal will give nothing more: the handler finishes, the terminal is closed.
void relay::output_ended(const char* reason) {
    if (!output_open()) return;
    stage_ = stage_ == stage::after_command ? stage::finishing : stage::after_output;
    command_input_.drop_all();
    handler_.output_ended(reason);
    screen_.output_ended();
    close_master();
    screen_.write_ready();
}

int relay::finish() {
    terminal_.leave_raw_mode();
    return exit_status_;
}

// Ends the run before the command has: hangs it up, shows what it can of what is queued, and
// leaves the user's terminal as it was.
int relay::stop_early(int status, const std::string& reason) {
    output_ended(reason.c_str());
    if (child_ > 0) {
        kill(-child_, SIGHUP);
        kill(-child_, SIGCONT);
    }
    const auto give_up = monotonic_clock::now() + HANGUP_GRACE;
    screen_.flush(give_up);
    terminal_.leave_raw_mode();
    if (child_ > 0) (void)wait_for_child(child_, give_up);
    child_ = -1;
    return status;
}

void relay::close_master() {
    // Closing the master hangs up the terminal, which also reaches jobs of a shell run in it.
    command_mode_.closed();
    master_.reset();
}

}  // namespace

bool run_relay(const std::vector<std::string>& command, stream_handler& handler, screen_writer& screen,
               command_input_queue& command_input, int* exit_status, std::string* err) {
    // Declared first so that it is undone last: the terminal is restored before a pending stop
    // signal can take its default action.
    relay_signals signals;
    user_terminal terminal;
    started_command started;
    if (!start_on_new_terminal(command, terminal.settings(), terminal.size(), &started, exit_status, err)) return false;
    relay session(handler, terminal, signals, screen, command_input, started);
    *exit_status = session.run();
    return true;
}

}  // namespace pushfile::receive
