// The upload prompt: keys to the edited line, the line to paths as a shell splits them, Tab
// completion in a real folder, and the line as drawn.
#include "receiver/session/upload_prompt.h"

#include "receiver/session/upload_consent.h"
#include "receiver/session/upload_selection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using pushfile::receive::upload_consent;
using pushfile::receive::upload_prompt;
using state = upload_prompt::state;
using verdict = upload_consent::verdict;

upload_prompt::state feed(upload_prompt& prompt, const std::string& keys) {
    return prompt.feed(reinterpret_cast<const unsigned char*>(keys.data()), keys.size());
}

TEST(upload_prompt, keys_edit_the_line) {
    struct key_case {
        std::vector<std::string> reads;  // each fed on its own, as separate reads bring them
        bool timed_out;                  // the owner saw no key for a while after them
        std::string text;
        state expected;
    };
    const key_case cases[] = {
        {{"ab\x7f", "c"}, false, "ac", state::editing},
        {{"x\xc3\xa9\x08"}, false, "x", state::editing},                      // one character, two bytes
        {{"\xc3", "\xa9!\xc2", "\x9b"}, false, "\xc3\xa9!", state::editing},  // split; a C1 control dropped
        {{"abc\x15", "d e\x17"}, false, "d ", state::editing},
        {{"a\r"}, false, "a", state::send},
        {{"  \n"}, false, "  ", state::nothing},
        {{"a\x04"}, false, "a", state::editing},
        {{"\x04"}, false, "", state::nothing},
        {{"a\x03"}, false, "a", state::nothing},
        {{"a\x1b"}, false, "a", state::editing},  // maybe the start of a key's sequence
        {{"a\x1b"}, true, "a", state::nothing},
        {{"a\x1b", "[1;5D", "b\x1bOP"}, true, "ab", state::editing},
        // A terminal's replies are no keys: a title, a colour, a DCS status, to ST or BEL.
        {{"a\x1b]l ti\x1b", "tle\x1b\\b\x1b]11;rgb:0/0/0\ac\x1bP1$r0m\x1b\\d"}, false, "abcd", state::editing},
        // A paste is text, whatever it holds: line ends and tabs become spaces, controls go.
        {{"\x1b[200~a\tb\r\nc\x03\rd\x1b[2", "01~e"}, false, "a b c de", state::editing},
    };
    for (const key_case& c : cases) {
        upload_prompt prompt("/dl", "/nonexistent");
        state got = state::editing;
        for (const std::string& read : c.reads) got = feed(prompt, read);
        if (c.timed_out) got = prompt.escape_timed_out();
        EXPECT_EQ(prompt.text(), c.text) << testing::PrintToString(c.reads);
        EXPECT_EQ(got, c.expected) << testing::PrintToString(c.reads);
    }

    upload_prompt full("/dl");
    feed(full, "\x1b[200~" + std::string(upload_prompt::MAX_LINE + 10, 'x'));
    EXPECT_EQ(full.text().size(), upload_prompt::MAX_LINE);
    EXPECT_TRUE(full.text_dropped());
    feed(full, "\x1b[201~\x7f");
    EXPECT_FALSE(full.text_dropped());

    // A paste whose end never came is over once it went quiet: Enter is Enter again.
    upload_prompt unended("/dl");
    feed(unended, "\x1b[200~a\r");
    EXPECT_TRUE(unended.paste_open());
    unended.paste_timed_out();
    EXPECT_EQ(feed(unended, "\r"), state::send);
    EXPECT_EQ(unended.text(), "a ");
}

