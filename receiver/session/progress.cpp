#include "receiver/session/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "common/display.h"
#include "common/io.h"
#include "common/protocol.h"
#include "common/text.h"
#include "receiver/program.h"
#include "receiver/relay/handler.h"
#include "receiver/relay/screen_writer.h"

namespace pushfile::receive {
namespace {

constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(250);
// Marks an uploaded file's progress line apart from a download's.
constexpr std::string_view GOING_UP = "up: ";
constexpr std::size_t SHOWN_NAME_CAPACITY = 4 * 255 + 4;

std::string escaped(std::string_view text) { return escaped_for_display(text, SHOWN_NAME_CAPACITY); }

std::string duration_text(double seconds) {
    const auto whole = static_cast<unsigned long long>(std::llround(std::max(seconds, 0.0)));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    }
    return text;
}

constexpr std::string_view ELLIPSIS = "...";
// A name is not shortened below this: three columns at each end and the ellipsis.
constexpr std::size_t MIN_NAME_COLUMNS = 9;

}  // namespace

std::string fit_to_columns(std::string_view shown_name, std::string_view rest, std::size_t columns) {
    const std::size_t name_columns = display_columns(shown_name);
    const std::size_t rest_columns = display_columns(rest);
    std::string line;
    if (name_columns + rest_columns <= columns) {
        line.append(shown_name).append(rest);
        return line;
    }
    const std::size_t name_room =
        std::max(columns > rest_columns ? columns - rest_columns : 0, std::min(name_columns, MIN_NAME_COLUMNS));
    if (name_columns <= name_room) {
        line.append(shown_name);
    } else {
        // The end of a name (its extension, a number) tells files apart as much as its start.
        const std::size_t ends = name_room - ELLIPSIS.size();
        const std::size_t head = prefix_fitting_columns(shown_name, ends - ends / 2);
        const std::size_t tail = suffix_fitting_columns(shown_name, ends / 2);
        line.append(shown_name.substr(0, head)).append(ELLIPSIS).append(shown_name.substr(tail));
    }
    line.append(rest);
    line.resize(prefix_fitting_columns(line, columns));
    return line;
}

std::string progress_line(std::string_view shown_name, std::uint64_t received, std::uint64_t total,
                          double bytes_per_second, std::size_t columns) {
    const std::string received_text = "  " + human_size(received);
    std::string total_text;
    std::string percent_text;
    std::string rate_text;
    std::string left_text;
    const bool known = total != UNKNOWN_SIZE;
    if (known) {
        total_text = " of " + human_size(total);
        const double percent_exact =
            total == 0 ? 100.0 : static_cast<double>(received) * 100.0 / static_cast<double>(total);
        percent_text = received > total ? "  grew +" + human_size(received - total)
                                        : "  " + std::to_string(static_cast<unsigned>(percent_exact)) + "%";
    }
    if (bytes_per_second > 0) {
        rate_text = "  " + human_size(static_cast<std::uint64_t>(bytes_per_second)) + "/s";
        if (known && total >= received) {
            left_text = "  " + duration_text(static_cast<double>(total - received) / bytes_per_second) + " left";
        }
    }
    const std::string all = received_text + total_text + percent_text + rate_text + left_text;
    if (columns == 0) return std::string(shown_name) + all;
    // The least first: the time left, the rate, then the total (the percentage tells as much).
    const std::string choices[] = {
        all,
        received_text + total_text + percent_text + rate_text,
        received_text + total_text + percent_text,
        received_text + percent_text,
        known ? percent_text : received_text,
    };
    const std::size_t least_name = std::min(display_columns(shown_name), MIN_NAME_COLUMNS);
    for (const std::string& figures : choices) {
        if (least_name + display_columns(figures) <= columns) return fit_to_columns(shown_name, figures, columns);
    }
    // Narrower still: the start of the name and the last of the figures, else the name alone.
    const std::string& last = choices[std::size(choices) - 1];
    const std::size_t last_columns = display_columns(last);
    if (last_columns >= columns) return fit_to_columns(shown_name, "", columns);
    return std::string(shown_name.substr(0, prefix_fitting_columns(shown_name, columns - last_columns))) + last;
}

progress_display::progress_display(screen_writer& screen, bool quiet)
    : screen_(screen), quiet_(quiet), on_terminal_(isatty(screen.messages_fd()) == 1), question_(screen) {}

void progress_display::file_named(std::string_view sent_name) {
    going_up_ = false;
    shown_name_ = escaped(sent_name);
    total_ = 0;
    received_ = started_from_ = 0;
}

void progress_display::file_started(std::uint64_t total, monotonic_clock::time_point now, std::uint64_t from) {
    total_ = total;
    received_ = started_from_ = from;
    started_ = now;
}

