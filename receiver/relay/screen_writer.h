// The one writer to the user's screen. The command's output and the receiver's own lines
// (progress, outcomes, questions) are queued in the order they came and written in that order,
// without ever blocking: a line goes out only once the output queued before it has.
//
// Being the one place that sees everything in order, it also knows where the cursor is left
// by the command's output, and draws the receiver's lines around that: each on a line of its
// own, a progress redraw only over the receiver's own line, and nothing over a full-screen
// program (one that took the alternate screen): there the window title shows them, and the
// outcome lines wait for the normal screen. The title is written only when its text changes, at
// most a few times a second; an outcome stays in it for a while, then the window's own title comes
// back. Where the terminal takes them, outcomes there are also desktop notifications. A line that
// must be seen there (a prompt) goes on the screen's last row, once the program's window keeps off it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/owned_fd.h"
#include "receiver/relay/byte_queue.h"
#include "receiver/relay/handler.h"
#include "receiver/relay/line_queue.h"
#include "receiver/relay/output_scanner.h"
#include "receiver/relay/terminal_notification.h"

namespace pushfile::receive {

// What one read may put on the screen: the read, plus what the handler held back before it, each
// grown up to MAX_OUTPUT_GROWTH times.
// The relay reads only while the output queue has this much room, so that the handler's output
// always fits; the room left after a read then still holds what the handler keeps back, for
// when it lets that go at the end.
inline constexpr std::size_t SCREEN_ROOM_FOR_READ = MAX_OUTPUT_GROWTH * (COMMAND_READ_SIZE + MAX_HELD_BYTES);
// The relay reads only while this much room is left for the receiver's own lines.
inline constexpr std::size_t MESSAGE_ROOM_FOR_READ = std::size_t{16} * 1024;

class screen_writer {
public:
    // Standard output gets the command's output. The receiver's lines go with it when standard
    // error is the same terminal or file, else to standard error, still in order.
    // notifications: the escape that makes an outcome line a desktop notification while the
    // lines go to the title, or none.
    explicit screen_writer(notification_escape notifications = notification_escape::none)
        : screen_writer(1, 2, notifications) {}
    // The same with other descriptors in place of standard output and standard error.
    screen_writer(int output_fd, int error_fd, notification_escape notifications = notification_escape::none);
    screen_writer(const screen_writer&) = delete;
    screen_writer& operator=(const screen_writer&) = delete;

    // The command's output, for the handler. Holds SCREEN_ROOM_FOR_READ and a read more.
    byte_sink& command_output() { return output_sink_; }

    // The receiver's own lines, given without line ends or terminal controls. Each is kept whole,
    // or dropped (and counted, and the count shown later) when too many come at once.
    // The progress text, drawn over the one before while that is still the last line and no
    // output came since; otherwise on a new line.
    void show_progress(std::string_view text);
    // Erases the progress line, if nothing came after it.
    void clear_progress();
    // A line of its own (an outcome, a notice).
    void print_line(std::string_view text);
    // A question left open for its answer, which finish_question() puts after it.
    void ask(std::string_view question);
    void finish_question(std::string_view answer);
    // A line on the screen's last row, over a full-screen program whose window was made a row
    // shorter for it: drawn there with the program's cursor saved, drawn again in place, the
    // cursor left at its end. It is drawn once the output queued so far is through its last
    // sequence (at the next write_ready()); output that comes meanwhile goes where the program
    // left its cursor, and the line is drawn again after it. Each drawing goes on the row that is
    // last at that moment.
    void show_on_last_row(std::string_view text);
    // Clears that row and puts the program's cursor back where it was.
    void clear_last_row();
    // The line on the last row waits for the rest of a sequence the output stopped inside: the
    // command's output is wanted even while the handler pauses it.
    bool last_row_waits_for_output() const {
        return last_row_ == last_row_state::waiting && scanner_.inside_sequence();
    }
    // Whether the receiver's lines go to the window title for now (a full-screen program runs).
    bool lines_in_title() const { return alternate_screen_; }
    // The command's output has ended: lines kept for the normal screen are shown now.
    void output_ended();
    // When tick() has something to do (a title held back by the rate limit, an outcome's time in
    // the title over), or time_point::max().
    monotonic_clock::time_point next_change() const;
    // Does what is due by now, and writes.
    void tick();
    // The clock the title's timing goes by (tests set their own).
    void use_clock(monotonic_clock::time_point (*clock)()) { clock_ = clock; }
    // The descriptor the receiver's text lands on (to ask whether it is a terminal, and its width).
    int messages_fd() const { return messages_fd_; }

    std::size_t output_room() const { return output_.free_space(); }
    std::size_t message_room() const { return lines_.free_space(); }
    bool empty() const { return output_.empty() && lines_.empty() && dropped_messages_ == 0; }

