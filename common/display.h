// Shows bytes that came from outside (file names, paths) on a terminal without letting them act
// on it: control bytes, C1 controls and bytes that are not UTF-8 are written as escapes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/text.h"

namespace pushfile {

// Lower-case hexadecimal digits, by value.
inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

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
