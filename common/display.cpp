#include "common/display.h"

#include <cstring>

namespace pushfile {
namespace {

// Length of the valid UTF-8 sequence at in[0] that may be shown as it is, or 0. C1 controls
// (U+0080..U+009F) count as not showable, since terminals may act on them.
std::size_t showable_sequence_length(const unsigned char* in, std::size_t available) {
    char32_t code_point = 0;
    const std::size_t length = decode_utf8(in, available, &code_point);
    return is_control(code_point) ? 0 : length;
}

// The escaped form of the character at bytes[0]: its bytes in piece, their count returned, and the
// number of input bytes it stands for in *consumed.
std::size_t escape_piece(const unsigned char* bytes, std::size_t available, char (&piece)[4], std::size_t* consumed) {
    const unsigned char byte = bytes[0];
    *consumed = 1;
    if (!is_control(byte) && byte < 0x80 && byte != '\\') {
        piece[0] = static_cast<char>(byte);
        return 1;
    }
    if (byte >= 0x80) {
        const std::size_t length = showable_sequence_length(bytes, available);
        if (length != 0) {
            std::memcpy(piece, bytes, length);
            *consumed = length;
            return length;
        }
    }
    piece[0] = '\\';
    switch (byte) {
        case '\n': piece[1] = 'n'; return 2;
        case '\r': piece[1] = 'r'; return 2;
        case '\t': piece[1] = 't'; return 2;
        case 0x1B: piece[1] = 'e'; return 2;
        case '\\': piece[1] = '\\'; return 2;
        default:
            piece[1] = 'x';
            piece[2] = HEX_DIGITS[byte >> 4U];
            piece[3] = HEX_DIGITS[byte & 0x0FU];
            return 4;
    }
}

}  // namespace

std::size_t escape_for_display(const char* in, std::size_t length, char* out, std::size_t capacity) {
    static constexpr char ellipsis[] = "...";
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    char piece[4];
    std::size_t consumed = 0;

    // Measure first: text that fits whole is never cut.
    std::size_t needed = 0;
    for (std::size_t i = 0; i < length && needed < capacity; i += consumed) {
        needed += escape_piece(bytes + i, length - i, piece, &consumed);
    }
    // Otherwise keep room for the ellipsis and the NUL.
    const std::size_t room = needed < capacity ? capacity - 1 : capacity - sizeof ellipsis;

    std::size_t written = 0;
    for (std::size_t i = 0; i < length; i += consumed) {
        const std::size_t piece_length = escape_piece(bytes + i, length - i, piece, &consumed);
        if (written + piece_length > room) break;
        std::memcpy(out + written, piece, piece_length);
        written += piece_length;
    }
    if (needed >= capacity) {
        std::memcpy(out + written, ellipsis, sizeof ellipsis);
        return written + sizeof ellipsis - 1;
    }
    out[written] = '\0';
    return written;
}

}  // namespace pushfile
