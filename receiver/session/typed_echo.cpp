#include "receiver/session/typed_echo.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace pushfile::receive {
namespace {

constexpr unsigned char ESCAPE = 0x1b;

// The bytes every frame is made of: base64, digits, the frames' punctuation, and the UTF-8 of
// dense characters.
bool frame_byte(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
           (byte != 0 && std::strchr("+/=,;#.", byte) != nullptr) || (byte >= 0x80 && byte <= 0xBF) ||
           (byte >= 0xE4 && byte <= 0xE8);
}

// What a line editor (or the terminal's echo, with a line kill that erases) writes over the rows
// of a line it takes back: carriage returns, line feeds, backspaces, spaces and bells.
bool redraw_byte(unsigned char byte) {
    return byte == '\r' || byte == '\n' || byte == '\b' || byte == '\a' || byte == ' ';
}

// The last byte of a control sequence that moves the cursor or erases: up, down, forward, back,
// to a column, erase in the display or the line, delete characters.
bool redraw_final(unsigned char byte) { return byte != 0 && std::strchr("ABCDGJKP", byte) != nullptr; }

// The largest redraw after echo: a line kill that erases each character takes three bytes for it.
constexpr std::uint64_t REDRAW_PER_ECHO_BYTE = 3;
constexpr std::uint64_t REDRAW_SLACK = 256;

}  // namespace

void echo_filter::expect(std::uint64_t typed, std::uint64_t first_sequence, std::uint64_t last_sequence) {
    const std::uint64_t budget = typed * ECHO_REDRAWS_PER_BYTE;
    if (state_ == state::off) {
        state_ = state::waiting;
        budget_ = budget;
        first_sequence_ = first_sequence;
        last_sequence_ = last_sequence;
        echo_dropped_ = redraw_dropped_ = 0;
        deadline_set_ = false;
        after_keys_ = false;
        return;
    }
    budget_ = std::max(budget_, echo_dropped_ + budget);
    first_sequence_ = std::min(first_sequence_, first_sequence);
    last_sequence_ = std::max(last_sequence_, last_sequence);
}

void echo_filter::end_by(monotonic_clock::time_point now) {
    if (state_ == state::off) return;
    deadline_set_ = true;
    deadline_ = now + ECHO_WAIT;
}

bool echo_filter::passes(unsigned char byte) {
    if (state_ == state::off) return true;
    if (state_ != state::waiting || held_length_ > 0) return false;
    if (passing_escape_ == 1) {
        passing_escape_ = byte == '[' ? 2 : 0;
        return true;
    }
    if (passing_escape_ == 2) {
        if (byte < 0x20 || byte > 0x3f) passing_escape_ = 0;  // the last byte
        return true;
    }
    if (byte == ESCAPE) passing_escape_ = 1;
    return !frame_byte(byte);
}

void echo_filter::feed(const unsigned char* bytes, std::size_t length, monotonic_clock::time_point now,
                       byte_sink& screen) {
    now_ = now;
    if (state_ != state::off && deadline_set_ && now >= deadline_) finish(screen);
    std::size_t shown_from = 0;
    for (std::size_t at = 0; at < length; ++at) {
        if (passes(bytes[at])) continue;
        if (at > shown_from) screen.append(bytes + shown_from, at - shown_from);
        shown_from = at + 1;
        feed_byte(bytes[at], screen);
    }
    if (length > shown_from) screen.append(bytes + shown_from, length - shown_from);
}

void echo_filter::feed_byte(unsigned char byte, byte_sink& screen) {
    if (escape_length_ > 0) {
        feed_escape(byte, screen);
        return;
    }
    if (frame_byte(byte)) {
        if (state_ == state::echo && echo_dropped_ < budget_) {
            drop_echo(1);
            return;
        }
        if (state_ == state::echo) {  // longer than all that was typed: not echo after all
            finish(screen);
            screen.append(&byte, 1);
            return;
        }
        if (held_length_ == 0) held_since_ = now_;
        after_keys_ = false;
        held_[held_length_++] = byte;
        const bool echo = held_length_ == ECHO_RUN_LENGTH || (byte == ',' && held_has_frame_head());
        if (echo && echo_dropped_ + held_length_ <= budget_) {
            state_ = state::echo;
            drop_echo(held_length_);
            held_length_ = 0;
        } else if (held_length_ == ECHO_RUN_LENGTH) {
            finish(screen);
        }
        return;
    }
    // A run held back ends short, without a frame's head: the command's own output; or, cut off by
    // a line editor's wrap right after echo, the echo's last piece.
    // Later, followed by a line end or a space, a person's keys, or a piece of echo that came after a
    // pause (a busy machine): shown with that byte, and the filter goes on.
    if (held_length_ > 0) {
        const bool after_echo = state_ == state::redraw;
        if (after_echo && redraw_byte(byte) && now_ - last_echo_at_ < ECHO_BURST_GAP &&
            echo_dropped_ + held_length_ <= budget_) {
            drop_echo(held_length_);
            held_length_ = 0;
        } else if (after_echo && redraw_byte(byte)) {
            release_held(screen);
            screen.append(&byte, 1);
            after_keys_ = true;
            return;
        } else {
            release_held(screen);
            if (after_echo) {
                finish(screen);
                screen.append(&byte, 1);
                return;
            }
        }
    }
    if (state_ == state::echo) state_ = state::redraw;
    if (state_ == state::waiting) {
        if (byte == ESCAPE) passing_escape_ = 1;
        screen.append(&byte, 1);
        return;
    }
    if (redraw_dropped_ >= REDRAW_PER_ECHO_BYTE * echo_dropped_ + REDRAW_SLACK) {
        finish(screen);
        screen.append(&byte, 1);
        return;
    }
    if (byte == ESCAPE) {
        held_escape_[escape_length_++] = byte;
    } else if (redraw_byte(byte) && after_keys_) {
        screen.append(&byte, 1);  // the line end of keys shown
    } else if (redraw_byte(byte)) {
        ++redraw_dropped_;
    } else {
        finish(screen);
        screen.append(&byte, 1);
    }
}

