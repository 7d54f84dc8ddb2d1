// What the bytes read from the user's terminal at the upload prompt are: keys, the text of a
// paste the terminal marked, or parts of a key's escape sequence or of a terminal's reply, which
// mean nothing to the prompt. Pure logic, a byte at a time.
#pragma once

#include <cstddef>

namespace pushfile::receive {

class prompt_key_reader {
public:
    enum class meaning {
        none,          // part of a sequence, or of a reply: nothing to do
        key,           // a key (an Esc too, which may yet start a sequence)
        pasted,        // a byte of pasted text
        paste_begins,  // the terminal's mark before pasted text
        paste_ends,
        escape_then_control,  // Esc, then a control key, in one read: both were pressed, Esc first
    };

    meaning read(unsigned char byte);
    // An Esc that ended a read, which the quiet after it tells from a sequence's start.
    bool escape_pending() const { return input_ == input::escape; }
    // No more came: true when it was the Esc key alone.
    bool escape_timed_out();
    bool paste_open() const {
        return input_ == input::paste || input_ == input::paste_escape || input_ == input::paste_sequence;
    }
    void paste_timed_out() {
        if (paste_open()) input_ = input::keys;
    }
    void reset() { input_ = input::keys; }

private:
    meaning sequence_byte(unsigned char byte);
    void start_sequence(bool single_shift);

    enum class input {
        keys,
        escape,          // after ESC
        sequence,        // inside ESC [ ... (CSI) or after ESC O (SS3)
        paste,
        paste_escape,    // ESC inside a paste
        paste_sequence,  // ESC [ ... inside a paste: the end marker or a sequence to drop
        string,          // a string sequence (a terminal's reply), up to BEL or ESC backslash
        string_escape,   // ESC inside it
    };

    input input_ = input::keys;
    bool single_shift_ = false;  // the sequence is ESC O: one byte ends it
    char parameters_[8] = {};    // of the CSI in progress, enough to recognise the paste markers
    std::size_t parameters_length_ = 0;
};

}  // namespace pushfile::receive
