#include "common/text.h"

#include <algorithm>
#include <iterator>

namespace pushfile {
namespace {

struct text_unit {
    std::size_t bytes;
    std::size_t columns;
};

// Zero-width code points: combining marks of the common scripts, zero-width spaces and joiners,
// variation selectors.
constexpr char32_t ZERO_WIDTH[][2] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05C7},   {0x0610, 0x061A},
    {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06ED}, {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},
    {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},   {0x20D0, 0x20FF},
    {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
};
// Code points a terminal shows two columns wide: East Asian wide and full-width forms, emoji.
constexpr char32_t DOUBLE_WIDTH[][2] = {
    {0x1100, 0x115F}, {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF}, {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <std::size_t N>
bool in_ranges(char32_t code_point, const char32_t (&ranges)[N][2]) {
    return std::any_of(std::begin(ranges), std::end(ranges), [code_point](const char32_t(&range)[2]) {
        return code_point >= range[0] && code_point <= range[1];
    });
}

std::size_t code_point_columns(char32_t code_point) {
    if (in_ranges(code_point, ZERO_WIDTH)) return 0;
    return in_ranges(code_point, DOUBLE_WIDTH) ? 2 : 1;
}

// The first piece of text that must stay whole: an escape, a UTF-8 character or a single byte.
text_unit first_unit(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead == '\\' && text.size() >= 2) {
        const std::size_t length = text[1] == 'x' ? std::min<std::size_t>(4, text.size()) : 2;
        return {length, length};
    }
    if (lead < 0x80) return {1, 1};
    char32_t code_point = 0;
    const std::size_t length =
        decode_utf8(reinterpret_cast<const unsigned char*>(text.data()), text.size(), &code_point);
    if (length == 0) return {1, 1};
    return {length, code_point_columns(code_point)};
}

}  // namespace

std::size_t decode_utf8(const unsigned char* in, std::size_t available, char32_t* code_point) {
    const unsigned char lead = in[0];
    *code_point = 0;
    // C0 and C1 only begin overlong forms; F5 and above only code points beyond U+10FFFF.
    if (lead < 0xC2 || lead > 0xF4) return 0;
    const std::size_t length = utf8_claimed_length(lead);
    static constexpr char32_t minimum_for_length[] = {0, 0, 0x80, 0x800, 0x10000};
    static constexpr unsigned lead_bits_for_length[] = {0, 0, 0x1FU, 0x0FU, 0x07U};
    const char32_t minimum = minimum_for_length[length];
    char32_t value = lead & lead_bits_for_length[length];
    if (available < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((in[i] & 0xC0U) != 0x80U) return 0;
        value = (value << 6U) | (in[i] & 0x3FU);
    }
    if (value < minimum || value > 0x10FFFF) return 0;
    if (value >= 0xD800 && value <= 0xDFFF) return 0;
    *code_point = value;
    return length;
}

std::size_t utf8_prefix_length(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    std::size_t start = limit;
    while (start > 0 && limit - start < 3 && (static_cast<unsigned char>(text[start]) & 0xC0U) == 0x80U) --start;
    const auto lead = static_cast<unsigned char>(text[start]);
    if (start < limit && lead >= 0xC0 && start + utf8_claimed_length(lead) > limit) return start;
    return limit;
}

std::size_t display_columns(std::string_view shown) {
    std::size_t columns = 0;
    for (std::size_t at = 0; at < shown.size();) {
        const text_unit unit = first_unit(shown.substr(at));
        columns += unit.columns;
        at += unit.bytes;
    }
    return columns;
}

std::size_t prefix_fitting_columns(std::string_view shown, std::size_t columns) {
    std::size_t at = 0;
    std::size_t used = 0;
    while (at < shown.size()) {
        const text_unit unit = first_unit(shown.substr(at));
        if (used + unit.columns > columns) break;
        used += unit.columns;
        at += unit.bytes;
    }
    return at;
}

std::size_t suffix_fitting_columns(std::string_view shown, std::size_t columns) {
    std::size_t left = display_columns(shown);
    std::size_t at = 0;
    while (at < shown.size() && left > columns) {
        const text_unit unit = first_unit(shown.substr(at));
        left -= unit.columns;
        at += unit.bytes;
    }
    while (at < shown.size()) {
        const text_unit unit = first_unit(shown.substr(at));
        if (unit.columns != 0) break;
        at += unit.bytes;
    }
    return at;
}

}  // namespace pushfile
