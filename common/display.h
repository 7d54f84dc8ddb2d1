// Shows bytes that came from outside (file names, paths) on a terminal without letting them act
// on it: control bytes, C1 controls and bytes that are not UTF-8 are written as escapes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"

namespace pushfile {

// Lower-case hexadecimal digits, by value.
inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

// value's low 4 * count bits as count lower-case hex digits, most significant first (count <= 16).
inline void format_hex(std::uint64_t value, std::size_t count, char* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = HEX_DIGITS[(value >> (4 * (count - 1 - i))) & 0xFU];
}

// 1..max_digits decimal digits, the whole view, without overflow; false leaves *value untouched.
inline bool parse_decimal(std::string_view digits, std::size_t max_digits, std::uint64_t* value) {
    if (digits.empty() || digits.size() > max_digits) return false;
    std::uint64_t parsed = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9') return false;
        const auto next = static_cast<std::uint64_t>(digit - '0');
        if (parsed > (UINT64_MAX - next) / 10) return false;
        parsed = parsed * 10 + next;
    }
    *value = parsed;
    return true;
}

// 1..16 lower-case hex digits, nothing else; false leaves *value untouched.
inline bool parse_hex(std::string_view hex, std::uint64_t* value) {
    if (hex.empty() || hex.size() > 16) return false;
    std::uint64_t parsed = 0;
    for (const char digit : hex) {
        const bool decimal = digit >= '0' && digit <= '9';
        if (!decimal && !(digit >= 'a' && digit <= 'f')) return false;
        parsed = parsed << 4 | static_cast<std::uint64_t>(decimal ? digit - '0' : digit - 'a' + 10);
    }
    *value = parsed;
    return true;
}

// Writes the escaped form of in[0..length) into out, NUL-terminated, never more than capacity
// bytes in all (capacity must be at least 4). An escape is never cut: when the text does not fit,
// it ends with "..." instead. Returns the length written, without the NUL.
// Escapes: \n \r \t \e \\ for those bytes, \xHH for every other control byte, for DEL, for C1
// controls and for bytes that do not form valid UTF-8. Valid UTF-8 stays as it is.
std::size_t escape_for_display(const char* in, std::size_t length, char* out, std::size_t capacity);

// The same as a string of at most capacity - 1 bytes; by default long enough never to cut, since
// no byte escapes to more than four. Inline, so that code which must not allocate never links it.
inline std::string escaped_for_display(std::string_view text, std::size_t capacity = 0) {
    if (capacity == 0) capacity = 4 * text.size() + 4;
    std::string shown(capacity, '\0');
    shown.resize(escape_for_display(text.data(), text.size(), shown.data(), shown.size()));
    return shown;
}

}  // namespace pushfile
