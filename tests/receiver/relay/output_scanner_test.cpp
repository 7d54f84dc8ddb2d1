#include "receiver/relay/output_scanner.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace {

using pushfile::receive::output_scanner;

// What the screen writer learns from output given in pieces: before each change of screen and at
// the end, the last byte of text since the start or the last change ('.' none, '^' a cursor
// movement), and each change ('[' to the alternate screen, ']' back, ')' back with the cursor
// put back, '!' a full reset).
std::string learned(const std::vector<std::string_view>& pieces) {
    output_scanner scanner;
    std::string trace;
    int last_text = output_scanner::NO_TEXT;
    const auto shown = [&last_text] {
        return last_text == output_scanner::NO_TEXT ? '.' : last_text == 0 ? '^' : static_cast<char>(last_text);
    };
    for (std::string_view piece : pieces) {
        while (!piece.empty()) {
            const auto result = scanner.scan(reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
            if (result.last_text != output_scanner::NO_TEXT) last_text = result.last_text;
            piece.remove_prefix(result.scanned);
            if (result.found == output_scanner::change::none) continue;
            trace += shown();
            trace += "?[])!"[static_cast<int>(result.found)];
            last_text = output_scanner::NO_TEXT;
        }
    }
    return trace + shown();
}

}  // namespace

TEST(output_scanner, learns_the_same_from_output_whole_or_split_anywhere) {
    const struct {
        std::string_view output;
        std::string_view learned;
    } cases[] = {
        {"$ vim\r\n\x1b[?1049htext\x1b[?1049l$ ", "\n[t) "},
        {"a\x1b[?47hb\x1b[?1047lc\x1b[?1;1049h\x1b[?1049;47l", "a[b]c[.)."},
        {"a\x1b[31mb\x1b[0m\x1b[6n\x1b[22;0t\x1b[c", "b"},
        {"a\x1b[H", "^"},
        {"a\x1bM", "^"},
        {"a\x1b(0b\x1b(B", "b"},
        {"x\033c", "x!."},
        // Not the alternate screen: another mode, another kind of private mode, a '?' not first,
        // a number beyond the counter (2^32 + 1049).
        {"\x1b[1049h\x1b[>1049h\x1b[1;?1049h\x1b[?4294968345h", "."},
        // Strings end at BEL or ESC \, and another escape ends them and counts.
        {"\x1b]2;[?1049h\ab\x1bPc\x1b\\", "b"},
        {"\x1b]2;t\x1b[?1049h", ".[."},
        // CAN and SUB cancel a sequence; ESC starts another.
        {"\x1b[?1049\x18h\x1b[?47\x1ah", "h"},
        {"\x1b[12\x1b[?1049h\x1b(\x1b\x1b[?1049l", ".[.)."},
    };
    for (const auto& [output, expected] : cases) {
        for (std::size_t split = 0; split < output.size(); ++split) {
            EXPECT_EQ(learned({output.substr(0, split), output.substr(split)}), expected)
                << std::string(output) << " split at " << split;
        }
    }
}
