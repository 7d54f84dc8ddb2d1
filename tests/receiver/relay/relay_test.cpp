// The relay runs in a forked child of the test, with its standard input and output redirected,
// because it works on the process's own descriptors. The test plays the user's side.
#include "receiver/relay/relay.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "receiver/relay/byte_queue.h"
#include "receiver/relay/command_terminal.h"
#include "receiver/relay/screen_writer.h"
#include "tests/support/hang_guard.h"
#include "tests/support/pty_peer.h"
#include "tests/support/stream_builder.h"

using namespace pushfile;
using namespace pushfile::receive;
using std::chrono::milliseconds;

namespace {

using pushfile_test::HANG_GUARD;

// Only guards against hangs.

struct handler_setup {
    std::string trigger;  // each time it appears in the output, answer is sent to the command
    std::string answer;
    bool divert_keyboard = false;
    std::string keyboard_answer;
    bool hold_back = false;  // keep back the tail of every chunk, as a parser holds a prefix
    bool wants_ticks = false;
    bool release_on_tick = false;   // a tick lets go of what is held, as a parser does a stale prefix
    bool pause_on_trigger = false;  // output waits unread from the trigger to a key, marked "|KEY|"
    bool type_until_key = false;    // fills the command's input as it has room, until a key, marked "KEY"
    // When set, counts the turns of the relay's loop (it asks wants_ticks() in each); shared
    // memory, so that the test sees the count while the relay runs.
    std::atomic<long>* loop_turns = nullptr;
};

// What the child tells the test about the run; plain bytes through a pipe.
struct child_report {
    int exit_status;
    bool started;
    char error[256];
    int ended_calls;
    bool ended_reason_null;
    char ended_reason[64];
    int ticks;
    int answers;
    char keys[64];
    long hwm_before_kib;
    long hwm_after_kib;
};

class recording_handler final : public stream_handler {
public:
    recording_handler(const handler_setup& setup, child_report& report, byte_sink& screen, byte_sink& command_input)
        : setup_(setup), report_(report), screen_(screen), command_input_(command_input) {}

