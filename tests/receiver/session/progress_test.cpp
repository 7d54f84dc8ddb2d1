// The progress line: fitted to the terminal's width, drawn on a terminal directly or through the
// relay's screen writer.
#include "receiver/session/progress.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/protocol.h"
#include "common/text.h"
#include "receiver/relay/command_terminal.h"
#include "receiver/relay/screen_writer.h"

namespace {

using namespace pushfile;
using namespace pushfile::receive;
using pushfile::UNKNOWN_SIZE;

// The progress line never wraps: the name gives way in the middle first, whole characters,
// escapes and combining marks only, then the line is cut at its end.
// Everything written to a terminal's screen so far, read from its master side.
std::string drawn_so_far(int master) {
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string drawn;
    char chunk[4096];
    for (ssize_t got = 0; (got = read(master, chunk, sizeof chunk)) > 0;) {
        drawn.append(chunk, static_cast<std::size_t>(got));
    }
    return drawn;
}

TEST(progress_line, fits_the_columns_given) {
    struct fit_case {
        std::string name;  // display-escaped, as the progress display holds it
        std::string rest;
        std::size_t columns;
        std::string expected;
    };
    const std::string acute = "e\u0301";  // e and a combining accent: one column
    std::string accented;
    for (int i = 0; i < 13; ++i) accented += acute;
    const fit_case cases[] = {
        {"report.pdf", "  1.0 MiB", 80, "report.pdf  1.0 MiB"},
        {"report.pdf", "  1.0 MiB", 19, "report.pdf  1.0 MiB"},
        {"abcdefghijklmnopqrstuvwxyz", "  12%", 20, "abcdef...uvwxyz  12%"},
        // Wide characters take two columns; one that does not fit is left out whole.
        {"一二三四五六七八九十", "  12%", 17, "一二...九十  12%"},
        {acute + accented, "  12%", 15, acute + acute + acute + acute + "..." + acute + acute + acute + "  12%"},
        {"\\x9b\\x9b\\x9b\\x9b\\x9b", "  1%", 17, "\\x9b...\\x9b  1%"},
        // The text does not fit beside even a short name: the line is cut at its end.
        {"abcdefghijklmnop", "  12.0 MiB of 64.0 MiB  18%", 30, "abc...nop  12.0 MiB of 64.0 Mi"},
        {"ab一二三", "  5%", 5, "ab一"},
    };
    for (const fit_case& c : cases) {
        const std::string fitted = fit_to_columns(c.name, c.rest, c.columns);
        EXPECT_EQ(fitted, c.expected) << c.name << " in " << c.columns;
        EXPECT_LE(pushfile::display_columns(fitted), c.columns) << c.name;
    }

    // The progress line's figures are never cut: the time left goes first, then the rate, then
    // the total; the name's start and the percentage stay longest.
    constexpr std::uint64_t mib = 1 << 20;
    const struct {
        std::uint64_t total;
        std::size_t columns;
        std::string expected;
    } lines[] = {
        {64 * mib, 58, "abc...nop  12.0 MiB of 64.0 MiB  18%  1.0 MiB/s  0:52 left"},
        {64 * mib, 57, "abcdefghijklmnop  12.0 MiB of 64.0 MiB  18%  1.0 MiB/s"},
        {64 * mib, 45, "abcdefghijklmnop  12.0 MiB of 64.0 MiB  18%"},
        {64 * mib, 29, "abcdef...lmnop  12.0 MiB  18%"},  // a 30-column terminal
        {64 * mib, 12, "abcdefg  18%"},
        {UNKNOWN_SIZE, 29, "abcdefghijklmnop  12.0 MiB"},
        {8 * mib, 80, "abcdefghijklmnop  12.0 MiB of 8.0 MiB  grew +4.0 MiB  1.0 MiB/s"},
    };
    for (const auto& line : lines) {
        EXPECT_EQ(progress_line("abcdefghijklmnop", 12 * mib, line.total, 1.0 * mib, line.columns), line.expected)
            << line.columns << " columns";
    }
}

// Drawn on a terminal through the relay's screen writer, the line fits its width, and a new width
// from the next drawing on.
TEST(progress_line, drawing_follows_the_terminal_width) {
    int master = -1;
    int slave = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 40;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
    {
        screen_writer writer(slave, slave);
        progress_display progress(writer, false);
        progress.file_named(std::string(60, 'n') + ".bin");
        const monotonic_clock::time_point start = monotonic_clock::now();
        progress.file_started(1 << 20, start);  // nothing is drawn before data comes
        progress.file_advanced(1 << 18, start);
        size.ws_col = 30;
        ASSERT_EQ(ioctl(master, TIOCSWINSZ, &size), 0);
        progress.file_advanced(1 << 19, start + std::chrono::seconds(1));
        writer.flush(monotonic_clock::now() + std::chrono::seconds(30));
    }
    const std::string drawn = drawn_so_far(master);
    close(slave);
    close(master);

    std::vector<std::string> lines;
    for (std::size_t at = drawn.find('\r'); at != std::string::npos;) {
        const std::size_t next = drawn.find('\r', at + 1);
        std::string line = drawn.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        if (line.size() >= 3 && line.compare(line.size() - 3, 3, "\x1b[K") == 0) line.resize(line.size() - 3);
        if (!line.empty()) lines.push_back(line);
        at = next;
    }
    ASSERT_EQ(lines.size(), 2U) << drawn;
    // Off the last column, where a character leaves the cursor waiting to wrap.
    EXPECT_EQ(lines[0], "nnnnn....bin  256.0 KiB of 1.0 MiB  25%");
    EXPECT_EQ(lines[1], "nnnnn...n.bin  512.0 KiB  50%");
}

// Over a full-screen program the prompt takes the screen's last row, which the command's window
// gives up until the prompt ends, through a resize too; output that comes meanwhile goes where the
// program's cursor is, never split inside a sequence, and the prompt is drawn again after it.
TEST(progress_line, over_a_full_screen_program_the_prompt_takes_the_last_row) {
    int master = -1;
    int slave = -1;
    int command_master = -1;
    int command_slave = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
    ASSERT_EQ(openpty(&command_master, &command_slave, nullptr, nullptr, &size), 0);
    const auto command_rows = [&] {
        winsize now{};
        ioctl(command_slave, TIOCGWINSZ, &now);
        return now.ws_row;
    };
    const auto output = [](screen_writer& writer, const std::string& bytes) {
        writer.command_output().append(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        writer.write_ready();
    };
    {
        screen_writer writer(slave, slave);
        progress_display progress(writer, false);
        command_terminal_mode command(command_master);
        output(writer, "\x1b[?1049h");
        progress.question().begin(&command);
        progress.question().show("send: a");
        writer.write_ready();
        EXPECT_EQ(command_rows(), 23);
        size.ws_row = 30;
        ASSERT_EQ(ioctl(master, TIOCSWINSZ, &size), 0);
        command.window_changed(size);
        EXPECT_EQ(command_rows(), 29) << "the relay passed the new size on in full";
        output(writer, "\x1b[1;");
        EXPECT_TRUE(writer.last_row_waits_for_output());
        output(writer, "5Hx");
        progress.question().show("send: ab");
        progress.question().end("send: ab");
        EXPECT_EQ(command_rows(), 30);
        // --ask's question likewise, and a question left unanswered gives the row back too.
        progress.file_named("f");
        progress.ask_about_file(5, &command);
        writer.write_ready();
        EXPECT_EQ(command_rows(), 29) << "the question is on the last row";
        progress.answered("yes");
        EXPECT_EQ(command_rows(), 30);
        progress.ask_about_file(5, &command);
        writer.write_ready();
        progress.file_failed("no answer can come");
        EXPECT_EQ(command_rows(), 30);
        writer.flush(monotonic_clock::now() + std::chrono::seconds(30));
    }
    const std::string drawn = drawn_so_far(master);
    for (const int fd : {slave, master, command_slave, command_master}) close(fd);
    const std::string save = std::string("\x1b") + "7" + "\x1b[m\x1b(B";  // and plain letters
    const std::string restore = std::string("\x1b") + "8";
    const auto row = [](int number) { return "\x1b[" + std::to_string(number) + ";1H\x1b[2K"; };
    EXPECT_TRUE(drawn.starts_with("\x1b[?1049h" + save + row(24) + "send: a" + restore + "\x1b[1;5Hx" + save +
                                  row(30) + "send: a" + row(30) + "send: ab" + row(30) + restore +
                                  "\x1b[22;0t\x1b]2;send: ab\x07"))
        << drawn;
    EXPECT_NE(drawn.find(row(30) + "pushfile-receive: receive f (5 B)? y: save"), std::string::npos) << drawn;
    EXPECT_NE(drawn.find("\x1b]2;pushfile-receive: receive f (5 B)? y: save, n: skip, q: stop the sender \x07"),
              std::string::npos)
        << "the unanswered question's line, whole: " << drawn;
}

}  // namespace