    // Writes what can go now, in order.
    void write_ready();
    // The descriptor whose room the next write waits for (poll it for POLLOUT), or -1.
    int waits_for() const;
    // poll() reported fd writable (or failed: the next write tells).
    void became_writable(int fd);
    // Standard output failed with this errno (0: it has not); its bytes are dropped from then on.
    int output_error() const { return out_.error; }
    // For the way out: writes what is queued, waiting for room until deadline at the latest.
    void flush(monotonic_clock::time_point deadline);

private:
    // A descriptor written without blocking: a private non-blocking descriptor of the same file
    // where one can be opened, else small writes after poll() said there is room.
    struct destination {
        int fd = -1;            // the one given, or own_fd
        owned_fd own_fd;        // opened here, closed with the destination
        bool use_send = false;  // a socket: send() with MSG_DONTWAIT
        bool careful = false;   // blocking descriptor: one write of at most a few KiB per POLLOUT
        bool ready = true;      // may be written now
        int error = 0;
        void open_for(int given_fd);
        // Bytes written, 0 when there is no room now, -1 on failure (error set).
        long write_some(const unsigned char* bytes, std::size_t length);
    };

    // The command's output comes in here, into the writer that owns it.
    class output_sink final : public byte_sink {
    public:
        explicit output_sink(screen_writer& owner) : owner_(owner) {}
        void append(const unsigned char* bytes, std::size_t length) override;

    private:
        screen_writer& owner_;
    };

    // What the current line of the screen holds of the receiver's.
    enum class own_line : std::uint8_t { none, progress, question };
    struct cursor_state {
        bool at_line_start = true;
        own_line line = own_line::none;
    };

    void take_output(const unsigned char* bytes, std::size_t length);
    void follow_and_queue_output(const unsigned char* bytes, std::size_t length);
    void draw_last_row_if_due();
    void queue_last_row(bool save_cursor);
    void screen_changed(output_scanner::change change);
    void back_to_normal_screen(cursor_state state);
    // Starts scratch_ with what puts the cursor at the start of a line of the receiver's own.
    void begin_own_line();
    // A terminal in raw mode does not return the cursor at a newline alone.
    std::string_view line_end() const { return messages_on_terminal_ ? "\r\n" : "\n"; }
    void queue_own_line(std::string_view text);
    // What goes to the title: progress waits for the rate limit; held text gives the window's
    // title back after a while.
    enum class title_content : std::uint8_t { progress, question, held };
    void show_in_title(std::string_view text, title_content content);
    void write_title(monotonic_clock::time_point now);
    void give_title_back();
    void notify(std::string_view text);
    void keep_for_normal_screen(std::string_view text);
    // Queues a line to go once the output queued so far has; false when it was dropped.
    bool queue_line(std::string_view text);
    bool queue_scratch() { return queue_line(scratch_); }
    bool line_due() const;
    destination& line_destination() { return lines_inline_ ? out_ : err_; }
    const destination& line_destination() const { return lines_inline_ ? out_ : err_; }
    bool write_front_line();
    bool write_output();
    void output_written(std::size_t length);

    destination out_;
    destination err_;
    bool lines_inline_ = false;
    int messages_fd_;
    bool messages_on_terminal_ = false;
    notification_escape notifications_;
    byte_buffer output_;
    // Each line is due once output_written_ reaches its number.
    line_queue lines_;
    std::uint64_t output_appended_ = 0;
    std::uint64_t output_written_ = 0;
    std::size_t front_line_written_ = 0;
    std::uint64_t dropped_messages_ = 0;
    output_sink output_sink_{*this};

    // Where the screen stands, as of the last byte queued (the order everything appears in).
    output_scanner scanner_;
    bool follow_output_ = false;            // the command's output and the receiver's lines share a screen
    bool follow_alternate_screen_ = false;  // ... and it is a terminal
    cursor_state cursor_;
    bool progress_shown_ = false;  // the progress display has not cleared its line
    bool alternate_screen_ = false;
    cursor_state normal_screen_cursor_;  // as it was on entering the alternate screen
    bool title_saved_ = false;           // the window's own title is saved: ours is shown
    std::string title_shown_;            // as written, made safe
    std::string title_next_;             // the same for the text to show
    bool title_waiting_ = false;         // title_next_ waits for the rate limit
    monotonic_clock::time_point title_written_at_ = monotonic_clock::time_point::min();
    monotonic_clock::time_point title_given_back_at_ = monotonic_clock::time_point::max();
    monotonic_clock::time_point (*clock_)() = &monotonic_clock::now;
    std::string last_question_;
    enum class last_row_state : std::uint8_t {
        none,
        waiting,  // to be drawn when the output is between sequences; the cursor is the program's
        drawn,    // the program's cursor is saved, ours is on the row
    };
    last_row_state last_row_ = last_row_state::none;
    bool last_row_touched_ = false;       // drawn since it was shown, perhaps covered by output since
    unsigned short last_row_number_ = 0;  // where it was last drawn
    std::string last_row_text_;
    // Outcome lines waiting for the normal screen; beyond its room they are counted.
    line_queue kept_lines_;
    std::uint64_t dropped_kept_lines_ = 0;
    std::string scratch_;
};

}  // namespace pushfile::receive
