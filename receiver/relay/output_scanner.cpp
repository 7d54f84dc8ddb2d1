#include "receiver/relay/output_scanner.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace pushfile::receive {
namespace {

using state = output_scanner::state;

constexpr unsigned char BEL = 0x07;
constexpr unsigned char CAN = 0x18;
constexpr unsigned char SUB = 0x1a;
constexpr unsigned char ESC = 0x1b;
constexpr std::size_t STATE_COUNT = static_cast<std::size_t>(state::string_escape) + 1;

// What a byte of a sequence does besides moving to the next state.
enum class action : std::uint8_t {
    none,
    begin_control,
    cursor_moved,
    reset,
    digit,
    parameter_end,
    private_mode,
    other_private,  // a private sequence of another kind
    set_mode,
    reset_mode,
    again_in_next,  // the byte belongs to what follows: it is looked at again in the next state
};

using state_set = std::uint8_t;
constexpr state_set in(state one) { return static_cast<state_set>(1U << static_cast<unsigned>(one)); }
constexpr state_set ANY_SEQUENCE = static_cast<state_set>(~in(state::text));
constexpr state_set ANY_CONTROL = in(state::control_start) | in(state::control);

// Bytes first to last, in any of the states, do what and lead where.
struct scan_rule {
    state_set states;
    unsigned char first;
    unsigned char last;
    action what;
    state next;
};

using enum action;
// The first rule that matches a byte decides; each state ends with a rule for every byte. Text
// is not in the table: it is skipped with memchr up to the next ESC.
constexpr scan_rule SCAN_RULES[] = {
    {ANY_SEQUENCE, CAN, CAN, none, state::text},
    {ANY_SEQUENCE, SUB, SUB, none, state::text},

    {in(state::escape), '[', '[', begin_control, state::control_start},
    {in(state::escape), ']', ']', none, state::string},
    {in(state::escape), 'P', 'P', none, state::string},
    {in(state::escape), 'X', 'X', none, state::string},
    {in(state::escape), '^', '_', none, state::string},
    {in(state::escape), 0x20, 0x2f, none, state::escape_intermediate},
    {in(state::escape), ESC, ESC, none, state::escape},
    {in(state::escape), 'c', 'c', reset, state::text},
    // Save and restore the cursor, index, next line, reverse index.
    {in(state::escape), '7', '8', cursor_moved, state::text},
    {in(state::escape), 'D', 'E', cursor_moved, state::text},
    {in(state::escape), 'M', 'M', cursor_moved, state::text},
    {in(state::escape), 0x00, 0xff, none, state::text},

    {in(state::escape_intermediate), ESC, ESC, none, state::escape},
    {in(state::escape_intermediate), 0x30, 0x7e, none, state::text},
    {in(state::escape_intermediate), 0x00, 0xff, none, state::escape_intermediate},

    {in(state::control_start), '?', '?', private_mode, state::control},
    {ANY_CONTROL, '0', '9', digit, state::control},
    {ANY_CONTROL, ':', ';', parameter_end, state::control},
    {ANY_CONTROL, '<', '?', other_private, state::control},
    {ANY_CONTROL, 'h', 'h', set_mode, state::text},
    {ANY_CONTROL, 'l', 'l', reset_mode, state::text},
    // Colours, reports and window operations leave the cursor where it is.
    {ANY_CONTROL, 'm', 'n', none, state::text},
    {ANY_CONTROL, 't', 't', none, state::text},
    {ANY_CONTROL, 'c', 'c', none, state::text},
    {ANY_CONTROL, 0x40, 0x7e, cursor_moved, state::text},
    {ANY_CONTROL, ESC, ESC, none, state::escape},
    {ANY_CONTROL, 0x00, 0xff, none, state::control},

    {in(state::string), BEL, BEL, none, state::text},
    {in(state::string), ESC, ESC, none, state::string_escape},
    {in(state::string), 0x00, 0xff, none, state::string},

    // ESC \ ends the string; any other escape ends it too and starts anew.
    {in(state::string_escape), '\\', '\\', none, state::text},
    {in(state::string_escape), 0x00, 0xff, again_in_next, state::escape},
};

struct transition {
    action what = none;
    state next = state::text;
    bool ruled = false;
};
using transition_table = std::array<std::array<transition, 256>, STATE_COUNT>;

// The rules as one entry per state and byte, so that a byte costs one lookup. Painted last rule
// first, so that the first rule that matches is the one left.
constexpr transition_table build_transitions() {
    transition_table table{};
    for (std::size_t r = std::size(SCAN_RULES); r-- > 0;) {
        const scan_rule& rule = SCAN_RULES[r];
        for (std::size_t s = 0; s < STATE_COUNT; ++s) {
            if ((rule.states & (1U << s)) == 0) continue;
            for (unsigned byte = rule.first; byte <= rule.last; ++byte) table[s][byte] = {rule.what, rule.next, true};
        }
    }
    return table;
}
constexpr transition_table TRANSITIONS = build_transitions();

constexpr bool every_byte_ruled() {
    for (std::size_t s = 0; s < STATE_COUNT; ++s) {
        if (s == static_cast<std::size_t>(state::text)) continue;
        for (std::size_t byte = 0; byte < 256; ++byte) {
            const transition& entry = TRANSITIONS[s][byte];
            if (!entry.ruled) return false;
            // A byte looked at again is not looked at again once more: the scan goes on.
            if (entry.what == again_in_next &&
                TRANSITIONS[static_cast<std::size_t>(entry.next)][byte].what == again_in_next) {
                return false;
            }
        }
    }
    return true;
}
static_assert(every_byte_ruled(), "a state of the scanner without a rule for some byte");

}  // namespace

