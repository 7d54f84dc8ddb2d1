// Frames typed for a pullfile that is gone reach whatever reads the terminal next, and a shell's
// line editor (or the terminal's own echo) shows them: a screenful of base64 per 4 KB typed, then,
// once the give-up's line kill comes, the editor's redrawing of a line longer than the screen,
// which moves the cursor up over the user's earlier output. The echo filter leaves both off the
// screen: runs of the frames' bytes, and the cursor moves and erasures after them. It knows what
// was typed only as a count of bytes and the sequence numbers of the frames under way, so its
// memory is fixed: a short run held back until it is known to be echo or not.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "receiver/program.h"
#include "receiver/relay/handler.h"

namespace pushfile::receive {

// A run of frame bytes this long is echo, whatever it holds; a shorter one only when it holds the
// head of a frame under way ("#D12,").
inline constexpr std::size_t ECHO_RUN_LENGTH = 64;
// After a give-up, echo comes within this long of the last echo seen, or not at all.
inline constexpr std::chrono::milliseconds ECHO_WAIT{3000};
// Echo comes in bulk: a short run right after it (within this long) that a line's wrap cut off is
// echo too, where a person's keys come one by one, later.
inline constexpr std::chrono::milliseconds ECHO_BURST_GAP{100};
// A line editor that scrolls a long line sideways (bash's, where it takes the terminal for one that
// cannot wrap) shows the part in view again, a line's width, for each piece it reads: on a busy
// machine, one byte at a time. Echo may be this many times the bytes typed.
inline constexpr std::uint64_t ECHO_REDRAWS_PER_BYTE = 256;
// The longest escape sequence held back to see whether it moves the cursor or erases.
inline constexpr std::size_t ECHO_ESCAPE_LENGTH = 16;
// The most the filter holds back at once.
inline constexpr std::size_t ECHO_HELD_LIMIT = ECHO_RUN_LENGTH + ECHO_ESCAPE_LENGTH;

class echo_filter {
public:
    // typed bytes of the text of frames first_sequence..last_sequence may come back, each up to
    // ECHO_REDRAWS_PER_BYTE times. Called again, it widens what is expected and keeps what was seen.
    void expect(std::uint64_t typed, std::uint64_t first_sequence, std::uint64_t last_sequence);
    // pullfile is gone for sure: the echo ends by ECHO_WAIT after now, or after its last byte.
    void end_by(monotonic_clock::time_point now);

    bool active() const { return state_ != state::off; }
    bool holding() const { return held_length_ > 0 || escape_length_ > 0; }
    // The command's output: what is not echo goes to screen.
    void feed(const unsigned char* bytes, std::size_t length, monotonic_clock::time_point now, byte_sink& screen);
    // The output went quiet or ended: what is held back is shown (a person's keys, one by one,
    // after the echo; a line editor's echo pauses too on a busy machine, so the filter goes on).
    // Past the time limit the filter ends.
    void let_go(monotonic_clock::time_point now, byte_sink& screen);
    // pullfile spoke after all: nothing is echo.
    void stop(byte_sink& screen);
    // Bytes of frames left off the screen since the last call.
    std::uint64_t take_hidden();

private:
    enum class state : unsigned char {
        off,
        waiting,  // no echo yet: other output (a prompt, "Killed") is shown
        echo,     // inside a run of echo
        redraw,   // after echo: cursor moves and erasures are the editor's, over the echo's rows
    };
    // Whether a byte passes as it is, with nothing held back before it. The command's control
    // sequences pass whole: their digits and letters are no run of echo.
    bool passes(unsigned char byte);
    void feed_byte(unsigned char byte, byte_sink& screen);
    void feed_escape(unsigned char byte, byte_sink& screen);
    // The run held back holds the head of a frame under way.
    bool held_has_frame_head() const;
    void release_held(byte_sink& screen);
    // Output that is not echo came after echo, or the time is up: everything passes from here.
    void finish(byte_sink& screen);
    void drop_echo(std::size_t count);

    state state_ = state::off;
    std::uint64_t budget_ = 0;
    std::uint64_t first_sequence_ = 0;
    std::uint64_t last_sequence_ = 0;
    std::uint64_t echo_dropped_ = 0;
    std::uint64_t redraw_dropped_ = 0;
    std::uint64_t hidden_ = 0;
    bool deadline_set_ = false;
    monotonic_clock::time_point deadline_{};
    monotonic_clock::time_point now_{};
    monotonic_clock::time_point last_echo_at_{};  // of the last byte of echo dropped
    monotonic_clock::time_point held_since_{};    // when the run held back began
    bool after_keys_ = false;  // a person's keys were shown: their line ends and spaces too
    std::array<unsigned char, ECHO_RUN_LENGTH> held_{};
    std::size_t held_length_ = 0;
    // An escape sequence met where it may be the editor's: held until its last byte tells.
    std::array<unsigned char, ECHO_ESCAPE_LENGTH> held_escape_{};
    std::size_t escape_length_ = 0;
    // Where in a control sequence that passes the output is: 0 outside, 1 after ESC, 2 after "ESC [".
    unsigned char passing_escape_ = 0;
};

}  // namespace pushfile::receive
