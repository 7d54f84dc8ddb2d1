// UTF-8 text as a terminal shows it: where its characters begin and end, which ones a terminal
// acts on, how many columns they take, and where text may be cut without splitting one.
// Nothing here allocates: the sender uses it too.
#pragma once

#include <cstddef>
#include <string_view>

namespace pushfile {

// The length in bytes that a UTF-8 sequence starting with lead claims: 2 to 4 for a lead byte,
// 1 for anything else. Says nothing of whether the sequence is valid (decode_utf8 does).
constexpr std::size_t utf8_claimed_length(unsigned char lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

// Decodes the UTF-8 character at in[0]: returns its length and sets *code_point, or returns 0 when
// no valid character starts there (overlong forms, surrogates and code points above U+10FFFF are
// invalid).
std::size_t decode_utf8(const unsigned char* in, std::size_t available, char32_t* code_point);

// C0 controls, DEL and C1 controls: a terminal may act on them instead of showing them.
constexpr bool is_control(char32_t code_point) {
    return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

// The longest prefix of text of at most limit bytes that does not split a UTF-8 character.
// Bytes that are not UTF-8 have no characters to keep whole, so they may be cut anywhere.
std::size_t utf8_prefix_length(std::string_view text, std::size_t limit);

// The columns display-escaped text (display.h) takes on a terminal: an escape such as \e or \x9b
// counts as the characters it is written with, a UTF-8 character as its width (2 for wide East
// Asian characters and emoji, 0 for combining marks; from a small table of the common ranges,
// not from the locale).
std::size_t display_columns(std::string_view shown);
// How many bytes of the start of display-escaped text fit in columns, never splitting an escape
// or a character; zero-width characters that follow stay with it.
std::size_t prefix_fitting_columns(std::string_view shown, std::size_t columns);
// Where the shortest end of display-escaped text that fits in columns begins, without a combining
// mark at its start (its base is cut off).
std::size_t suffix_fitting_columns(std::string_view shown, std::size_t columns);

}  // namespace pushfile
