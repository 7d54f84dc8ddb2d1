// Escaping of outside bytes for display: what is escaped, what is kept, and where it is cut; and
// cuts at a byte limit that keep characters whole.
#include "common/display.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string escaped(const std::string& in, std::size_t capacity = 256) {
    std::vector<char> out(capacity + 16, '#');
    const std::size_t length = pushfile::escape_for_display(in.data(), in.size(), out.data(), capacity);
    EXPECT_EQ(length, std::strlen(out.data())) << "returned length disagrees with the text";
    for (std::size_t i = capacity; i < out.size(); ++i) EXPECT_EQ(out[i], '#') << "written past capacity";
    return std::string(out.data());
}

TEST(escape_for_display, escapes_controls_and_keeps_valid_utf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"plain name.txt", "plain name.txt"},
        {"\n\r\t\x1b\\", "\\n\\r\\t\\e\\\\"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
        {"\x1b[31mred", "\\e[31mred"},
        // C1 controls written as UTF-8 are escaped byte by byte; U+00A0 is the first kept.
        {"\xc2\x80|\xc2\x9b|\xc2\x9f|\xc2\xa0", "\\xc2\\x80|\\xc2\\x9b|\\xc2\\x9f|\xc2\xa0"},
        {"\x85\x9b", "\\x85\\x9b"},
        // Valid UTF-8, including the smallest and largest of each length, stays as it is.
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
         "\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        // Invalid UTF-8: stray bytes, overlong forms, surrogates, beyond U+10FFFF, cut sequences.
        {"\xff\xfe", "\\xff\\xfe"},
        {"\xc0\xaf", "\\xc0\\xaf"},
        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"\xf5\x80\x80\x80", "\\xf5\\x80\\x80\\x80"},
        {"\xc3(", "\\xc3("},
        {"x\xe2\x82", "x\\xe2\\x82"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(escaped(in), want) << "input of " << in.size() << " bytes";
}

// Every capacity from the smallest upward: text that fits comes out whole; text that does not is
// cut after the last whole piece that leaves room for "..." and the NUL, never inside an escape
// or a UTF-8 sequence.
TEST(escape_for_display, cuts_only_between_pieces_and_only_when_needed) {
    const std::pair<std::string, std::string> pieces[] = {
        {"a", "a"},        {"\x1b", "\\e"},   {"\xc3\xa9", "\xc3\xa9"},
        {"\x07", "\\x07"}, {"\\", "\\\\"},    {"bc", "bc"},
        {"\xc2", "\\xc2"}, {"\x85", "\\x85"}, {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        {"\n", "\\n"},     {"z", "z"},
    };
    std::string in;
    std::string full;
    std::vector<std::size_t> boundaries{0};
    for (int round = 0; round < 2; ++round) {
        for (const auto& [raw, shown] : pieces) {
            in += raw;
            full += shown;
            // "bc" is two pieces of one byte each.
            if (raw == "bc") boundaries.push_back(full.size() - 1);
            boundaries.push_back(full.size());
        }
    }
    for (std::size_t capacity = 4; capacity <= full.size() + 2; ++capacity) {
        const std::string got = escaped(in, capacity);
        if (full.size() + 1 <= capacity) {
            EXPECT_EQ(got, full) << "capacity " << capacity << ": the whole text fits";
            continue;
        }
        std::size_t kept = 0;
        for (const std::size_t boundary : boundaries)
            if (boundary + 4 <= capacity) kept = boundary;
        EXPECT_EQ(got, full.substr(0, kept) + "...") << "capacity " << capacity;
    }
}

// A cut at a byte limit keeps UTF-8 characters whole; stray continuation bytes may be cut anywhere.
TEST(utf8_prefix_length, never_splits_a_character) {
    const struct {
        std::string text;
        std::size_t limit;
        std::size_t kept;
    } cases[] = {
        // Characters of 2, 3 and 4 bytes: split by the limit, or fitting it exactly.
        {"\xc3\xa9\xc3\xa9", 3, 2},
        {"\xe2\x82\xac\xe2\x82\xac", 5, 3},
        {"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", 6, 6},
        {"\xf0\x9f\x98\x80\xf0\x9f\x98\x80", 7, 4},
        {"\x80\x80\x80\x80\x80", 4, 4},
    };
    for (const auto& c : cases) EXPECT_EQ(pushfile::utf8_prefix_length(c.text, c.limit), c.kept) << c.limit;
}

}  // namespace
