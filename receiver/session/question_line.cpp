#include "receiver/session/question_line.h"

#include <unistd.h>

#include <algorithm>

#include "receiver/relay/handler.h"
#include "receiver/relay/screen_writer.h"

namespace pushfile::receive {

question_line::question_line(screen_writer& screen)
    : screen_(screen), on_terminal_(isatty(screen.messages_fd()) == 1) {}

void question_line::begin(command_terminal* terminal) {
    if (on_terminal_ && screen_.lines_in_title() && terminal != nullptr && terminal_size().ws_row >= 2 &&
        terminal->take_bottom_row()) {
        row_owner_ = terminal;
    }
}

void question_line::show(std::string_view line) {
    if (row_owner_ != nullptr) {
        screen_.show_on_last_row(line);
    } else if (on_terminal_) {
        screen_.show_progress(line);
    } else if (!printed_) {
        screen_.print_line(line);
    }
    printed_ = true;
}

void question_line::tell(std::string_view lines) {
    while (!lines.empty()) {
        const std::size_t end = lines.find('\n');
        screen_.print_line(lines.substr(0, end));
        lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
    }
}

void question_line::end(std::string_view line) {
    if (row_owner_ != nullptr) {
        // The program gets its row back after its cursor, and redraws its whole screen.
        screen_.clear_last_row();
        row_owner_->give_bottom_row_back();
        row_owner_ = nullptr;
    }
    screen_.print_line(line);
    printed_ = false;
}

std::size_t question_line::columns() const {
    if (row_owner_ == nullptr && screen_.lines_in_title()) return 0;
    const std::size_t columns = terminal_size().ws_col;
    return columns == 0 ? 0 : std::max<std::size_t>(columns - 1, 1);
}

// Asked at every drawing, so that a resized window is followed at once.
winsize question_line::terminal_size() const {
    winsize size{};
    if (ioctl(screen_.messages_fd(), TIOCGWINSZ, &size) != 0) return {};
    return size;
}

}  // namespace pushfile::receive
