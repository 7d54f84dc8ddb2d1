// What the user sees of a transfer: a one-line progress display redrawn a few times a second, then
// one line saying where the file was saved or why it was not. Names come from outside and are
// always shown escaped.
#pragma once

#include <sys/ioctl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/human_size.h"
#include "receiver/program.h"
#include "receiver/session/question_line.h"

namespace pushfile::receive {

class command_terminal;
class screen_writer;

// The progress line without its terminal controls, e.g.
// "report.pdf  12.0 MiB of 64.0 MiB  18%  30.1 MiB/s  0:01 left". A total of UNKNOWN_SIZE leaves
// out what cannot be known. With columns other than 0 the line is fitted to that many columns:
// the name gives way down to a few columns, then the time left goes, then the rate, then the
// total; figures go whole, never cut.
std::string progress_line(std::string_view shown_name, std::uint64_t received, std::uint64_t total,
                          double bytes_per_second, std::size_t columns = 0);

// shown_name followed by rest in at most columns columns: the name is shortened in the middle
// first ("abc...xyz"), down to a few columns; if that is not enough the line is cut at its end.
// Never splits a UTF-8 character or an escape, and keeps combining marks with their base.
std::string fit_to_columns(std::string_view shown_name, std::string_view rest, std::size_t columns);

class progress_display {
public:
    // Gives each piece to screen (the relay's), which keeps it in order with the command's output
    // and draws it around that. When the screen's lines land on a terminal the line is redrawn in
    // place; otherwise only the outcome lines are written. quiet keeps only the failures.
    progress_display(screen_writer& screen, bool quiet);

    // A file was named; the outcome lines that follow are about it.
    void file_named(std::string_view sent_name);
    // Its data may begin: the progress line appears with the first of it. An upload that resumes
    // starts at from: the rate counts only what comes after it.
    void file_started(std::uint64_t total, monotonic_clock::time_point now, std::uint64_t from = 0);
    void file_advanced(std::uint64_t received, monotonic_clock::time_point now);
    // Redraws when enough time has passed since the last drawing.
    void tick(monotonic_clock::time_point now);
    // Whether a progress line is on the screen, to be redrawn by tick().
    bool line_shown() const { return line_drawn_; }
    void file_saved(std::string_view saved_path);
    // Whether a full-screen program holds the screen: the lines wait, and the command redraws its
    // screen at will, so what it writes says nothing about where a sender's run ends.
    bool full_screen_program() const;
    // A file saved without a line of its own (a summary tells of it later): its progress line goes.
    void file_done() { clear_line(); }
    void file_failed(std::string_view reason);
    // Nothing of the file came for quiet: the user is told how to end the wait.
    void file_stalled(std::chrono::seconds quiet);
    // A failure that concerns no file in progress (a stray or broken message).
    void notice(std::string_view text);
    // Asks whether to receive the named file; the answer comes from the keyboard.
    // Over a full-screen program the question takes the bottom row the command's terminal (null:
    // none) gives up until the answer.
    void ask_about_file(std::uint64_t total, command_terminal* terminal = nullptr);
    // Ends the question's line with the answer given ("yes", "skip", "no").
    void answered(std::string_view answer);
    // The user chose to skip the file: its data was dropped.
    void file_skipped();

    // The line that asks the user (the question above, the upload prompt): no progress line is
    // drawn over it.
    question_line& question() { return question_; }
    // A file going up: named, its progress as above (marked as going up), and its outcomes.
    void upload_file_named(std::string_view sent_name);
    // resumed_at: where its data started, pullfile holding the bytes before; 0 when sent whole.
    void file_sent_up(std::uint64_t size, std::string_view shown_folder, std::uint64_t resumed_at = 0);
    // pullfile held the file whole, the same already: nothing of it was sent.
    void file_skipped_identical();

private:
    void draw(monotonic_clock::time_point now);
    // The width of the terminal the progress goes to, or 0 when it cannot be known.
    std::size_t terminal_columns() const { return question_.terminal_size().ws_col; }
    void clear_line();

    screen_writer& screen_;
    bool quiet_;
    bool on_terminal_;
    bool line_drawn_ = false;
    bool going_up_ = false;  // the named file is uploaded
    question_line question_;
    std::string asked_;  // the --ask question on the last row, for the line that answers it
    std::string shown_name_;
    std::uint64_t total_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t started_from_ = 0;
    monotonic_clock::time_point started_{};
    monotonic_clock::time_point last_drawn_{};
};

}  // namespace pushfile::receive