// What terminals insert for dropped files: GNOME's quoted paths, kitty's and xterm's backslashes,
// file:// URIs; and what a person types.
TEST(upload_prompt, paths_are_split_as_a_shell_does) {
    const struct {
        std::string line;
        std::vector<std::string> paths;
    } cases[] = {
        {"'/a b/x' '/it'\\''s' ", {"/a b/x", "/it's"}},
        {"/a\\ b/c\\'d  e\\\\f", {"/a b/c'd", "/w/e\\f"}},
        {"\"/q \\\"x\\\" \\$y \\n\" '/unclosed", {"/q \"x\" $y \\n", "/unclosed"}},
        {"~/d ~ a~ ~x \"~/x\"", {"/home/me/d", "/home/me", "/w/a~", "/w/~x", "/w/~/x"}},
        {"file:///tmp/a%20b%2fc FILE://LocalHost/e%zz%00 file://host/f",
         {"/tmp/a b/c", "/e%zz%00", "/w/file://host/f"}},
    };
    for (const auto& c : cases) {
        upload_prompt prompt("/dl", "/w", "/home/me");
        ASSERT_EQ(feed(prompt, c.line + "\r"), state::send) << c.line;
        EXPECT_EQ(prompt.paths(), c.paths) << c.line;
    }
}

// Unquoted *, ? and [ make a word a pattern, expanded sorted; every word is checked, and the first
// that names nothing is named.
TEST(upload_prompt, named_paths_are_checked_before_anything_is_sent) {
    char folder_template[] = "/tmp/upload_selection_test.XXXXXX";
    ASSERT_NE(mkdtemp(folder_template), nullptr);
    const std::string folder = folder_template;
    for (const char* name : {"/b.txt", "/a.txt", "/*.txt", "/c.pdf"}) std::ofstream(folder + name) << "xy";
    const struct {
        std::string line;
        std::vector<std::string> paths;  // beneath folder; empty: refused
        std::string problem;
    } cases[] = {
        {"*.txt c.*", {"/*.txt", "/a.txt", "/b.txt", "/c.pdf"}, ""},
        {"'*.txt' \\*.txt \"[ab].txt\"", {}, "no such file or folder: [ab].txt"},
        {"[ab].txt '*'.t?t", {"/a.txt", "/b.txt", "/*.txt"}, ""},
        {"c.pdf *.doc", {}, "nothing matches *.doc"},
        {"nosuch c.pdf", {}, "no such file or folder: nosuch"},
    };
    for (const auto& c : cases) {
        upload_prompt prompt("/dl", folder);
        ASSERT_EQ(feed(prompt, c.line + "\r"), state::send) << c.line;
        pushfile::receive::upload_selection selection;
        std::string problem;
        const bool selected = pushfile::receive::select_upload(prompt.named_paths(), &selection, &problem);
        EXPECT_EQ(problem, c.problem) << c.line;
        if (!selected) continue;
        std::vector<std::string> expected;
        for (const std::string& path : c.paths) expected.push_back(folder + path);
        EXPECT_EQ(selection.paths, expected) << c.line;
        EXPECT_EQ(selection.bytes, 2 * expected.size()) << c.line;
    }
    for (const char* name : {"/b.txt", "/a.txt", "/*.txt", "/c.pdf", ""}) std::remove((folder + name).c_str());
}

