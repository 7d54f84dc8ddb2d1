#include "receiver/relay/screen_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "common/io.h"
#include "receiver/relay/run_status.h"

namespace pushfile::receive {
namespace {

constexpr std::size_t OUTPUT_CAPACITY = SCREEN_ROOM_FOR_READ + COMMAND_READ_SIZE;
constexpr std::size_t LINES_CAPACITY = std::size_t{64} * 1024;
// After POLLOUT, a pipe or terminal takes a write this small without blocking.
constexpr std::size_t CAREFUL_WRITE_LIMIT = 4096;
// Outcome lines kept while a full-screen program runs; all of them fit in the room the relay
// keeps for the receiver's lines before each read, where they are let go.
constexpr std::size_t KEPT_LINES_CAPACITY = std::size_t{8} * 1024;
static_assert(KEPT_LINES_CAPACITY < MESSAGE_ROOM_FOR_READ);

constexpr std::string_view ERASE_TO_LINE_END = "\x1b[K";
// DECSC and DECRC: the cursor's place, its colours and character set, as the program had them.
constexpr std::string_view SAVE_CURSOR =
    "\x1b"
    "7";
constexpr std::string_view RESTORE_CURSOR =
    "\x1b"
    "8";
// Our line in plain letters, whatever colours or line-drawing set the program left on.
constexpr std::string_view PLAIN_TEXT = "\x1b[m\x1b(B";
// xterm's title stack: saves and restores the window title (and icon name) around ours.
constexpr std::string_view SAVE_TITLE = "\x1b[22;0t";
constexpr std::string_view RESTORE_TITLE = "\x1b[23;0t";
// Progress changes the title at most this often: some terminals redraw their tab bar for it.
constexpr auto TITLE_INTERVAL = std::chrono::milliseconds(250);
// How long an outcome stays in the title before the window's own title comes back: a multiplexer
// may keep the alternate screen for days.
constexpr auto TITLE_HOLD = std::chrono::seconds(10);

bool same_file(int first, int second) {
    struct stat a {};
    struct stat b {};
    return fstat(first, &a) == 0 && fstat(second, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
           a.st_rdev == b.st_rdev;
}

}  // namespace

void screen_writer::destination::open_for(int given_fd) {
    fd = given_fd;
    struct stat status {};
    if (fstat(given_fd, &status) != 0 || S_ISREG(status.st_mode)) return;  // files take every write
    if (S_ISSOCK(status.st_mode)) {
        use_send = true;
        return;
    }
    const int flags = fcntl(given_fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) return;
    // Setting O_NONBLOCK on the descriptor itself would reach the shell that shares it; a
    // descriptor of our own for the same terminal or pipe keeps it to us.
    own_fd.reset(
        move_above_standard(open(path_of_descriptor(given_fd).text, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)));
    if (!own_fd.valid()) {
        careful = true;
        ready = false;
        return;
    }
    fd = own_fd.get();
}

long screen_writer::destination::write_some(const unsigned char* bytes, std::size_t length) {
    if (careful) {
        length = std::min(length, CAREFUL_WRITE_LIMIT);
        ready = false;
    }
    const ssize_t written = use_send ? send(fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL) : write(fd, bytes, length);
    if (written > 0) {
        if (static_cast<std::size_t>(written) < length) ready = false;
        return written;
    }
    if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (errno == EAGAIN) ready = false;
        return 0;
    }
    error = written == 0 ? EIO : errno;
    return -1;
}

screen_writer::screen_writer(int output_fd, int error_fd, notification_escape notifications)
    : messages_fd_(error_fd),
      notifications_(notifications),
      output_(OUTPUT_CAPACITY),
      lines_(LINES_CAPACITY),
      kept_lines_(KEPT_LINES_CAPACITY) {
    out_.open_for(output_fd);
    lines_inline_ = same_file(output_fd, error_fd);
    if (!lines_inline_) err_.open_for(error_fd);
    messages_on_terminal_ = isatty(error_fd) == 1;
    // Lines that go elsewhere than the command's output only ever follow each other.
    follow_output_ = lines_inline_;
    follow_alternate_screen_ = lines_inline_ && messages_on_terminal_;
    scratch_.reserve(1024);
    title_shown_.reserve(256);
    title_next_.reserve(256);
}

void screen_writer::output_sink::append(const unsigned char* bytes, std::size_t length) {
    owner_.take_output(bytes, length);
}

bool screen_writer::queue_line(std::string_view text) {
    if (lines_.push(output_appended_, text)) return true;
    ++dropped_messages_;
    return false;
}

void screen_writer::take_output(const unsigned char* bytes, std::size_t length) {
    // Output while a line is on the last row goes where the program's cursor is; the line is
    // drawn again after it (draw_last_row_if_due()), over whatever the output put there.
    if (last_row_ == last_row_state::drawn && length > 0 && queue_line(RESTORE_CURSOR)) {
        last_row_ = last_row_state::waiting;
    }
    follow_and_queue_output(bytes, length);
}

// What the command writes, in order with the receiver's lines, and where it leaves the screen.
void screen_writer::follow_and_queue_output(const unsigned char* bytes, std::size_t length) {
    // The relay reads only while a read's worth of room is left, so everything fits.
    if (!follow_output_) {
        output_appended_ += output_.append(bytes, length);
        return;
    }
    while (length > 0) {
        const output_scanner::result scanned = scanner_.scan(bytes, length);
        const bool moved = scanned.last_text != output_scanner::NO_TEXT && !alternate_screen_;
        if (moved && cursor_.line != own_line::none) {
            // Text would run on after a line of ours (a progress line, a question): it starts below.
            const std::string_view end = line_end();
            output_appended_ += output_.append(reinterpret_cast<const unsigned char*>(end.data()), end.size());
        }
        output_appended_ += output_.append(bytes, scanned.scanned);
        if (moved) {
            cursor_.at_line_start = scanned.last_text == '\n';
            cursor_.line = own_line::none;
        }
        if (scanned.found != output_scanner::change::none) screen_changed(scanned.found);
        bytes += scanned.scanned;
        length -= scanned.scanned;
    }
}

void screen_writer::screen_changed(output_scanner::change change) {
    using enum output_scanner::change;
    if (!follow_alternate_screen_) return;
    if (change == enter_alternate) {
        if (!alternate_screen_) normal_screen_cursor_ = cursor_;
        alternate_screen_ = true;
        return;
    }
    // Without the cursor put back (47, 1047), it is somewhere on the normal screen's text.
    cursor_state back{false, own_line::none};
    if (change == leave_restoring_cursor) back = normal_screen_cursor_;
    if (change == reset) back = {true, own_line::none};
    back_to_normal_screen(back);
    if (change == reset) cursor_ = back;
}

void screen_writer::back_to_normal_screen(cursor_state state) {
    if (!alternate_screen_) return;
    alternate_screen_ = false;
    cursor_ = state;
    give_title_back();
    if (cursor_.line == own_line::progress && !progress_shown_) clear_progress();
    for (; !kept_lines_.empty(); kept_lines_.pop()) queue_own_line(kept_lines_.front().text);
    if (dropped_kept_lines_ > 0) {
        queue_own_line(std::string(PROGRAM_NAME) + ": " + std::to_string(dropped_kept_lines_) +
                       " more messages came during the full-screen program and were not shown");
        dropped_kept_lines_ = 0;
    }
}

void screen_writer::output_ended() {
    // The command is gone, perhaps without leaving the alternate screen: what was kept goes
    // wherever the next output would.
    back_to_normal_screen({false, own_line::none});
}

void screen_writer::begin_own_line() {
    scratch_.clear();
    if (cursor_.line == own_line::progress) {
        scratch_ += '\r';
    } else if (!cursor_.at_line_start) {
        scratch_ += line_end();
    }
}

void screen_writer::queue_own_line(std::string_view text) {
    begin_own_line();
    const bool over_progress = cursor_.line == own_line::progress;
    scratch_.append(text);
    if (over_progress) scratch_.append(ERASE_TO_LINE_END);
    scratch_.append(line_end());
    if (queue_scratch()) cursor_ = {true, own_line::none};
}

void screen_writer::show_in_title(std::string_view text, title_content content) {
    const monotonic_clock::time_point now = clock_();
    title_given_back_at_ = content == title_content::held ? now + TITLE_HOLD : monotonic_clock::time_point::max();
    title_next_.clear();
    // A control byte would end the title early or be taken as one.
    append_escape_string_text(title_next_, text);
    title_waiting_ = !title_saved_ || title_next_ != title_shown_;
    // Only progress waits: an outcome or a question is shown at once, whatever came just before.
    if (title_waiting_ && (content != title_content::progress || now >= title_written_at_ + TITLE_INTERVAL)) {
        write_title(now);
    }
}

void screen_writer::write_title(monotonic_clock::time_point now) {
    title_waiting_ = false;
    scratch_.clear();
    if (!title_saved_) scratch_.append(SAVE_TITLE);
    scratch_.append("\x1b]2;");
    scratch_.append(title_next_);
    scratch_ += '\x07';
    if (!queue_scratch()) return;
    title_saved_ = true;
    title_shown_ = title_next_;
    title_written_at_ = now;
}

void screen_writer::give_title_back() {
    title_waiting_ = false;
    title_given_back_at_ = monotonic_clock::time_point::max();
    title_shown_.clear();
    if (title_saved_ && queue_line(RESTORE_TITLE)) title_saved_ = false;
}

void screen_writer::notify(std::string_view text) {
    if (notifications_ == notification_escape::none) return;
    // The notification's title names the program already.
    const std::string_view name = PROGRAM_NAME;
    if (text.starts_with(name) && text.substr(name.size()).starts_with(": ")) text.remove_prefix(name.size() + 2);
    scratch_.clear();
    append_notification(scratch_, notifications_, name, text);
    queue_scratch();
}

monotonic_clock::time_point screen_writer::next_change() const {
    if (!alternate_screen_) return monotonic_clock::time_point::max();
    return title_waiting_ ? title_written_at_ + TITLE_INTERVAL : title_given_back_at_;
}

void screen_writer::tick() {
    const monotonic_clock::time_point now = clock_();
    if (alternate_screen_ && now >= next_change()) {
        if (title_waiting_) {
            write_title(now);
        } else {
            give_title_back();
        }
    }
    write_ready();
}

void screen_writer::keep_for_normal_screen(std::string_view text) {
    if (!kept_lines_.push(0, text)) ++dropped_kept_lines_;
}

void screen_writer::show_progress(std::string_view text) {
    progress_shown_ = true;
    if (alternate_screen_) return show_in_title(text, title_content::progress);
    begin_own_line();
    if (scratch_.empty()) scratch_ += '\r';
    scratch_.append(text);
    scratch_.append(ERASE_TO_LINE_END);
    if (queue_scratch()) cursor_ = {false, own_line::progress};
}

void screen_writer::clear_progress() {
    progress_shown_ = false;
    // Once anything came after it, the line is no longer ours to erase.
    if (alternate_screen_ || cursor_.line != own_line::progress) return;
    scratch_.clear();
    scratch_ += '\r';
    scratch_.append(ERASE_TO_LINE_END);
    if (queue_scratch()) cursor_ = {true, own_line::none};
}

void screen_writer::print_line(std::string_view text) {
    progress_shown_ = false;
    if (alternate_screen_) {
        // The line itself cannot be seen until the program ends, which may be days away.
        show_in_title(text, title_content::held);
        notify(text);
        keep_for_normal_screen(text);
        return;
    }
    queue_own_line(text);
}

void screen_writer::ask(std::string_view question) {
    progress_shown_ = false;
    if (alternate_screen_) {
        last_question_.assign(question);
        return show_in_title(question, title_content::question);
    }
    begin_own_line();
    scratch_.append(question);
    if (queue_scratch()) cursor_ = {false, own_line::question};
}

void screen_writer::finish_question(std::string_view answer) {
    if (alternate_screen_) {
        last_question_.append(answer);
        show_in_title(last_question_, title_content::held);
        last_question_.clear();
        return;
    }
    if (cursor_.line != own_line::question) return queue_own_line(answer);
    scratch_.assign(answer);
    scratch_.append(line_end());
    if (queue_scratch()) cursor_ = {true, own_line::none};
}

// The handler passes a read on in pieces, and one may end inside a sequence: the line is drawn
// only once everything queued is through, between sequences.
void screen_writer::show_on_last_row(std::string_view text) {
    last_row_text_.assign(text);
    if (last_row_ == last_row_state::drawn) {
        queue_last_row(false);
    } else {
        last_row_ = last_row_state::waiting;
    }
}

void screen_writer::draw_last_row_if_due() {
    if (last_row_ != last_row_state::waiting || scanner_.inside_sequence()) return;
    queue_last_row(true);
}

void screen_writer::queue_last_row(bool save_cursor) {
    winsize size{};
    if (ioctl(messages_fd_, TIOCGWINSZ, &size) != 0 || size.ws_row == 0) return;
    scratch_.clear();
    if (save_cursor) scratch_.append(SAVE_CURSOR).append(PLAIN_TEXT);
    scratch_.append("\x1b[").append(std::to_string(size.ws_row)).append(";1H\x1b[2K");
    scratch_.append(last_row_text_);
    if (!queue_scratch()) return;
    last_row_ = last_row_state::drawn;
    last_row_touched_ = true;
    last_row_number_ = size.ws_row;
}

void screen_writer::clear_last_row() {
    const last_row_state state = last_row_;
    last_row_ = last_row_state::none;
    if (!last_row_touched_) return;
    last_row_touched_ = false;
    scratch_.clear();
    if (state == last_row_state::waiting) {
        // Output came after the line: its remains are cleared around the program's cursor, unless
        // that would split a sequence (the program redraws its screen soon anyway).
        if (scanner_.inside_sequence()) return;
        scratch_.append(SAVE_CURSOR);
    }
    scratch_.append("\x1b[").append(std::to_string(last_row_number_)).append(";1H\x1b[2K");
    scratch_.append(RESTORE_CURSOR);
    queue_scratch();
}

bool screen_writer::line_due() const { return !lines_.empty() && lines_.front().due <= output_written_; }

void screen_writer::output_written(std::size_t length) {
    output_.consume(length);
    output_written_ += length;
}

// Each returns whether it wrote all it had to, so that the next step may go on.
bool screen_writer::write_front_line() {
    destination& target = line_destination();
    if (target.error == 0) {
        if (!target.ready) return false;
        const std::string_view text = lines_.front().text;
        const long written =
            target.write_some(reinterpret_cast<const unsigned char*>(text.data()) + front_line_written_,
                              text.size() - front_line_written_);
        if (written >= 0) {
            front_line_written_ += static_cast<std::size_t>(written);
            if (front_line_written_ < text.size()) return false;
        }
    }
    // Written, or the descriptor failed: nothing else can be done with this line.
    lines_.pop();
    front_line_written_ = 0;
    return true;
}

bool screen_writer::write_output() {
    if (out_.error != 0) {
        output_written(output_.size());
        return true;
    }
    if (!out_.ready) return false;
    std::size_t length = output_.size();
    if (!lines_.empty()) {
        // Output before the next line, at most what is queued: it fits a size_t.
        length = static_cast<std::size_t>(std::min<std::uint64_t>(length, lines_.front().due - output_written_));
    }
    const long written = out_.write_some(output_.data(), length);
    if (written > 0) output_written(static_cast<std::size_t>(written));
    if (written < 0) output_written(output_.size());
    return written < 0 || static_cast<std::size_t>(written) == length;
}

void screen_writer::write_ready() {
    draw_last_row_if_due();
    for (;;) {
        if (line_due()) {
            if (!write_front_line()) return;
        } else if (!output_.empty()) {
            if (!write_output()) return;
        } else if (dropped_messages_ > 0 && lines_.empty()) {
            const std::uint64_t dropped = dropped_messages_;
            dropped_messages_ = 0;
            if (alternate_screen_) {
                dropped_kept_lines_ += dropped;
            } else {
                print_line(std::string(PROGRAM_NAME) + ": " + std::to_string(dropped) +
                           " more messages came at once and were not shown");
            }
        } else {
            return;
        }
    }
}

int screen_writer::waits_for() const {
    if (line_due()) {
        const destination& target = line_destination();
        return target.error == 0 && !target.ready ? target.fd : -1;
    }
    if (!output_.empty() && out_.error == 0 && !out_.ready) return out_.fd;
    return -1;
}

void screen_writer::became_writable(int fd) {
    if (fd == out_.fd) out_.ready = true;
    if (fd == err_.fd) err_.ready = true;
}

void screen_writer::flush(monotonic_clock::time_point deadline) {
    for (;;) {
        write_ready();
        const int fd = waits_for();
        if (fd < 0) return;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - monotonic_clock::now());
        if (left.count() <= 0) return;
        pollfd entry{fd, POLLOUT, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) return;
        became_writable(fd);
    }
}

}  // namespace pushfile::receive
