#include "receiver/session/upload_prompt_keys.h"

#include <algorithm>
#include <string_view>

namespace pushfile::receive {
namespace {

constexpr unsigned char ESCAPE = 0x1B;
constexpr unsigned char BELL = 0x07;

}  // namespace

prompt_key_reader::meaning prompt_key_reader::read(unsigned char byte) {
    switch (input_) {
        case input::keys:
            if (byte == ESCAPE) input_ = input::escape;
            return meaning::key;
        case input::escape:
            if (byte == ']' || byte == 'P' || byte == 'X' || byte == '^' || byte == '_') {
                input_ = input::string;  // a terminal's reply: OSC, DCS, SOS, PM or APC
            } else if (byte == '[' || byte == 'O') {
                input_ = input::sequence;
                start_sequence(byte == 'O');
            } else if (byte < 0x20 && byte != ESCAPE) {
                return meaning::escape_then_control;
            } else if (byte != ESCAPE) {
                input_ = input::keys;  // Alt and a key: no meaning here
            }
            return meaning::none;
        case input::sequence:
        case input::paste_sequence: return sequence_byte(byte);
        case input::string:
            if (byte == BELL) input_ = input::keys;
            if (byte == ESCAPE) input_ = input::string_escape;
            return meaning::none;
        case input::string_escape:
            // ESC \ ends the string; another ESC may be the start of that end.
            if (byte != ESCAPE) input_ = byte == '\\' ? input::keys : input::string;
            return meaning::none;
        case input::paste:
            if (byte != ESCAPE) return meaning::pasted;
            input_ = input::paste_escape;
            return meaning::none;
        case input::paste_escape:
            if (byte == '[') {
                input_ = input::paste_sequence;
                start_sequence(false);
                return meaning::none;
            }
            input_ = input::paste;
            return read(byte);
    }
    return meaning::none;
}

void prompt_key_reader::start_sequence(bool single_shift) {
    single_shift_ = single_shift;
    parameters_length_ = 0;
}

prompt_key_reader::meaning prompt_key_reader::sequence_byte(unsigned char byte) {
    const bool in_paste = input_ == input::paste_sequence;
    if (!single_shift_ && byte >= 0x20 && byte <= 0x3F) {
        if (parameters_length_ < sizeof parameters_) parameters_[parameters_length_] = static_cast<char>(byte);
        parameters_length_ = std::min(parameters_length_ + 1, sizeof parameters_ + 1);
        return meaning::none;
    }
    const bool final_byte = byte >= 0x40 && byte <= 0x7E;
    const std::string_view parameters(parameters_, std::min(parameters_length_, sizeof parameters_));
    const bool marker = final_byte && !single_shift_ && byte == '~' && parameters_length_ <= sizeof parameters_;
    if (marker && parameters == (in_paste ? "201" : "200")) {
        input_ = in_paste ? input::keys : input::paste;
        return in_paste ? meaning::paste_ends : meaning::paste_begins;
    }
    input_ = in_paste ? input::paste : input::keys;
    // Any other sequence is a key with no meaning here, or junk in a paste; a byte that cannot be
    // part of one ends it and counts for itself.
    return final_byte ? meaning::none : read(byte);
}

bool prompt_key_reader::escape_timed_out() {
    if (input_ == input::escape) return true;
    if (input_ == input::sequence) input_ = input::keys;  // Alt-[ or Alt-O, not the start of a longer key
    return false;
}

}  // namespace pushfile::receive
