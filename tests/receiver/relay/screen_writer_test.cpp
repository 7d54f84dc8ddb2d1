#include "receiver/relay/screen_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "receiver/relay/terminal_notification.h"
#include "tests/support/hang_guard.h"
#include "tests/support/pipe_pair.h"

namespace {

using namespace pushfile;
using namespace pushfile::receive;
using namespace pushfile_test;

}  // namespace

// The screen writer alone, on pipes in place of standard output and standard error.
namespace {

void append_text(byte_sink& sink, const std::string& text) { sink.append(bytes_of(text), text.size()); }

// Writes until the writer has nothing left, reading the pipes as a screen would.
void pump(screen_writer& writer, const pipe_pair& output, const pipe_pair* errors, std::string& shown,
          std::string& error_text) {
    for (int turns = 0; turns < 100000 && !writer.empty(); ++turns) {
        writer.write_ready();
        shown += output.drain();
        if (errors != nullptr) error_text += errors->drain();
        if (writer.waits_for() >= 0) writer.became_writable(writer.waits_for());
    }
    shown += output.drain();
    if (errors != nullptr) error_text += errors->drain();
}

}  // namespace

TEST(screen_writer, a_line_waits_for_the_output_queued_before_it) {
    // Standard error elsewhere: the line goes there, but only once the output ahead of it is out.
    pipe_pair output;
    pipe_pair errors;
    output.leave_room(0);
    screen_writer writer(output.write_end, errors.write_end);
    append_text(writer.command_output(), "before ");
    writer.print_line("saved");
    append_text(writer.command_output(), "after");
    writer.write_ready();
    EXPECT_EQ(errors.drain(), "") << "written while the output ahead of it waits";
    EXPECT_GE(writer.waits_for(), 0);
    output.drain();
    std::string shown;
    std::string error_text;
    pump(writer, output, &errors, shown, error_text);
    EXPECT_EQ(shown, "before after");
    EXPECT_EQ(error_text, "saved\n");

    // Standard error the same pipe: the line goes between, on a line of its own.
    pipe_pair both;
    screen_writer same(both.write_end, both.write_end);
    append_text(same.command_output(), "before ");
    same.print_line("saved");
    append_text(same.command_output(), "after");
    shown.clear();
    pump(same, both, nullptr, shown, error_text);
    EXPECT_EQ(shown, "before \nsaved\nafter");
}

TEST(screen_writer, lines_beyond_its_room_are_dropped_whole_and_counted) {
    pipe_pair both;
    both.leave_room(0);
    screen_writer writer(both.write_end, both.write_end);
    constexpr int lines = 2000;
    for (int i = 0; i < lines; ++i) {
        char line[100];
        std::snprintf(line, sizeof line, "%-99d", i);
        writer.print_line(line);
    }
    both.drain();
    std::string shown;
    std::string unused;
    pump(writer, both, nullptr, shown, unused);
    // Whole lines, in order, from the first on; then how many were left out.
    std::size_t whole = 0;
    while (shown.size() >= (whole + 1) * 100 && std::stoi(shown.substr(whole * 100, 99)) == static_cast<int>(whole)) {
        ++whole;
    }
    ASSERT_GT(whole, 0u);
    ASSERT_LT(whole, static_cast<std::size_t>(lines));
    const std::string note = "pushfile-receive: " + std::to_string(lines - static_cast<int>(whole)) +
                             " more messages came at once and were not shown\n";
    EXPECT_EQ(shown.substr(whole * 100), note);
}

// The writer on a raw terminal, as the user's, given the command's output ('o') and its own
// pieces: progress ('p'), the progress line's erase ('c'), a line ('l'); and 't': its clock moves
// on by that many milliseconds, and it ticks.
namespace {

monotonic_clock::time_point test_now{std::chrono::hours(1)};
monotonic_clock::time_point test_clock() { return test_now; }

std::string shown_on_a_terminal(const std::vector<std::pair<char, std::string>>& pieces,
                                notification_escape notifications = notification_escape::none) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    termios settings{};
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
    fcntl(master, F_SETFL, O_NONBLOCK);
    {
        screen_writer writer(slave, slave, notifications);
        writer.use_clock(test_clock);
        for (const auto& [kind, text] : pieces) {
            if (kind == 't') {
                test_now += std::chrono::milliseconds(std::stoi(text));
                writer.tick();
            }
            if (kind == 'o') append_text(writer.command_output(), text);
            if (kind == 'p') writer.show_progress(text);
            if (kind == 'c') writer.clear_progress();
            if (kind == 'l') writer.print_line(text);
        }
        writer.flush(std::chrono::steady_clock::now() + HANG_GUARD);
    }
    std::string shown;
    char buffer[4096];
    for (ssize_t got = 0; (got = read(master, buffer, sizeof buffer)) > 0;) shown.append(buffer, std::size_t(got));
    close(slave);
    close(master);
    return shown;
}

}  // namespace

TEST(screen_writer, the_receivers_lines_never_cover_the_commands_text) {
    // After output without a line end, and after output that came since a progress line, the
    // next line of ours starts below, as does output after a line of ours; an erase of a progress
    // line that is no longer last is dropped.
    const std::string shown = shown_on_a_terminal({{'o', "abc"},
                                                   {'p', "f 1%"},
                                                   {'p', "f 2%"},
                                                   {'o', "out"},
                                                   {'p', "f 3%"},
                                                   {'o', "more"},
                                                   {'c', ""},
                                                   {'l', "saved f"},
                                                   {'p', "g 1%"},
                                                   {'c', ""},
                                                   {'l', "saved g"},
                                                   {'o', "$ "}});
    EXPECT_EQ(shown,
              "abc\r\nf 1%\x1b[K\rf 2%\x1b[K\r\nout\r\nf 3%\x1b[K\r\nmore\r\nsaved f\r\n"
              "\rg 1%\x1b[K\r\x1b[Ksaved g\r\n$ ");
}