    void command_output(const unsigned char* bytes, std::size_t length) override {
        for (std::size_t i = 0; i < length && !setup_.trigger.empty(); ++i) {
            const char byte = static_cast<char>(bytes[i]);
            matched_ = byte == setup_.trigger[matched_] ? matched_ + 1 : (byte == setup_.trigger[0] ? 1 : 0);
            if (matched_ == setup_.trigger.size()) {
                matched_ = 0;
                ++report_.answers;
                paused_ = setup_.pause_on_trigger;
                command_input_.append(as_bytes(setup_.answer), setup_.answer.size());
            }
        }
        if (!setup_.hold_back) {
            screen_.append(bytes, length);
            return;
        }
        // Releases what was held and holds the new tail: up to MAX_HELD_BYTES more than given.
        screen_.append(held_.data(), held_length_);
        held_length_ = std::min(length, MAX_HELD_BYTES);
        screen_.append(bytes, length - held_length_);
        std::memcpy(held_.data(), bytes + length - held_length_, held_length_);
    }
    bool output_paused() const override { return paused_; }
    bool wants_keyboard() const override { return setup_.divert_keyboard; }
    void keyboard(const unsigned char* bytes, std::size_t length) override {
        if (paused_) screen_.append(as_bytes("|KEY|"), 5);
        if (setup_.type_until_key) screen_.append(as_bytes("KEY"), 3);
        paused_ = false;
        const std::size_t used = std::strlen(report_.keys);
        std::memcpy(report_.keys + used, bytes, std::min(length, sizeof report_.keys - used - 1));
        command_input_.append(as_bytes(setup_.keyboard_answer), setup_.keyboard_answer.size());
    }
    void keyboard_ended() override {}
    void command_input_room(std::size_t free) override {
        static const std::string filler(4096, 'x');
        for (; setup_.type_until_key && report_.keys[0] == '\0' && free >= filler.size(); free -= filler.size()) {
            command_input_.append(as_bytes(filler), filler.size());
        }
    }
    bool wants_ticks() const override {
        if (setup_.loop_turns != nullptr) ++*setup_.loop_turns;
        return setup_.wants_ticks;
    }
    void tick(monotonic_clock::time_point) override {
        ++report_.ticks;
        if (!setup_.release_on_tick) return;
        screen_.append(held_.data(), held_length_);
        held_length_ = 0;
    }
    void output_ended(const char* reason) override {
        ++report_.ended_calls;
        report_.ended_reason_null = reason == nullptr;
        if (reason != nullptr) std::snprintf(report_.ended_reason, sizeof report_.ended_reason, "%s", reason);
        screen_.append(held_.data(), held_length_);
    }

private:
    static const unsigned char* as_bytes(const std::string& text) {
        return reinterpret_cast<const unsigned char*>(text.data());
    }
    const handler_setup& setup_;
    child_report& report_;
    byte_sink& screen_;
    byte_sink& command_input_;
    std::size_t matched_ = 0;
    bool paused_ = false;
    std::array<unsigned char, MAX_HELD_BYTES> held_{};
    std::size_t held_length_ = 0;
};

long vm_hwm_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

enum class input_kind { nothing, pipe, terminal };

struct run_setup {
    std::vector<std::string> command;
    input_kind input = input_kind::nothing;
    handler_setup handler;
    std::function<void(termios&)> adjust_terminal;  // for input_kind::terminal
    winsize window{24, 80, 0, 0};
    int output_pipe_size = 0;  // when set, the relay's output pipe is shrunk to this
};

// One run_relay() in a forked child; the test holds the other ends of its input and output.
class relay_run {
public:
    explicit relay_run(const run_setup& setup) : setup_(setup) {
        int output[2];
        int report[2];
        int input[2] = {-1, -1};
        if (pipe2(output, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        if (setup.output_pipe_size > 0) fcntl(output[1], F_SETPIPE_SZ, setup.output_pipe_size);
        if (setup.input == input_kind::pipe && pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        if (setup.input == input_kind::terminal) {
            if (openpty(&input[1], &input[0], nullptr, nullptr, &setup.window) != 0) throw std::runtime_error("pty");
            tcgetattr(input[0], &terminal_before_);
            if (setup.adjust_terminal) setup.adjust_terminal(terminal_before_);
            tcsetattr(input[0], TCSANOW, &terminal_before_);
            tcgetattr(input[0], &terminal_before_);
        }
        pid_ = fork();
        if (pid_ == 0) run_child(input[0], output[1], report[1], {input[1], output[0], report[0]});
        close(output[1]);
        close(report[1]);
        output_fd_ = output[0];
        report_fd_ = report[0];
        user_fd_ = input[1];
        terminal_fd_ = setup.input == input_kind::terminal ? input[0] : -1;
        if (setup.input == input_kind::pipe) close(input[0]);
    }

    ~relay_run() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {output_fd_, report_fd_, user_fd_, terminal_fd_}) {
            if (fd >= 0) close(fd);
        }
    }

    // Reads output until it ends with marker, or until it has size bytes; false on end of
    // output or guard.
    bool read_until(const std::string& marker) {
        return read_while([&] { return !output_.ends_with(marker); }, 65536);
    }
    bool read_until_size(std::size_t size) {
        return read_while([&] { return output_.size() < size; }, 4096);
    }

    // Reads to the end; pause_every/pause make it a slow reader. consume, when set, replaces
    // keeping the output.
    void read_to_end(const std::function<void(const char*, std::size_t)>& consume = {}, std::size_t chunk = 65536,
                     std::size_t pause_every = 0, milliseconds pause = {}) {
        std::size_t since_pause = 0;
        while (read_some(chunk, consume)) {
            if (pause_every == 0 || (since_pause += chunk) < pause_every) continue;
            since_pause = 0;
            std::this_thread::sleep_for(pause);
        }
    }

    child_report finish() {
        read_to_end();
        child_report report{};
        const ssize_t got = read(report_fd_, &report, sizeof report);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        EXPECT_EQ(got, static_cast<ssize_t>(sizeof report)) << "the relay's process died";
        return report;
    }

    void send(const std::string& bytes) {
        ASSERT_EQ(write(user_fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    void close_input() {
        close(user_fd_);
        user_fd_ = -1;
    }
    termios terminal_now() const {
        termios now{};
        tcgetattr(terminal_fd_, &now);
        return now;
    }
    void resize(winsize size) const { ioctl(terminal_fd_, TIOCSWINSZ, &size); }

    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }
    const termios& terminal_before() const { return terminal_before_; }

private:
    [[noreturn]] void run_child(int input, int output, int report_fd, std::initializer_list<int> test_side) {
        // The relay must see the end of its input when the test closes its side.
        for (int fd : test_side) {
            if (fd >= 0) close(fd);
        }
        if (setup_.input == input_kind::terminal) {
            // The test's terminal becomes the relay's controlling one, so that resizing it
            // signals the relay as a real terminal would.
            setsid();
            ioctl(input, TIOCSCTTY, 0);
        } else if (setup_.input == input_kind::nothing) {
            input = open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        dup2(input, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        child_report report{};
        report.hwm_before_kib = vm_hwm_kib();
        screen_writer screen;
        command_input_queue command_input;
        recording_handler handler(setup_.handler, report, screen.command_output(), command_input);
        std::string error;
        report.started = run_relay(setup_.command, handler, screen, command_input, &report.exit_status, &error);
        report.hwm_after_kib = vm_hwm_kib();
        std::snprintf(report.error, sizeof report.error, "%s", error.c_str());
        const ssize_t ignored = write(report_fd, &report, sizeof report);
        (void)ignored;
        _exit(0);
    }

    bool read_while(const std::function<bool()>& more, std::size_t chunk) {
        while (more()) {
            if (!read_some(chunk)) return false;
        }
        return true;
    }

    bool read_some(std::size_t chunk, const std::function<void(const char*, std::size_t)>& consume = {}) {
        pollfd entry{output_fd_, POLLIN, 0};
        const int waited = poll(&entry, 1, static_cast<int>(milliseconds(HANG_GUARD).count()));
        EXPECT_GT(waited, 0) << "no output within the guard; so far: " << output_;
        if (waited <= 0) return false;
        char buffer[65536];
        const ssize_t got = read(output_fd_, buffer, std::min(chunk, sizeof buffer));
        if (got <= 0) return false;
        if (consume) {
            consume(buffer, static_cast<std::size_t>(got));
        } else {
            output_.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }

    run_setup setup_;
    pid_t pid_ = -1;
    int output_fd_ = -1;
    int report_fd_ = -1;
    int user_fd_ = -1;
    int terminal_fd_ = -1;
    termios terminal_before_{};
    std::string output_;
};

std::vector<std::string> shell(const std::string& script) { return {"sh", "-c", script}; }

bool is_raw(const termios& settings) {
    return (settings.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (settings.c_oflag & OPOST) == 0;
}

class temporary_directory {
public:
    temporary_directory() {
        char name[] = "/tmp/relay_test.XXXXXX";
        path_ = mkdtemp(name);
    }
    ~temporary_directory() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::string file_contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(relay_output, random_bytes_pass_unchanged_through_a_holding_handler) {
    temporary_directory directory;
    const std::string copy = directory.file("sent");
    run_setup setup;
    setup.command = shell("stty raw -echo; head -c 4194304 /dev/urandom | tee " + copy);
    setup.handler.hold_back = true;
    relay_run run(setup);
    // A reader stalled near the end leaves output queued in the relay when the command's output
    // ends: the handler's end must still come after it.
    ASSERT_TRUE(run.read_until_size(4194304 - 100000));
    std::this_thread::sleep_for(milliseconds(200));
    const child_report report = run.finish();
    EXPECT_EQ(report.exit_status, 0);
    EXPECT_EQ(report.ended_calls, 1);
    EXPECT_TRUE(report.ended_reason_null);
    const std::string sent = file_contents(copy);
    ASSERT_EQ(sent.size(), 4194304u);
    EXPECT_TRUE(run.output() == sent) << "output differs; got " << run.output().size() << " bytes";
}

TEST(relay_output, last_words_and_exit_status_of_a_command_survive_its_exit) {
    const std::string expected = std::string(20000, 'a') + "END";
    for (int attempt = 0; attempt < 50; ++attempt) {
        run_setup setup;
        setup.command = shell("head -c 20000 /dev/zero | tr '\\0' a; printf END; exit 3");
        relay_run run(setup);
        const child_report report = run.finish();
        ASSERT_EQ(report.exit_status, 3) << "run " << attempt;
        ASSERT_TRUE(run.output() == expected) << "run " << attempt << ": " << run.output().size() << " bytes";
    }
}

TEST(relay_output, output_still_in_the_terminal_when_the_command_ends_is_relayed) {
    temporary_directory directory;
    const std::string done = directory.file("done");
    // With a stalled reader, the small pipe and the relay's buffer take part of this and the
    // command's terminal the rest, which the relay must read after the command has gone.
    const std::string expected = std::string(80000, 'a') + "END";
    run_setup setup;
    setup.command =
        shell("stty raw -echo; head -c 80000 /dev/zero | tr '\\0' a; printf END; touch " + done + "; exit 3");
    setup.output_pipe_size = 4096;
    relay_run run(setup);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!std::filesystem::exists(done) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    // Longer than the relay waits for a quiet terminal once the command has ended.
    std::this_thread::sleep_for(milliseconds(500));
    const child_report report = run.finish();
    EXPECT_EQ(report.exit_status, 3);
    EXPECT_TRUE(run.output() == expected) << run.output().size() << " bytes";
}

// The command then waits for a line: the held bytes can reach the screen only through the tick.
TEST(relay_output, bytes_let_go_of_at_a_tick_reach_the_screen_while_the_command_is_quiet) {
    run_setup setup;
    setup.input = input_kind::pipe;
    setup.handler.hold_back = true;
    setup.handler.wants_ticks = true;
    setup.handler.release_on_tick = true;
    setup.command = shell("printf 'ready\\033'; read line");
    relay_run run(setup);
    EXPECT_TRUE(run.read_until("ready\x1b"));
    run.send("\n");
    EXPECT_EQ(run.finish().exit_status, 0);
}

TEST(relay_output, a_background_process_holding_the_terminal_does_not_keep_the_relay_running) {
    temporary_directory directory;
    const std::string pid_file = directory.file("pid");
    run_setup setup;
    // Ignoring SIGHUP, it outlives the hangup at the command's end and keeps the terminal open.
    setup.command = shell("trap '' HUP; sleep 60 & echo $! > " + pid_file + "; printf x; exit 4");
    relay_run run(setup);
    const child_report report = run.finish();
    EXPECT_EQ(report.exit_status, 4);
    EXPECT_EQ(run.output(), "x");
    kill(std::stoi(file_contents(pid_file)), SIGKILL);
}

TEST(relay_output, a_command_killed_by_a_signal_gives_128_plus_its_number) {
    for (const int signal_number : {SIGTERM, SIGKILL}) {
        run_setup setup;
        setup.command = shell("kill -" + std::to_string(signal_number) + " $$");
        relay_run run(setup);
        EXPECT_EQ(run.finish().exit_status, 128 + signal_number);
    }
}

// Answers the command never read, queued when it hangs up, are dropped: nothing can take them, and
// keeping them would leave its terminal always ready to be written (it is hung up) and never
// written, while the screen stalls.
TEST(relay_output, answers_queued_for_a_command_that_hung_up_are_dropped) {
    void* shared = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* turns = new (shared) std::atomic<long>(0);
    run_setup setup;
    // The command never reads; it writes more than the stalled screen takes, until it is killed.
    setup.command = shell("stty raw -echo; printf 'W%s.' $$; exec head -c 100000000 /dev/zero");
    setup.handler.trigger = "W";
    setup.handler.answer = std::string(60000, 'a');  // more than its terminal takes unread
    setup.handler.loop_turns = turns;
    setup.output_pipe_size = 4096;
    relay_run run(setup);
    while (run.output().find('.') == std::string::npos) ASSERT_TRUE(run.read_until_size(run.output().size() + 1));
    const pid_t command = std::stoi(run.output().substr(1));
    std::this_thread::sleep_for(milliseconds(300));  // the screen fills and stalls
    ASSERT_EQ(kill(command, SIGKILL), 0);
    std::this_thread::sleep_for(milliseconds(100));
    const long turns_before = turns->load();
    std::this_thread::sleep_for(milliseconds(300));
    const long idle_turns = turns->load() - turns_before;
    run.read_to_end([](const char*, std::size_t) {});
    EXPECT_EQ(run.finish().exit_status, 128 + SIGKILL);
    EXPECT_LT(idle_turns, 20) << "the relay kept waking while the screen was stalled";
    munmap(shared, sizeof(std::atomic<long>));
}

TEST(relay_output, slow_reader_gets_everything_while_memory_stays_bounded) {
    const std::string line = "abcdefghijklmnopqrstuvwxyz0123456789\n";
    constexpr std::size_t total = 50u << 20;
    run_setup setup;
    setup.command =
        shell("stty raw -echo; yes " + line.substr(0, line.size() - 1) + " | head -c " + std::to_string(total));
    relay_run run(setup);
    // Stalls first, so that an unbounded relay would pile up everything the command can write.
    std::this_thread::sleep_for(milliseconds(500));
    std::size_t seen = 0;
    std::size_t wrong = 0;
    run.read_to_end(
        [&](const char* bytes, std::size_t length) {
            for (std::size_t i = 0; i < length; ++i, ++seen) wrong += bytes[i] != line[seen % line.size()];
        },
        4096, 1u << 20, milliseconds(5));
    const child_report report = run.finish();
    EXPECT_EQ(seen, total);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(report.exit_status, 0);
    ASSERT_GT(report.hwm_before_kib, 0);
    const long growth = report.hwm_after_kib - report.hwm_before_kib;
    std::printf("peak memory growth while 50 MiB passed: %ld KiB\n", growth);
    EXPECT_LT(growth, 4096);
}

TEST(relay_input, piped_input_reaches_the_command_and_its_end_is_not_passed_on) {
    run_setup setup;
    // dd reads byte by byte, so nothing after the five bytes is swallowed. Nothing more may
    // come: no end-of-file byte, so timeout ends the last read (in the foreground: a background
    // reader of a terminal would only be stopped).
    setup.command = shell(
        "stty raw -echo; printf READY; dd bs=1 count=5 2>/dev/null; printf '|'; "
        "timeout --foreground 1 dd bs=1 count=1 2>/dev/null; printf '|%s' $?");
    setup.input = input_kind::pipe;
    relay_run run(setup);
    ASSERT_TRUE(run.read_until("READY"));
    run.send("hello");
    run.close_input();
    const child_report report = run.finish();
    EXPECT_EQ(run.output(), "READYhello||124");
    EXPECT_EQ(report.exit_status, 0);
    EXPECT_EQ(report.ticks, 0) << "ticked for a second with nothing to redraw";
}

TEST(relay_input, handler_answers_arrive_whole_and_in_order) {
    run_setup setup;
    // dd reads once: a two-byte answer split in two writes would show as one byte.
    setup.command = shell(
        "stty raw -echo; for i in 1 2 3 4 5 6 7 8 9 10; do printf WANT; "
        "dd bs=2 count=1 2>/dev/null; printf $i; done");
    setup.handler.trigger = "WANT";
    setup.handler.answer = "ok";
    relay_run run(setup);
    const child_report report = run.finish();
    std::string expected;
    for (int i = 1; i <= 10; ++i) expected += "WANTok" + std::to_string(i);
    EXPECT_EQ(run.output(), expected);
    EXPECT_EQ(report.answers, 10);
}

TEST(relay_input, keystrokes_go_to_the_handler_while_it_wants_them) {
    run_setup setup;
    setup.command = shell("stty raw -echo; printf READY; dd bs=2 count=1 2>/dev/null; printf .");
    setup.input = input_kind::pipe;
    setup.handler.divert_keyboard = true;
    setup.handler.keyboard_answer = "XY";
    relay_run run(setup);
    ASSERT_TRUE(run.read_until("READY"));
    run.send("abc");
    const child_report report = run.finish();
    EXPECT_EQ(run.output(), "READYXY.");
    EXPECT_STREQ(report.keys, "abc");
}

// A handler typing into a command that reads nothing (an upload to a pullfile that died) still gets
// the keys, which are how the user gives up.
TEST(relay_input, keystrokes_reach_the_handler_while_its_input_fills_the_queue) {
    run_setup setup;
    setup.command = shell("stty raw -echo; printf READY; sleep 2");
    setup.input = input_kind::pipe;
    setup.handler.divert_keyboard = true;
    setup.handler.type_until_key = true;
    relay_run run(setup);
    ASSERT_TRUE(run.read_until("READY"));
    run.send("k");
    EXPECT_TRUE(run.read_until("KEY")) << "the key waited for room in the command's input";
}

// A question on the screen (--ask) is not covered by what the command writes meanwhile.
TEST(relay_input, output_waits_unread_while_the_handler_pauses_it) {
    run_setup setup;
    setup.command = shell("stty raw -echo; printf ASK; sleep 0.3; printf later; dd bs=1 count=1 2>/dev/null");
    setup.input = input_kind::pipe;
    setup.handler.divert_keyboard = true;
    setup.handler.keyboard_answer = "Z";
    setup.handler.trigger = "ASK";
    setup.handler.pause_on_trigger = true;
    relay_run run(setup);
    ASSERT_TRUE(run.read_until("ASK"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the later output is due by now
    run.send("y");
    run.finish();
    EXPECT_EQ(run.output(), "ASK|KEY|laterZ");
}

TEST(relay_start, a_command_that_cannot_run_is_reported_and_leaves_the_terminal_alone) {
    temporary_directory directory;
    const std::string not_executable = directory.file("plain");
    std::ofstream(not_executable) << "echo hi\n";
    struct failing_case {
        std::string command;
        int status;
        std::string error;
    };
    const failing_case cases[] = {
        {"/nonexistent/pushfile-none", 127, "cannot run /nonexistent/pushfile-none: No such file or directory"},
        {"pushfile-no-such-command-\x1b[2J", 127, "cannot run pushfile-no-such-command-\\e[2J: No such file"},
        {not_executable, 126, "cannot run " + not_executable + ": Permission denied"},
    };
    for (const failing_case& item : cases) {
        run_setup setup;
        setup.command = {item.command};
        setup.input = input_kind::terminal;
        relay_run run(setup);
        const child_report report = run.finish();
        EXPECT_FALSE(report.started);
        EXPECT_EQ(report.exit_status, item.status);
        EXPECT_EQ(std::string(report.error).substr(0, item.error.size()), item.error);
        EXPECT_EQ(pushfile_test::settings_difference(run.terminal_now(), run.terminal_before()), "");
        EXPECT_EQ(run.output(), "");
    }
}

TEST(relay_terminal, settings_and_size_are_copied_raw_mode_is_set_and_then_undone) {
    run_setup setup;
    setup.input = input_kind::terminal;
    setup.window = {33, 101, 0, 0};
    setup.handler.wants_ticks = true;
    setup.adjust_terminal = [](termios& settings) { settings.c_cc[VINTR] = 2; };
    setup.command = shell(
        "stty size; stty -a | grep -o 'intr = ^B'; stty raw -echo; printf READY; "
        "dd bs=1 count=1 2>/dev/null; stty size; sleep 0.5");
    relay_run run(setup);
    ASSERT_TRUE(run.read_until("READY"));
    EXPECT_TRUE(is_raw(run.terminal_now()));
    // The resize signals the relay before the keystroke is sent, so the command sees it first.
    run.resize({40, 120, 0, 0});
    run.send("q");
    const child_report report = run.finish();
    EXPECT_EQ(run.output(), "33 101\r\nintr = ^B\r\nREADYq40 120\n");
    EXPECT_EQ(report.exit_status, 0);
    EXPECT_GE(report.ticks, 2) << "no progress ticks while the command slept";
    EXPECT_EQ(pushfile_test::settings_difference(run.terminal_now(), run.terminal_before()), "");
}

class relay_stop : public ::testing::TestWithParam<int> {};

TEST_P(relay_stop, a_stop_signal_hangs_up_the_command_and_restores_the_terminal) {
    const int signal_number = GetParam();
    temporary_directory directory;
    const std::string pid_file = directory.file("pid");
    run_setup setup;
    setup.input = input_kind::terminal;
    setup.command = shell("echo $$ > " + pid_file + "; stty raw -echo; printf READY; exec sleep 600");
    relay_run run(setup);
    ASSERT_TRUE(run.read_until("READY"));
    EXPECT_TRUE(is_raw(run.terminal_now()));
    kill(run.pid(), signal_number);
    const child_report report = run.finish();
    EXPECT_TRUE(report.started);
    EXPECT_EQ(report.exit_status, 128 + signal_number);
    EXPECT_EQ(report.ended_calls, 1);
    EXPECT_EQ(std::string(report.ended_reason), "interrupted by signal " + std::to_string(signal_number));
    EXPECT_EQ(pushfile_test::settings_difference(run.terminal_now(), run.terminal_before()), "");
    const pid_t command = std::stoi(file_contents(pid_file));
    EXPECT_NE(kill(command, 0), 0) << "the command outlived the relay";
    if (kill(command, 0) == 0) kill(command, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(signals, relay_stop, ::testing::Values(SIGTERM, SIGHUP, SIGINT));

namespace {

const std::string SAVED_LINE = "pushfile-receive: saved x";

// A command that shows "before", sends a small file, shows "after", all in one write.
std::vector<std::string> receiver_showing_a_transfer(const temporary_directory& directory, const std::string& before) {
    const std::string stream = before + pushfile_test::file_stream("x", "hello") + "after\n";
    std::ofstream(directory.file("s.bin"), std::ios::binary) << stream;
    return {
        RECEIVER_BINARY, "-d", directory.file("o"), "--", "sh", "-c", "stty raw -echo; cat " + directory.file("s.bin")};
}

[[noreturn]] void exec_words(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

std::string read_all(int fd) {
    std::string text;
    char buffer[65536];
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(milliseconds(HANG_GUARD).count())) <= 0) break;
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;  // a terminal's master gives EIO once no one holds the terminal
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

}  // namespace

TEST(relay_screen, the_receivers_lines_come_between_the_output_around_them) {
    enum class screen { terminal, one_pipe_for_both };
    for (const screen where : {screen::terminal, screen::one_pipe_for_both}) {
        temporary_directory directory;
        std::filesystem::create_directory(directory.file("o"));
        const std::vector<std::string> words = receiver_showing_a_transfer(directory, "before\n");
        int ours = -1;
        int theirs = -1;
        if (where == screen::terminal) {
            ASSERT_EQ(openpty(&ours, &theirs, nullptr, nullptr, nullptr), 0);
        } else {
            int ends[2];
            ASSERT_EQ(pipe(ends), 0);
            ours = ends[0];
            theirs = ends[1];
        }
        const pid_t child = fork();
        if (child == 0) {
            close(ours);
            if (where == screen::terminal) {
                setsid();
                ioctl(theirs, TIOCSCTTY, 0);
                dup2(theirs, STDIN_FILENO);
            } else {
                dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
            }
            dup2(theirs, STDOUT_FILENO);
            dup2(theirs, STDERR_FILENO);
            exec_words(words);
        }
        close(theirs);
        const std::string shown = read_all(ours);
        close(ours);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);
        const std::size_t before = shown.find("before\n");
        const std::size_t saved = shown.find(SAVED_LINE);
        const std::size_t after = shown.find("after\n");
        ASSERT_NE(saved, std::string::npos) << shown;
        EXPECT_LT(before, saved) << shown;
        EXPECT_LT(saved, after) << shown;
        EXPECT_NE(after, std::string::npos) << shown;
    }
}

TEST(relay_screen, a_line_on_standard_error_waits_for_the_output_before_it) {
    temporary_directory directory;
    std::filesystem::create_directory(directory.file("o"));
    // More than the output pipe holds, less than it and the receiver's queue together: the
    // transfer is read, its line waits.
    const std::string before(100 * 1024, 'b');
    const std::vector<std::string> words = receiver_showing_a_transfer(directory, before);
    int output[2];
    int errors[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(errors, O_CLOEXEC | O_NONBLOCK), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(errors[1], STDERR_FILENO);
        exec_words(words);
    }
    close(output[1]);
    close(errors[1]);
    // The file is saved long before the output ahead of its line has been read.
    const auto give_up = std::chrono::steady_clock::now() + HANG_GUARD;
    while (!std::filesystem::exists(directory.file("o/x")) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    std::this_thread::sleep_for(milliseconds(200));
    char early[4096];
    const ssize_t early_bytes = read(errors[0], early, sizeof early);
    EXPECT_LE(early_bytes, 0) << "shown before the output ahead of it: "
                              << std::string(early, static_cast<std::size_t>(std::max<ssize_t>(early_bytes, 0)));
    const std::string shown = read_all(output[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(shown == before + "after\n") << shown.size() << " bytes";
    const std::string error_text = read_all(errors[0]);
    EXPECT_NE(error_text.find(SAVED_LINE), std::string::npos) << error_text;
    close(output[0]);
    close(errors[0]);
}

namespace {

// A shell's line editor saves the mode it finds at a prompt, sets its own, and puts the saved one
// back around each command: a transfer's mode released meanwhile must come back once it shows
// again, or the shell keeps it (no echo, no line editing) for good.
TEST(command_terminal, a_mode_released_under_a_line_editor_comes_back_when_the_editor_puts_it_back) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios found{};
    ASSERT_EQ(tcgetattr(slave, &found), 0);
    ASSERT_NE(found.c_lflag & (ICANON | ECHO), 0U);
    command_terminal_mode mode(master);
    mode.hold_for_transfer();
    termios held{};
    ASSERT_EQ(tcgetattr(slave, &held), 0);
    EXPECT_EQ(held.c_lflag, found.c_lflag) << "the mode changed before any answer was written";
    mode.before_input_write();  // the hold comes into force with the answers written
    ASSERT_EQ(tcgetattr(slave, &held), 0);
    termios editor = held;
    editor.c_lflag &= ~static_cast<tcflag_t>(ISIG);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &editor), 0);
    mode.release_after_transfer();
    mode.after_input_write(true);
    termios now{};
    ASSERT_EQ(tcgetattr(slave, &now), 0);
    EXPECT_EQ(now.c_lflag, editor.c_lflag) << "the editor's own mode was overwritten";
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &held), 0);  // a command runs with the saved mode
    mode.after_input_write(true);
    ASSERT_EQ(tcgetattr(slave, &now), 0);
    EXPECT_EQ(now.c_lflag, found.c_lflag) << "the mode found before the transfer did not come back";
    mode.closed();
    close(master);
    close(slave);
}

}  // namespace
