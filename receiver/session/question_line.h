// A line that asks the user something (the --ask question, the upload prompt): redrawn in place
// at the bottom of what the screen shows, or, over a full-screen program whose lines go to the
// window title out of sight, on the screen's last row, which the command's terminal gives up
// while the line is up. Not on a terminal, it is printed once.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>
#include <string_view>

namespace pushfile::receive {

class command_terminal;
class screen_writer;

class question_line {
public:
    explicit question_line(screen_writer& screen);

    // terminal (null: none) gives up its last row for the line over a full-screen program.
    void begin(command_terminal* terminal);
    // The line as it is now (fitted to columns(), the cursor at its end), redrawn in place.
    void show(std::string_view line);
    // Lines above it (a Tab's listing, what is wrong with what was typed), one per '\n'.
    void tell(std::string_view lines);
    // A line of its own drawn over the question's leaves the question's text where it was;
    // elsewhere the line tells what was chosen.
    void end(std::string_view line);
    // The columns a line may take where it is drawn, 0 when not known.
    std::size_t columns() const;
    // On the screen in place of a progress line, which must not be drawn over it.
    bool holds_progress_row() const { return printed_ && row_owner_ == nullptr; }
    // Drawn on the last row that a full-screen program's terminal gave up.
    bool on_last_row() const { return row_owner_ != nullptr; }

    // The size of the terminal the lines go to; 0 rows and columns when it cannot be known.
    winsize terminal_size() const;

private:
    screen_writer& screen_;
    bool on_terminal_;
    bool printed_ = false;  // not on a terminal: the line is printed once
    command_terminal* row_owner_ = nullptr;
};

}  // namespace pushfile::receive