// The line appears with the first data: a file that never sends any (output that only looked
// like a transfer) leaves no progress line behind, which the command's output would soon put
// out of reach of being erased.
void progress_display::file_advanced(std::uint64_t received, monotonic_clock::time_point now) {
    received_ = received;
    if (line_drawn_) {
        tick(now);
    } else if (!quiet_) {
        draw(now);
    }
}

void progress_display::tick(monotonic_clock::time_point now) {
    if (line_drawn_ && now - last_drawn_ >= REDRAW_INTERVAL) draw(now);
}

void progress_display::draw(monotonic_clock::time_point now) {
    // The prompt holds the line it is drawn on: nothing is drawn over it.
    if (!on_terminal_ || quiet_ || question_.holds_progress_row()) return;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double rate = seconds > 0.2 ? static_cast<double>(received_ - started_from_) / seconds : 0.0;
    // The line stays off the last column: a character written there leaves the cursor waiting to
    // wrap, and some terminals then erase it or wrap at once. A window title takes it whole.
    const std::size_t columns = screen_.lines_in_title() ? 0 : terminal_columns();
    const std::string line = progress_line(going_up_ ? std::string(GOING_UP) + shown_name_ : shown_name_, received_,
                                           total_, rate, columns == 0 ? 0 : std::max<std::size_t>(columns - 1, 1));
    line_drawn_ = true;
    last_drawn_ = now;
    screen_.show_progress(line);
}

bool progress_display::full_screen_program() const { return screen_.lines_in_title(); }

void progress_display::clear_line() {
    if (line_drawn_) screen_.clear_progress();
    line_drawn_ = false;
}

void progress_display::file_saved(std::string_view saved_path) {
    clear_line();
    if (quiet_) return;
    screen_.print_line(std::string(PROGRAM_NAME) + ": saved " + shown_name_ + " (" + human_size(received_) + ") as " +
                       escaped(saved_path));
}

void progress_display::file_failed(std::string_view reason) {
    // A question that went unanswered (the keyboard ended, the receiver stops) gives its row back.
    if (question_.on_last_row() && !asked_.empty()) {
        question_.end(asked_);
        asked_.clear();
    }
    clear_line();
    screen_.print_line(std::string(PROGRAM_NAME) + ": " + shown_name_ +
                       (going_up_ ? " not sent up: " : " not saved: ") + std::string(reason));
}

void progress_display::file_stalled(std::chrono::seconds quiet) {
    notice(shown_name_ + ": nothing has come from the sender for " + std::to_string(quiet.count()) +
           " s; Ctrl-C cancels the file, another key gives it up");
}

void progress_display::notice(std::string_view text) {
    clear_line();
    screen_.print_line(std::string(PROGRAM_NAME) + ": " + std::string(text));
}

void progress_display::ask_about_file(std::uint64_t total, command_terminal* terminal) {
    clear_line();
    const std::string size_text = total == UNKNOWN_SIZE ? "size unknown" : human_size(total);
    const std::string question = std::string(PROGRAM_NAME) + ": receive " + shown_name_ + " (" + size_text +
                                 ")? y: save, n: skip, q: stop the sender ";
    // Over a full-screen program the title alone would leave it unseen: it takes the bottom row.
    question_.begin(terminal);
    if (question_.on_last_row()) {
        asked_ = question;
        question_.show(question);
        return;
    }
    screen_.ask(question);
}

void progress_display::answered(std::string_view answer) {
    if (question_.on_last_row()) {
        question_.end(asked_ + std::string(answer));
        asked_.clear();
        return;
    }
    screen_.finish_question(answer);
}

void progress_display::file_skipped() {
    clear_line();
    if (quiet_) return;
    screen_.print_line(std::string(PROGRAM_NAME) + ": skipped " + shown_name_);
}

void progress_display::upload_file_named(std::string_view sent_name) {
    file_named(sent_name);
    going_up_ = true;
}

void progress_display::file_sent_up(std::uint64_t size, std::string_view shown_folder, std::uint64_t resumed_at) {
    clear_line();
    if (quiet_) return;
    const std::string resumed = resumed_at > 0 ? ", resumed at " + human_size(resumed_at) : std::string();
    screen_.print_line(std::string(PROGRAM_NAME) + ": sent " + shown_name_ + " (" + human_size(size) + resumed +
                       ") up to " + std::string(shown_folder));
}

void progress_display::file_skipped_identical() {
    clear_line();
    if (quiet_) return;
    screen_.print_line(std::string(PROGRAM_NAME) + ": " + shown_name_ + " skipped (identical)");
}

}  // namespace pushfile::receive
