#include "common/display.h"

#include <cstring>

namespace pushfile {
namespace {

// Length of the valid UTF-8 sequence at in[0], or 0 when it is not one (overlong forms,
// surrogates and code points above U+10FFFF count as invalid). C1 controls (U+0080..U+009F)
// are reported invalid too, since terminals may act on them.
std::size_t utf8_sequence_length(const unsigned char* in, std::size_t available) {
    const unsigned char lead = in[0];
    std::size_t length = 0;
    unsigned minimum = 0;
    unsigned code_point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, code_point = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, code_point = lead & 0x0FU;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, code_point = lead & 0x07U;
    } else {
        return 0;
    }
    if (available < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((in[i] & 0xC0U) != 0x80U) return 0;
        code_point = (code_point << 6U) | (in[i] & 0x3FU);
    }
    if (code_point < minimum || code_point > 0x10FFFF) return 0;
    if (code_point >= 0xD800 && code_point <= 0xDFFF) return 0;
    if (code_point <= 0x9F) return 0;
    return length;
}

}  // namespace

std::size_t escape_for_display(const char* in, std::size_t length, char* out, std::size_t capacity) {
    static constexpr char hex[] = "0123456789abcdef";
    static constexpr char ellipsis[] = "...";
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    // Room for the text itself: keep space for "..." and the NUL in case the text gets cut.
    const std::size_t room = capacity - sizeof ellipsis;
    std::size_t written = 0;
    std::size_t i = 0;
    while (i < length) {
        char piece[4];
        std::size_t piece_length = 0;
        std::size_t consumed = 1;
        const unsigned char byte = bytes[i];
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            piece[piece_length++] = static_cast<char>(byte);
        } else if (byte >= 0x80 && (consumed = utf8_sequence_length(bytes + i, length - i)) != 0) {
            std::memcpy(piece, bytes + i, consumed);
            piece_length = consumed;
        } else {
            consumed = 1;
            piece[piece_length++] = '\\';
            switch (byte) {
                case '\n': piece[piece_length++] = 'n'; break;
                case '\r': piece[piece_length++] = 'r'; break;
                case '\t': piece[piece_length++] = 't'; break;
                case 0x1B: piece[piece_length++] = 'e'; break;
                case '\\': piece[piece_length++] = '\\'; break;
                default:
                    piece[piece_length++] = 'x';
                    piece[piece_length++] = hex[byte >> 4U];
                    piece[piece_length++] = hex[byte & 0x0FU];
                    break;
            }
        }
        const bool last = i + consumed == length;
        // The last piece may use the space kept for the ellipsis.
        if (written + piece_length > (last ? capacity - 1 : room)) {
            std::memcpy(out + written, ellipsis, sizeof ellipsis);
            return written + sizeof ellipsis - 1;
        }
        std::memcpy(out + written, piece, piece_length);
        written += piece_length;
        i += consumed;
    }
    out[written] = '\0';
    return written;
}

}  // namespace pushfile
