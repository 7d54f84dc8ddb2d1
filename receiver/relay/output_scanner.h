// Follows the command's output for what the screen writer's lines depend on: the last byte of
// text (a line end or not) and the switches to and from the alternate screen; and whether it
// asked the terminal to mark pasted text (bracketed paste, mode 2004). Sequences may be
// split across calls; text runs are skipped with memchr, the bytes of a sequence go through a
// transition table built from the rules in output_scanner.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pushfile::receive {

class output_scanner {
public:
    enum class change : std::uint8_t { none, enter_alternate, leave_alternate, leave_restoring_cursor, reset };
    static constexpr int NO_TEXT = -1;

    struct result {
        std::size_t scanned;
        change found;
        // The last byte of text among the bytes scanned; 0 for a cursor movement after it;
        // NO_TEXT for neither.
        int last_text;
    };
    // Scans bytes up to just after the first sequence that changes the screen, or to their end.
    result scan(const unsigned char* bytes, std::size_t length);
    // Whether the bytes scanned so far end inside a sequence, where nothing may be put between.
    bool inside_sequence() const { return state_ != state::text; }
    // Whether the last switch of bracketed paste seen turned it on.
    bool bracketed_paste() const { return bracketed_paste_; }
    // Scans all of bytes, for what they leave behind.
    void scan_all(const unsigned char* bytes, std::size_t length);

    // Where a byte may be: in text or somewhere in a sequence.
    enum class state : std::uint8_t {
        text,
        escape,
        escape_intermediate,
        control_start,  // just after ESC [, where ? marks a private mode
        control,
        string,  // OSC, DCS, APC, PM, SOS: up to BEL or ESC backslash
        string_escape,
    };

private:
    void parameter_ended();

    state state_ = state::text;
    bool private_mode_ = false;  // CSI ? ...
    std::uint32_t parameter_ = 0;
    bool alternate_parameter_ = false;        // 1049, 1047 or 47 among the parameters
    bool restores_cursor_parameter_ = false;  // 1049
    bool paste_parameter_ = false;            // 2004
    bool bracketed_paste_ = false;
};

}  // namespace pushfile::receive