// Keys count only once the user stopped and the prompt was on the screen for a moment; a line keys
// shaped goes only on y after a pause. Each read: when it came (ms after the prompt appeared), the
// keys, and what they do; a read taken that ends in Enter asks for the answer, as the engine does.
TEST(upload_consent, keys_typed_without_looking_never_start_or_confirm_an_upload) {
    struct read {
        int at_ms;
        std::string keys;
        verdict expected;
    };
    const struct {
        const char* name;
        std::vector<read> reads;
    } cases[] = {
        {"a command typed through the prompt's appearance, 50 ms a key",
         {{20, "a", verdict::drop}, {70, "t", verdict::drop}, {120, " ", verdict::drop}, {170, "n", verdict::drop},
          {220, "\r", verdict::drop}}},
        {"a second's pause after the first word, then a name, Enter and the next command",
         {{20, "a", verdict::drop}, {70, "t", verdict::drop}, {1100, "n", verdict::take}, {1150, "\r", verdict::take},
          {1200, "l", verdict::drop}, {1250, "s", verdict::drop}, {1300, "\r", verdict::drop},
          {1350, "y", verdict::drop}}},
        {"a name typed after a look, y after a look; a terminal's reply meanwhile is no key",
         {{900, "n", verdict::take}, {950, "\r", verdict::take}, {1900, "\x1b]l title\x1b\\", verdict::ignore},
          {2000, "y", verdict::confirm}}},
        {"after a look, another key goes back to the line",
         {{900, "n\r", verdict::take}, {2000, "l", verdict::edit}, {2050, "\r", verdict::take},
          {2100, "y", verdict::drop}}},
        {"a paste right after the prompt appeared is the user's",
         {{10, "\x1b[200~/a\x1b[201~", verdict::take}, {20, "\r", verdict::take}}},
        {"a paste that ends a stream of dropped keys is not",
         {{20, "cat ", verdict::drop}, {300, "\x1b[200~/a\x1b[201~", verdict::drop}, {1300, "\r", verdict::take}}},
        {"Ctrl-C and a lone Esc cancel whenever they come",
         {{20, "a\x03", verdict::cancel}, {30, "\x1b", verdict::cancel}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = pushfile::monotonic_clock::time_point{} + std::chrono::hours(1);
        upload_consent consent;
        consent.shown(start);
        for (const read& r : c.reads) {
            const auto now = start + std::chrono::milliseconds(r.at_ms);
            const auto* keys = reinterpret_cast<const unsigned char*>(r.keys.data());
            const verdict got = consent.keys(keys, r.keys.size(), now);
            EXPECT_EQ(got, r.expected) << r.at_ms << " ms";
            if (got == verdict::take && r.keys.back() == '\r') consent.ask_to_confirm(now);
        }
    }
}

TEST(upload_prompt, tab_completes_paths) {
    char folder_template[] = "/tmp/upload_prompt_test.XXXXXX";
    ASSERT_NE(mkdtemp(folder_template), nullptr);
    const std::string folder = folder_template;
    ASSERT_EQ(mkdir((folder + "/my folder").c_str(), 0700), 0);
    for (const char* name : {"/my file.txt", "/my folder/in'side", "/other", "/.hidden"}) {
        std::ofstream(folder + name) << "x";
    }

    upload_prompt prompt("/dl", folder);
    feed(prompt, "\t");
    EXPECT_EQ(prompt.listing(), "my file.txt  my folder/  other");
    feed(prompt, "m\t");
    EXPECT_EQ(prompt.text(), "my\\ f");
    EXPECT_EQ(prompt.listing(), "");
    feed(prompt, "o\t\t'my fi\t.h\t");
    EXPECT_EQ(prompt.text(), "my\\ folder/in\\'side 'my file.txt' .hidden ");
    ASSERT_EQ(feed(prompt, "\r"), state::send);
    EXPECT_EQ(prompt.paths(),
              (std::vector<std::string>{folder + "/my folder/in'side", folder + "/my file.txt", folder + "/.hidden"}));

    for (const char* name : {"/my folder/in'side", "/my file.txt", "/other", "/.hidden", "/my folder", ""}) {
        std::remove((folder + name).c_str());
    }
}

// Nothing from outside acts on the terminal, and the end of a long line, where the cursor is,
// stays in view.
TEST(upload_prompt, line_is_escaped_and_fitted) {
    upload_prompt prompt("/dl\x1b[2J");
    feed(prompt, "a\xff\\b");
    EXPECT_EQ(prompt.line(0), "upload to remote /dl\\e[2J (Tab completes, Enter sends, Esc cancels): a\\xff\\b");
    feed(prompt, std::string(60, 'y') + "END");
    EXPECT_EQ(prompt.line(40), "upload: ..." + std::string(25, 'y') + "END");
    EXPECT_EQ(prompt.cursor_column(40), 39U);
}

}  // namespace