// After echo: "ESC [ digits ; digits FINAL" is the editor's when FINAL moves the cursor or erases.
// Another whole control sequence (a mode the editor switches, such as bracketed paste) is shown
// as it came, and the echo may go on after it.
void echo_filter::feed_escape(unsigned char byte, byte_sink& screen) {
    held_escape_[escape_length_++] = byte;
    if (escape_length_ == 2) {
        if (byte == 'M') {  // reverse index: the line up, where a terminal has no "ESC [ A" (screen, tmux)
            redraw_dropped_ += escape_length_;
            escape_length_ = 0;
        } else if (byte != '[') {
            finish(screen);
        }
        return;
    }
    if (byte >= 0x20 && byte <= 0x3f && escape_length_ < ECHO_ESCAPE_LENGTH) return;
    if (byte < 0x40 || byte > 0x7e) {
        finish(screen);
        return;
    }
    const auto parameters_end = held_escape_.begin() + static_cast<std::ptrdiff_t>(escape_length_) - 1;
    const bool plain = std::all_of(held_escape_.begin() + 2, parameters_end,
                                   [](unsigned char c) { return (c >= '0' && c <= '9') || c == ';'; });
    if (plain && redraw_final(byte)) {
        redraw_dropped_ += escape_length_;
    } else {
        screen.append(held_escape_.data(), escape_length_);
    }
    escape_length_ = 0;
}

bool echo_filter::held_has_frame_head() const {
    // held_ ends with ','; the head is '#', a type letter, the sequence's digits, then that ','.
    std::size_t at = held_length_ - 1;
    std::uint64_t sequence = 0;
    std::uint64_t scale = 1;
    std::size_t digits = 0;
    while (at > 0 && held_[at - 1] >= '0' && held_[at - 1] <= '9' && digits < 19) {
        --at;
        sequence += (held_[at] - '0') * scale;
        scale *= 10;
        ++digits;
    }
    return digits > 0 && at >= 2 && held_[at - 2] == '#' && std::strchr("PFDEXZCNR", held_[at - 1]) != nullptr &&
           sequence >= first_sequence_ && sequence <= last_sequence_;
}

void echo_filter::drop_echo(std::size_t count) {
    echo_dropped_ += count;
    hidden_ += count;
    last_echo_at_ = now_;
    if (deadline_set_) deadline_ = std::max(deadline_, now_ + ECHO_WAIT);
}

void echo_filter::release_held(byte_sink& screen) {
    if (held_length_ > 0) screen.append(held_.data(), held_length_);
    held_length_ = 0;
}

void echo_filter::finish(byte_sink& screen) {
    passing_escape_ = 0;
    if (escape_length_ > 0) screen.append(held_escape_.data(), escape_length_);
    escape_length_ = 0;
    release_held(screen);
    state_ = state::off;
}

void echo_filter::let_go(monotonic_clock::time_point now, byte_sink& screen) {
    if (state_ == state::off) return;
    if (deadline_set_ && now >= deadline_) {
        finish(screen);
        return;
    }
    if (escape_length_ > 0) {
        finish(screen);
        return;
    }
    // The last piece of echo, cut short where the frames typed ended.
    if (state_ == state::redraw && held_length_ > 0 && held_since_ - last_echo_at_ < ECHO_BURST_GAP &&
        echo_dropped_ + held_length_ <= budget_) {
        drop_echo(held_length_);
        held_length_ = 0;
    }
    release_held(screen);
}

void echo_filter::stop(byte_sink& screen) { finish(screen); }

std::uint64_t echo_filter::take_hidden() { return std::exchange(hidden_, 0); }

}  // namespace pushfile::receive
