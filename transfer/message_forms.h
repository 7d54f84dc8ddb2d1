// The parser's table of message forms: each kind's code, its body as fields, their limits and
// errors, and the event that reports it; the grammar in stream_parser.h, one row per kind. The
// parser (stream_parser.cpp) reads bytes by these forms and knows no kind by name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/protocol.h"
#include "transfer/stream_parser.h"

namespace pushfile {

inline constexpr unsigned char MESSAGE_PREFIX[] = {ESCAPE, INTRODUCER, FAMILY};
inline constexpr std::size_t MESSAGE_HEADER_LENGTH = sizeof MESSAGE_PREFIX + 1;  // the prefix and the code

// What a complete message carried, for its form to report.
struct message_body {
    std::string_view text;
    std::uint64_t number;
    const unsigned char* bytes;
    std::size_t length;
};

struct message_form {
    unsigned char code;
    message_kind kind;
    // The body's fields in order, none after the last.
    std::array<message_field, 2> fields;
    // A number that is empty or not decimal, or a body where none belongs; a number or text
    // beyond its limit.
    parse_error malformed;
    parse_error too_long;
    // A NUL directly after the message belongs to it (the sender's extra zero after an end).
    bool takes_extra_nul = false;
    // For a number field: its most digits and largest value.
    std::size_t max_digits = 0;
    std::uint64_t max_number = 0;
    void (*report)(const message_body& body, stream_parser_events& events);
    // For a text whose own form a row checks: false rejects the message as malformed.
    bool (*accepts)(const message_body& body) = nullptr;
};

// The form of the kind whose code this is, or null for a code that is not one of ours.
const message_form* find_message_form(unsigned char code);

}  // namespace pushfile