void output_scanner::parameter_ended() {
    if (private_mode_ && (parameter_ == 1049 || parameter_ == 1047 || parameter_ == 47)) {
        alternate_parameter_ = true;
        restores_cursor_parameter_ = restores_cursor_parameter_ || parameter_ == 1049;
    }
    paste_parameter_ = paste_parameter_ || (private_mode_ && parameter_ == 2004);
    parameter_ = 0;
}

void output_scanner::scan_all(const unsigned char* bytes, std::size_t length) {
    for (std::size_t at = 0; at < length;) at += scan(bytes + at, length - at).scanned;
}

output_scanner::result output_scanner::scan(const unsigned char* bytes, std::size_t length) {
    result outcome{length, change::none, NO_TEXT};
    std::size_t at = 0;
    while (at < length) {
        if (state_ == state::text) {
            const void* escape = std::memchr(bytes + at, ESC, length - at);
            const std::size_t stop = escape == nullptr
                                         ? length
                                         : static_cast<std::size_t>(static_cast<const unsigned char*>(escape) - bytes);
            if (stop > at) outcome.last_text = bytes[stop - 1];
            if (escape == nullptr) return outcome;
            state_ = state::escape;
            at = stop + 1;
            continue;
        }
        const unsigned char byte = bytes[at++];
        const transition step = TRANSITIONS[static_cast<std::size_t>(state_)][byte];
        state_ = step.next;
        switch (step.what) {
            case none: break;
            case begin_control:
                private_mode_ = false;
                parameter_ = 0;
                alternate_parameter_ = false;
                restores_cursor_parameter_ = false;
                paste_parameter_ = false;
                break;
            case cursor_moved: outcome.last_text = 0; break;
            case reset:
                outcome.found = change::reset;
                outcome.scanned = at;
                return outcome;
            case digit:
                parameter_ = std::min<std::uint32_t>(parameter_ * 10 + static_cast<std::uint32_t>(byte - '0'), 100000);
                break;
            case parameter_end: parameter_ended(); break;
            case private_mode: private_mode_ = true; break;
            case other_private: private_mode_ = false; break;
            case set_mode:
            case reset_mode:
                parameter_ended();
                if (paste_parameter_) bracketed_paste_ = step.what == set_mode;
                if (alternate_parameter_) {
                    outcome.found = step.what == set_mode        ? change::enter_alternate
                                    : restores_cursor_parameter_ ? change::leave_restoring_cursor
                                                                 : change::leave_alternate;
                    outcome.scanned = at;
                    return outcome;
                }
                break;
            case again_in_next: --at; break;
        }
    }
    return outcome;
}

}  // namespace pushfile::receive