TEST(screen_writer, over_a_full_screen_program_only_the_title_changes_and_outcomes_wait_for_its_end) {
    const std::string save_title = "\x1b[22;0t";
    const std::string restore_title = "\x1b[23;0t";
    const struct {
        const char* what;
        std::vector<std::pair<char, std::string>> pieces;
        std::string shown;
    } steps[] = {
        {"1049, the switch to it split across writes",
         {{'o', "$ vim\r\n\x1b[?10"},
          {'o', "49h"},
          {'o', "text"},
          {'p', "f 50%"},
          {'l', "saved f"},
          {'o', "\x1b[?1049l"},
          {'o', "$ "}},
         "$ vim\r\n\x1b[?1049htext" + save_title + "\x1b]2;f 50%\x07\x1b]2;saved f\x07\x1b[?1049l" + restore_title +
             "saved f\r\n$ "},
        {"a progress line left on the normal screen is erased on coming back",
         {{'p', "f 1%"}, {'o', "\x1b[0m\x1b[?1049h\x1b[2J"}, {'c', ""}, {'l', "saved f"}, {'o', "\x1b[?1049l"}},
         "\rf 1%\x1b[K\x1b[0m\x1b[?1049h\x1b[2J" + save_title + "\x1b]2;saved f\x07\x1b[?1049l" + restore_title +
             "\r\x1b[Ksaved f\r\n"},
        {"47, and a full reset leaves it",
         {{'o', "\x1b[?47h"},
          {'l', "saved f"},
          {'o',
           "x\x1b"
           "c"}},
         "\x1b[?47h" + save_title +
             "\x1b]2;saved f\x07x\x1b"
             "c" +
             restore_title + "saved f\r\n"},
    };
    for (const auto& step : steps) EXPECT_EQ(shown_on_a_terminal(step.pieces), step.shown) << step.what;
}

TEST(screen_writer, over_a_full_screen_program_the_title_changes_seldom_and_an_outcome_stays_a_while) {
    // Unchanged progress is not written again, changed progress waits its turn, an outcome goes
    // at once and as a notification, and after a while the window's own title comes back.
    const std::string shown = shown_on_a_terminal({{'o', "\x1b[?1049h"},
                                                   {'p', "f 1%"},
                                                   {'t', "300"},
                                                   {'p', "f 1%"},
                                                   {'p', "f 2%"},
                                                   {'t', "100"},
                                                   {'p', "f 3%"},
                                                   {'o', "y"},
                                                   {'t', "200"},
                                                   {'c', ""},
                                                   {'l', "pushfile-receive: saved f"},
                                                   {'t', "9000"},
                                                   {'o', "x"},
                                                   {'t', "1100"},
                                                   {'o', "\x1b[?1049l"}},
                                                  notification_escape::osc777);
    EXPECT_EQ(shown,
              "\x1b[?1049h\x1b[22;0t\x1b]2;f 1%\x07\x1b]2;f 2%\x07y\x1b]2;f 3%\x07\x1b]2;pushfile-receive: saved f\x07"
              "\x1b]777;notify;pushfile-receive;saved f\x1b\\x\x1b[23;0t\x1b[?1049lpushfile-receive: saved f\r\n");
}

TEST(terminal_notification, only_terminals_known_to_show_them_get_one_and_its_text_cannot_end_it) {
    const struct {
        std::vector<std::pair<std::string, std::string>> environment;
        std::optional<bool> wanted;
        notification_escape escape;
    } cases[] = {
        {{{"TERM", "xterm-kitty"}}, std::nullopt, notification_escape::osc99},
        {{{"TERM", "xterm-256color"}, {"WT_SESSION", "4f1c"}}, std::nullopt, notification_escape::osc9},
        {{{"TERM", "xterm-256color"}, {"VTE_VERSION", "7600"}}, std::nullopt, notification_escape::osc777},
        {{{"TERM", "xterm-256color"}, {"VTE_VERSION", "3803"}}, std::nullopt, notification_escape::none},
        {{{"TERM", "linux"}, {"KITTY_WINDOW_ID", "1"}}, std::nullopt, notification_escape::none},
        {{{"TERM", "xterm-256color"}, {"TMUX", "/tmp/t,1,0"}, {"KITTY_WINDOW_ID", "1"}},
         std::nullopt,
         notification_escape::none},
        {{{"TERM", "xterm-256color"}}, std::nullopt, notification_escape::none},
        {{{"TERM", "xterm-256color"}}, true, notification_escape::osc777},
        {{{"TERM", "linux"}}, true, notification_escape::none},
        {{{"TERM", "foot"}}, false, notification_escape::none},
    };
    for (const auto& [environment, wanted, escape] : cases) {
        const auto lookup = [&environment](const char* name) -> const char* {
            for (const auto& [variable, value] : environment) {
                if (variable == name) return value.c_str();
            }
            return nullptr;
        };
        EXPECT_EQ(chosen_notification_escape(wanted, lookup), escape) << environment.back().first;
    }
    std::string escape;
    append_notification(escape, notification_escape::osc777, "a;b", "\x1b\\\x07\xc2\x9c\x9c\xc3\xa9");
    EXPECT_EQ(escape, "\x1b]777;notify;a,b;?\\???\xc3\xa9\x1b\\");
}

// The receiver's own lines keep their place among the command's output, on the user's terminal
// and wherever standard output and standard error go.
