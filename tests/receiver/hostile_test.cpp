// The real receiver fed hostile streams, write faults and signals, end to end. Whatever comes, it
// must not crash or hang, must not write outside its directory or over anything, must leave no
// partial file, must say what happened in one clean line, and must hand the user's terminal back
// as it found it.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/pty_peer.h"
#include "tests/support/receiver_run.h"
#include "tests/support/stream_builder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace pushfile_test;

constexpr std::string_view PREFIX = "pushfile-receive: ";
// Stands for the scratch directory's absolute path inside a case's stream.
constexpr std::string_view SCRATCH_MARK = "@SCRATCH@";

bool wait_until(const std::function<bool()>& done, clock_type::duration guard = HANG_GUARD) {
    const auto deadline = clock_type::now() + guard;
    while (!done()) {
        if (clock_type::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Whether the process holds a file inside directory with at least min_bytes in it: its temporary
// file, proof that data is arriving. A named or an unnamed one ("DIR/#123 (deleted)") both count.
bool holds_file_with_data(pid_t pid, const fs::path& directory, off_t min_bytes) {
    const std::string inside = directory.string() + "/";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::error_code link_error;
        const std::string target = fs::read_symlink(entry.path(), link_error).string();
        if (link_error || target.compare(0, inside.size(), inside) != 0) continue;
        struct stat status {};
        if (stat(entry.path().c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size >= min_bytes) {
            return true;
        }
    }
    return false;
}

std::string file_entry(const std::string& content) {
    return "file of " + std::to_string(content.size()) + " bytes, hash " +
           std::to_string(std::hash<std::string>{}(content));
}

// Everything under root, symlinks not followed: type and content (as size and hash) or target.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        // Lexically: a symlink must be named where it is, not where it points.
        const std::string name = entry.path().lexically_relative(root).string();
        const fs::file_status status = entry.symlink_status();
        if (fs::is_symlink(status)) {
            entries[name] = "link to " + fs::read_symlink(entry.path()).string();
        } else if (fs::is_directory(status)) {
            entries[name] = "directory";
        } else if (fs::is_fifo(status)) {
            entries[name] = "fifo";
        } else {
            entries[name] = file_entry(read_file(entry.path()));
        }
    }
    return entries;
}

// The first byte of text a terminal could act on, or npos: controls other than newline, DEL, C1
// controls raw or UTF-8 encoded, and bytes that are no valid UTF-8 (an 8-bit terminal takes
// 0x9B as CSI).
std::size_t first_raw_control(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if ((byte < 0x20 && byte != '\n') || byte == 0x7F) return i;
            ++i;
            continue;
        }
        std::size_t length = 0;
        if (byte >= 0xC2 && byte <= 0xDF) length = 2;
        if (byte >= 0xE0 && byte <= 0xEF) length = 3;
        if (byte >= 0xF0 && byte <= 0xF4) length = 4;
        if (length == 0 || i + length > text.size()) return i;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0U) != 0x80U) return i;
        }
        if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) return i;
        i += length;
    }
    return std::string::npos;
}

// The whole line of text that holds part, or empty.
std::string line_with(const std::string& text, std::string_view part) {
    const std::size_t at = text.find(part);
    if (at == std::string::npos) return {};
    const std::size_t start = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
    const std::size_t end = text.find('\n', at);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Checks what every run must leave on standard error: clean lines only, each from the receiver.
void expect_clean_report(const std::string& errors) {
    const std::size_t raw = first_raw_control(errors);
    EXPECT_EQ(raw, std::string::npos) << "raw byte at " << raw << " of standard error";
    std::size_t start = 0;
    while (start < errors.size()) {
        std::size_t end = errors.find('\n', start);
        if (end == std::string::npos) end = errors.size();
        EXPECT_EQ(errors.compare(start, PREFIX.size(), PREFIX), 0)
            << "a line that is not the receiver's: " << errors.substr(start, end - start);
        start = end + 1;
    }
}

std::string replace_all(std::string text, std::string_view from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// ---------------------------------------------------------------------------------------------
// The corpus: each stream is written to a file and shown by `cat` inside the receiver.

struct stream_case {
    std::string label;
    std::string stream;                                      // SCRATCH_MARK stands for the scratch directory's path
    std::vector<std::pair<std::string, std::string>> saved;  // names and contents new in the directory
    std::string reason;      // part of the line that must say what happened ("" when no line is due)
    bool then_after = true;  // whether `echo after` follows the stream
    // Plants files or links before the run, in the scratch directory and in the target directory.
    std::function<void(const fs::path& scratch, const fs::path& directory)> plant = nullptr;
    // What of the stream reaches the screen: all but its complete valid messages.
    std::string shown = "";
};

std::ostream& operator<<(std::ostream& out, const stream_case& c) { return out << c.label; }

using namespace pushfile_test;

std::string cut(const std::string& stream, std::size_t length) { return stream.substr(0, length); }

// A block message whose checksum is computed over whatever letters are given, valid or not.
std::string raw_block(const std::string& letters) {
    return "\x1b}fd" + std::to_string(checksum_of(letters)) + ' ' + letters + '\0';
}

std::string repeated(std::string_view piece, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += piece;
    return text;
}

const std::string FULL_BLOCK = repeated("0123456789abcdef", 37268 / 16) + "0123";  // 37268 bytes
// The longest path a message can carry (the message with its NUL is 12288 bytes), its last
// component 301 bytes long.
const std::string LONGEST_PATH = repeated("d/", 5991) + std::string(301, 'z');
const std::string WRONG_CHECKSUM = "\x1b}fd983 " + letters_of("payload") + '\0';

const std::string RANDOM_WITH_BEGINNINGS = random_with_beginnings();

// Output as the pseudo-terminal passes it on in its default mode: a newline becomes CR LF.
std::string as_the_pty_shows(const std::string& text) { return replace_all(text, "\n", "\r\n"); }

// Where two texts first differ, or npos.
std::size_t first_difference(const std::string& a, const std::string& b) {
    const auto [in_a, in_b] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return in_a == a.end() && in_b == b.end() ? std::string::npos : static_cast<std::size_t>(in_a - a.begin());
}

std::vector<stream_case> stream_cases() {
    const std::string ok = file_stream("next", "still works");
    std::vector<stream_case> cases = {
        // Paths: whatever comes, at most clean names inside the directory, in folders beneath it.
        {"DotDotEscape", file_stream("../escape", "x"), {{"escape", "x"}}, "saved ../escape"},
        // Climbs past the root towards the scratch directory: lands beneath the directory.
        {"DeepDotDotEscape",
         file_stream("../../../../../../../.." + std::string(SCRATCH_MARK) + "/escape", "x"),
         {{std::string(SCRATCH_MARK) + "/escape", "x"}},
         "saved"},
        {"AbsolutePathOutside", file_stream(std::string(SCRATCH_MARK) + "/planted", "x"), {{"planted", "x"}}, "saved"},
        {"AbsolutePathOntoExistingFile",
         file_stream(std::string(SCRATCH_MARK) + "/outside.txt", "evil"),
         {{"outside.txt", "evil"}},
         "saved"},
        {"AbsolutePathOntoDirectory",
         file_stream(std::string(SCRATCH_MARK) + "/inbox", "x"),
         {{"inbox", "x"}},
         "saved"},
        {"Dot", file_stream(".", "x"), {{"received", "x"}}, "saved"},
        {"DotDot", file_stream("..", "x"), {{"received", "x"}}, "saved"},
        {"Empty", file_stream("", "x"), {{"received", "x"}}, "saved"},
        {"TrailingSlash", file_stream("somewhere/", "x"), {{"somewhere/received", "x"}}, "saved"},
        {"EndsInDotDot", file_stream("a/b/..", "x"), {{"received", "x"}}, "saved"},
        {"HiddenName", file_stream(".bashrc", "x"), {{"_bashrc", "x"}}, "saved"},
        {"OnlyDots", file_stream("...", "x"), {{"___", "x"}}, "saved"},
        {"ControlAndEscapeBytes",
         file_stream("red\x1b[31m\x07\tbell\x7f\x9b\xc2\x9b"
                     "end",
                     "x"),
         {{"red_[31m__bell_\x9b\xc2\x9b"
           "end",
           "x"}},
         "red\\e[31m"},
        {"TerminalTitleInName", file_stream("\x1b]0;owned\x07", "x"), {{"_]0;owned_", "x"}}, "\\e]0;owned"},
        {"NameOf300Bytes", file_stream(std::string(300, 'n'), "x"), {{std::string(255, 'n'), "x"}}, "saved"},
        // 150 two-byte characters: cut to 127 of them, never inside one.
        {"NameOf300BytesUtf8",
         file_stream(repeated("\xc3\xa9", 150), "x"),
         {{repeated("\xc3\xa9", 127), "x"}},
         "saved"},
        {"LongNameAlreadyTaken",
         file_stream(std::string(300, 'n'), "x"),
         {{std::string(253, 'n') + ".1", "x"}},
         "saved",
         true,
         [](const fs::path&, const fs::path& dir) { write_file(dir / std::string(255, 'n'), "old"); }},

        {"LongUtf8NameAlreadyTaken",
         file_stream(repeated("\xc3\xa9", 150), "x"),
         {{repeated("\xc3\xa9", 126) + ".1", "x"}},
         "saved",
         true,
         [](const fs::path&, const fs::path& dir) { write_file(dir / repeated("\xc3\xa9", 127), "old"); }},

        // Names that are taken: nothing is replaced and no link is followed.
        {"SymlinkToAbsentFileOutside",
         file_stream("victim", "evil"),
         {{"victim.1", "evil"}},
         "saved",
         true,
         [](const fs::path& scratch, const fs::path& dir) { fs::create_symlink(scratch / "absent", dir / "victim"); }},
        {"SymlinkToFileOutside",
         file_stream("victim", "evil"),
         {{"victim.1", "evil"}},
         "saved",
         true,
         [](const fs::path& scratch, const fs::path& dir) {
             fs::create_symlink(scratch / "outside.txt", dir / "victim");
         }},
        {"SymlinkToDirectoryOutside",
         file_stream("up", "evil") + file_stream("up/escape", "evil") + ok,
         {{"up.1", "evil"}, {"next", "still works"}},
         "up/escape not saved: cannot save up/escape: up in ",
         true,
         [](const fs::path& scratch, const fs::path& dir) { fs::create_symlink(scratch, dir / "up"); }},
        {"SymlinkUnderNumberedName",
         file_stream("victim", "evil"),
         {{"victim.2", "evil"}},
         "saved",
         true,
         [](const fs::path& scratch, const fs::path& dir) {
             write_file(dir / "victim", "old");
             fs::create_symlink(scratch / "outside.txt", dir / "victim.1");
         }},
        // Opening it would block; it must only be passed by.
        {"FifoUnderName",
         file_stream("pipe", "new"),
         {{"pipe.1", "new"}},
         "saved",
         true,
         [](const fs::path&, const fs::path& dir) { mkfifo((dir / "pipe").c_str(), 0600); }},
        {"ExistingFiles",
         file_stream("kept", "new"),
         {{"kept.2", "new"}},
         "saved",
         true,
         [](const fs::path&, const fs::path& dir) {
             write_file(dir / "kept", "old");
             write_file(dir / "kept.1", "older");
         }},
        {"ExistingDirectory",
         file_stream("sub", "new"),
         {{"sub.1", "new"}},
         "saved",
         true,
         [](const fs::path&, const fs::path& dir) { fs::create_directory(dir / "sub"); }},

        // Blocks that do not check out: each is shown whole, since it is no message.
        {"WrongChecksum",
         path_message("victim") + size_message(7) + WRONG_CHECKSUM + end_message(),
         {},
         "victim not saved: the transfer broke: a block whose checksum does not match its data",
         true,
         nullptr,
         WRONG_CHECKSUM},
        {"LetterAboveRange",
         path_message("victim") + size_message(2) + raw_block("FAFP") + end_message(),
         {},
         "victim not saved: the transfer broke: a block holding a byte that is not a letter",
         true,
         nullptr,
         raw_block("FAFP")},
        {"LetterBelowRange",
         path_message("victim") + size_message(2) + raw_block("FA?B") + end_message(),
         {},
         "victim not saved: the transfer broke: a block holding a byte that is not a letter",
         true,
         nullptr,
         raw_block("FA?B")},
        {"OddLetterCount",
         path_message("victim") + size_message(2) + raw_block("FAF") + end_message(),
         {},
         "victim not saved: the transfer broke: a block with an odd number of letters",
         true,
         nullptr,
         raw_block("FAF")},
        {"EmptyBlock",
         path_message("victim") + size_message(0) + raw_block("") + end_message(),
         {},
         "victim not saved: the transfer broke: a block without data",
         true,
         nullptr,
         raw_block("")},
        {"ChecksumNotANumber",
         path_message("victim") + size_message(1) + "\x1b}fdx10 FA" + '\0' + end_message(),
         {},
         "victim not saved: the transfer broke: a block checksum that is not a decimal number",
         true,
         nullptr,
         "\x1b}fdx10 FA" + std::string(1, '\0')},
        {"ChecksumBeyond32Bits",
         path_message("victim") + size_message(1) + "\x1b}fd4294967426 FA" + '\0' + end_message(),
         {},
         "victim not saved: the transfer broke: a block checksum that is not a decimal number",
         true,
         nullptr,
         "\x1b}fd4294967426 FA" + std::string(1, '\0')},

        // Sizes that lie, either way, or are no size at all.
        {"FewerBytesThanAnnounced",
         path_message("victim") + size_message(10) + block_message("abc") + end_message(),
         {},
         "victim not saved: the sender stopped after 3 of its 10 bytes"},
        // More than announced: the file grew while it was sent.
        {"MoreBytesThanAnnounced",
         path_message("victim") + size_message(2) + block_message("abc") + end_message(),
         {{"victim", "abc"}},
         "saved victim"},
        {"DataAfterSizeZero",
         path_message("victim") + size_message(0) + block_message("a") + end_message(),
         {{"victim", "a"}},
         "saved victim"},
        {"SizeOf30Digits",
         path_message("victim") + "\x1b}fs" + std::string(30, '9') + '\0' + block_message("a") + end_message(),
         {},
         "victim not saved: the transfer broke: a file size beyond 64 bits",
         true,
         nullptr,
         "\x1b}fs" + std::string(30, '9') + '\0'},
        {"SizeOneBeyond64Bits",
         path_message("victim") + "\x1b}fs18446744073709551616" + '\0' + block_message("a") + end_message(),
         {},
         "victim not saved: the transfer broke: a file size beyond 64 bits",
         true,
         nullptr,
         "\x1b}fs18446744073709551616" + std::string(1, '\0')},
        {"SizeWithLetter",
         path_message("victim") + "\x1b}fs12a" + '\0' + block_message("a") + end_message(),
         {},
         "victim not saved: the transfer broke: a file size that is not a decimal number",
         true,
         nullptr,
         "\x1b}fs12a" + std::string(1, '\0')},
        {"SizeEmpty",
         path_message("victim") + "\x1b}fs" + '\0' + block_message("a") + end_message(),
         {},
         "victim not saved: the transfer broke: a file size that is not a decimal number",
         true,
         nullptr,
         "\x1b}fs" + std::string(1, '\0')},
        // What a sender reading a pipe announces: any amount of data is then fine.
        {"UnknownSize",
         path_message("piped") + size_message(UINT64_MAX) + block_message("abc") + end_message(),
         {{"piped", "abc"}},
         "saved piped"},

        // The stream ends inside each field. The command ends with it; what came of the message
        // is shown.
        {"EndsInsidePrefix", "text\x1b}f", {}, "", false, nullptr, "text\x1b}f"},
        {"EndsInsidePath", "\x1b}frcut-of", {}, "", false, nullptr, "\x1b}frcut-of"},
        {"EndsInsideSize",
         path_message("cut") + "\x1b}fs12",
         {},
         "cut not saved: the command's output ended before the file did",
         false,
         nullptr,
         "\x1b}fs12"},
        {"EndsInsideChecksum",
         path_message("cut") + size_message(3) + "\x1b}fd40",
         {},
         "cut not saved: the command's output ended before the file did",
         false,
         nullptr,
         "\x1b}fd40"},
        {"EndsInsideLetters",
         path_message("cut") + size_message(3) + cut(block_message("abc"), 10),
         {},
         "cut not saved: the command's output ended before the file did",
         false,
         nullptr,
         cut(block_message("abc"), 10)},
        {"EndsInsideLetterPair",
         path_message("cut") + size_message(3) + cut(block_message("abc"), 9),
         {},
         "cut not saved: the command's output ended before the file did",
         false,
         nullptr,
         cut(block_message("abc"), 9)},
        {"EndsBetweenBlocks",
         path_message("cut") + size_message(6) + block_message("abc"),
         {},
         "cut not saved: the command's output ended before the file did",
         false},
        // Every announced byte came and was stored before its answer: the sender was told so.
        {"EndsBeforeEnd",
         path_message("cut") + size_message(3) + block_message("abc"),
         {{"cut", "abc"}},
         "saved cut",
         false},
        {"EndsInsideEnd",
         path_message("cut") + size_message(3) + block_message("abc") + "\x1b}f",
         {{"cut", "abc"}},
         "saved cut",
         false,
         nullptr,
         "\x1b}f"},
        // The end message is whole; only the zero byte after it is missing.
        {"EndsBeforeTrailingZero",
         cut(file_stream("whole", "abc"), file_stream("whole", "abc").size() - 1),
         {{"whole", "abc"}},
         "saved whole",
         false},
        // Ordinary output right after the cut breaks the message; all of it reaches the screen.
        {"OutputInsideSize",
         path_message("cut") + "\x1b}fs12",
         {},
         "cut not saved: the transfer broke: a file size that is not a decimal number",
         true,
         nullptr,
         "\x1b}fs12"},
        {"OutputInsideChecksum",
         path_message("cut") + size_message(3) + "\x1b}fd40",
         {},
         "cut not saved: the transfer broke: a block checksum that is not a decimal number",
         true,
         nullptr,
         "\x1b}fd40"},
        {"OutputInsideLetters",
         path_message("cut") + size_message(3) + cut(block_message("abc"), 9),
         {},
         "cut not saved: the transfer broke: a block holding a byte that is not a letter",
         true,
         nullptr,
         cut(block_message("abc"), 9)},
        // Broken where no file is in progress, and valid messages among them.
        {"BrokenMessagesOutsideAFile",
         "\x1b}fsabc\n\x1b}fd12 xyz\n\x1b}fxy\n",
         {},
         "ignored a file size that is not a decimal number",
         true,
         nullptr,
         "\x1b}fsabc\n\x1b}fd12 xyz\n\x1b}fxy\n"},
        {"PathWithoutNul",
         "\x1b}fr" + repeated("some output\n", 2000),
         {},
         "ignored a file name longer than a message can carry",
         true,
         nullptr,
         "\x1b}fr" + repeated("some output\n", 2000)},
        {"ValidAmongBroken",
         "before\n\x1b}fs12x" + file_stream("mixed", "data") + "\x1b}fx" + end_message() + "end\n",
         {{"mixed", "data"}},
         "saved mixed",
         true,
         nullptr,
         "before\n\x1b}fs12x\x1b}fxend\n"},
        // Output of any kind full of message beginnings: without a NUL no message is complete.
        {"RandomOutputFullOfBeginnings", RANDOM_WITH_BEGINNINGS, {}, "", true, nullptr, RANDOM_WITH_BEGINNINGS},

        // Messages over their limits, or out of place; what follows them is still received.
        {"PathOverMessageLimit",
         path_message(std::string(13000, 'p')) + size_message(1) + block_message("a") + end_message() + ok,
         {{"next", "still works"}},
         "ignored a file name longer than a message can carry",
         true,
         nullptr,
         path_message(std::string(13000, 'p'))},
        {"PathAtMessageLimit",
         file_stream(LONGEST_PATH, "x") + ok,
         {{"next", "still works"}},
         "its path is longer than 4095 bytes"},
        {"PathOneOverMessageLimit",
         file_stream(LONGEST_PATH + "z", "x") + ok,
         {{"next", "still works"}},
         "ignored a file name longer than a message can carry",
         true,
         nullptr,
         path_message(LONGEST_PATH + "z")},
        {"BlockOverMaximum",
         path_message("victim") + size_message(FULL_BLOCK.size() + 1) + block_message(FULL_BLOCK + "+") +
             end_message() + ok,
         {{"next", "still works"}},
         "victim not saved: the transfer broke: a block longer than the largest block",
         true,
         nullptr,
         // The block's remains are counted, not shown; its last letters and NUL are ordinary.
         block_message(FULL_BLOCK + "+").substr(block_message(FULL_BLOCK + "+").size() - 3)},
        {"BlockAtMaximum", file_stream("full", FULL_BLOCK), {{"full", FULL_BLOCK}}, "saved full"},
        {"EndWithoutPath", end_message() + ok, {{"next", "still works"}}, "ignored the end of a file that never began"},
        {"SizeWithoutPath",
         size_message(3) + block_message("abc") + end_message() + ok,
         {{"next", "still works"}},
         "ignored a file size that came without a file name"},
        {"SecondPathMidFile",
         path_message("first") + size_message(6) + block_message("abc") + file_stream("second", "def"),
         {{"second", "def"}},
         "first not saved: a new file began before this one ended"},
        {"DataBeforeSize",
         path_message("victim") + block_message("abc") + size_message(3) + end_message() + ok,
         {{"next", "still works"}},
         "victim not saved: data came before its size"},
        {"SecondSize",
         path_message("victim") + size_message(3) + size_message(3) + block_message("abc") + end_message() + ok,
         {{"next", "still works"}},
         "victim not saved: a second size message came"},
        {"BadEndMessage",
         path_message("victim") + size_message(3) + block_message("abc") + "\x1b}fxjunk" + '\0' + end_message() + ok,
         {{"next", "still works"}},
         "victim not saved: the transfer broke: a malformed end message",
         true,
         nullptr,
         "\x1b}fxjunk" + std::string(1, '\0')},
    };
    return cases;
}

// The receiver's arguments for a command that shows the stream file and ends with status 7 (an
// odd status shows that the command's own comes back). Echo is off, as a real sender has it:
// echoed replies would land inside the stream.
std::vector<std::string> showing(const fs::path& directory, const fs::path& stream_file, bool then_after) {
    const std::string script =
        then_after ? "stty -echo; cat \"$0\"; echo after; exit 7" : "stty -echo; cat \"$0\"; exit 7";
    return {"-d", directory.string(), "--", "sh", "-c", script, stream_file.string()};
}

class hostile_stream : public ::testing::TestWithParam<stream_case> {};

TEST_P(hostile_stream, stays_inside_its_directory_and_reports_cleanly) {
    const stream_case& c = GetParam();
    scratch_dir scratch;
    ASSERT_FALSE(scratch.path.empty());
    const fs::path directory = scratch.path / "inbox";
    fs::create_directory(directory);
    write_file(scratch.path / "outside.txt", "outside, untouched");
    const fs::path stream_file = scratch.path / "stream.bin";
    write_file(stream_file, replace_all(c.stream, SCRATCH_MARK, scratch.path.string()));
    if (c.plant) c.plant(scratch.path, directory);

    std::map<std::string, std::string> expected = snapshot(scratch.path);
    for (const auto& [name, content] : c.saved) {
        const fs::path saved = "inbox" / fs::path(replace_all(name, SCRATCH_MARK, scratch.path.relative_path()));
        expected[saved] = file_entry(content);
        for (fs::path folder = saved.parent_path(); folder != "inbox"; folder = folder.parent_path()) {
            expected[folder] = "directory";
        }
    }

    receiver_run run(showing(directory, stream_file, c.then_after));
    const run_result result = run.finish();

    ASSERT_FALSE(result.hung) << "the receiver hung";
    EXPECT_TRUE(result.exited) << "the receiver crashed";
    EXPECT_EQ(result.status, 7) << "the command's status passes through\n" << result.errors;
    // Files outside the directory, overwritten ones, links followed and temporary files left all
    // show up as a difference here.
    EXPECT_EQ(snapshot(scratch.path), expected) << result.errors;
    expect_clean_report(result.errors);
    if (!c.reason.empty()) {
        EXPECT_FALSE(line_with(result.errors, c.reason).empty()) << "wanted a line with: " << c.reason << "\nseen:\n"
                                                                 << result.errors;
    }
    // Byte for byte what a plain terminal would show of the stream less its valid messages, and
    // later output.
    const std::string screen = as_the_pty_shows(c.shown + (c.then_after ? "after\n" : ""));
    EXPECT_EQ(first_difference(result.output, screen), std::string::npos)
        << result.output.size() << " bytes on the screen, " << screen.size() << " expected";
}

INSTANTIATE_TEST_SUITE_P(corpus, hostile_stream, ::testing::ValuesIn(stream_cases()),
                         [](const ::testing::TestParamInfo<stream_case>& param) { return param.param.label; });

// Names are shown escaped, both the name sent and the name saved.
TEST(hostile_stream_details, saved_line_shows_both_names_escaped) {
    scratch_dir scratch;
    const fs::path directory = scratch.path / "inbox";
    fs::create_directory(directory);
    write_file(scratch.path / "stream.bin", file_stream("x/\x1b[2J\x9b", "x"));
    receiver_run run(showing(directory, scratch.path / "stream.bin", false));
    const run_result result = run.finish();
    EXPECT_EQ(result.status, 7);
    const std::string line = line_with(result.errors, "saved");
    EXPECT_NE(line.find("saved x/\\e[2J\\x9b (1 B) as " + directory.string() + "/x/_[2J\\x9b"), std::string::npos)
        << result.errors;
    expect_clean_report(result.errors);
}

// A command that never reads its input while its output asks for replies: a raw terminal that
// shows a crafted file. The replies have nowhere to go, but output must keep flowing, the run must
// end with the command, and a stop signal must still work.
TEST(reply_flood, command_that_never_reads_its_input_cannot_stall_the_receiver) {
    scratch_dir scratch;
    const fs::path directory = scratch.path / "inbox";
    fs::create_directory(directory);
    // One broken size message, then size messages refused without a line each: 200000 replies,
    // far more than the terminal and the receiver can queue.
    std::string stream = "\x1b}fs" + std::string(1, '\0');
    for (int i = 0; i < 200000; ++i) stream += size_message(1);
    write_file(scratch.path / "stream.bin", stream);
    receiver_run run({"-d", directory.string(), "--", "sh", "-c", "stty raw -echo; cat \"$0\"; echo after; exit 7",
                      (scratch.path / "stream.bin").string()});
    // Well under a second when it works.
    const bool ended = run.ended_within(10s);
    EXPECT_TRUE(ended) << "the receiver stalled";
    if (!ended) {
        kill(run.pid(), SIGTERM);
        EXPECT_TRUE(run.ended_within(5s)) << "and it ignored SIGTERM while stalled";
    }
    const run_result result = run.finish(0s);
    EXPECT_EQ(result.status, ended ? 7 : 128 + SIGTERM) << result.errors.substr(0, 500);
    EXPECT_NE(result.output.find("after"), std::string::npos);
    EXPECT_TRUE(names_in(directory).empty());
}

// ---------------------------------------------------------------------------------------------
// The real sender, refused or failing on the receiver's side.

TEST(sender_refused, file_over_max_size_is_refused_before_anything_is_created) {
    scratch_dir scratch;
    const fs::path directory = scratch.path / "inbox";
    fs::create_directory(directory);
    write_file(scratch.path / "big", std::string(4096, 'b'));
    receiver_run run(
        {"-d", directory.string(), "--max-size", "1K", "--", PUSHFILE_BINARY, (scratch.path / "big").string()});
    const run_result result = run.finish();
    EXPECT_EQ(result.status, 255) << "the sender's own status passes through\n" << result.errors;
    EXPECT_NE(result.output.find("Send Fail"), std::string::npos) << result.output;
    EXPECT_TRUE(names_in(directory).empty());
    EXPECT_FALSE(line_with(result.errors, "big not saved: it is larger than the limit of 1.0 KiB").empty())
        << result.errors;
    expect_clean_report(result.errors);
}

TEST(write_fault, file_size_limit_refuses_the_file_and_leaves_nothing) {
    scratch_dir scratch;
    const fs::path directory = scratch.path / "inbox";
    fs::create_directory(directory);
    write_file(directory / "existing", "old contents");
    write_file(scratch.path / "small", "fits under the limit");
    std::string big(1U << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    write_file(scratch.path / "big", big);

    receiver_run run({"-d", directory.string(), "--", PUSHFILE_BINARY, (scratch.path / "small").string(),
                      (scratch.path / "big").string()},
                     {.file_size_limit = 256 * 1024});
    const run_result result = run.finish();
    EXPECT_EQ(result.status, 255) << "the refused sender's status passes through\n" << result.errors;
    EXPECT_NE(result.output.find("Send Fail"), std::string::npos);
    EXPECT_EQ(names_in(directory), (std::vector<std::string>{"existing", "small"})) << "no temporary file left";
    EXPECT_EQ(read_file(directory / "existing"), "old contents");
    EXPECT_EQ(read_file(directory / "small"), "fits under the limit");
    EXPECT_FALSE(line_with(result.errors, "big not saved: cannot write big: File too large").empty()) << result.errors;
    expect_clean_report(result.errors);
}

// ---------------------------------------------------------------------------------------------
// Stopped in the middle of a file: the sender reads a FIFO that holds only part of the data, so
// the transfer is surely in progress while the test acts.

struct transfer_in_progress {
    scratch_dir scratch;
    fs::path directory;
    fs::path fifo;
    int fifo_fd = -1;  // held open for writing, so the sender waits for more instead of ending
    int master = -1;   // the user's terminal, played by the test
    int slave = -1;
    termios before{};

    static constexpr off_t FIRST_PART = 5000;

    transfer_in_progress() {
        directory = scratch.path / "inbox";
        fs::create_directory(directory);
        fifo = scratch.path / "feed";
        if (mkfifo(fifo.c_str(), 0600) != 0) return;
        // Read and write: opening never waits for the other side.
        fifo_fd = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        const std::string part(static_cast<std::size_t>(FIRST_PART), 'p');
        if (fifo_fd < 0 || write(fifo_fd, part.data(), part.size()) != FIRST_PART) return;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        tcgetattr(slave, &before);
    }
    ~transfer_in_progress() {
        for (const int fd : {fifo_fd, master, slave}) {
            if (fd >= 0) close(fd);
        }
    }
    transfer_in_progress(const transfer_in_progress&) = delete;
    transfer_in_progress& operator=(const transfer_in_progress&) = delete;

    bool ready() const { return fifo_fd >= 0 && slave >= 0; }

    run_options setup() const { return {.stdin_fd = slave}; }

    // True once the receiver has written the first part to its temporary file.
    bool wait_for_data(pid_t receiver) const {
        return wait_until([&] { return holds_file_with_data(receiver, directory, FIRST_PART); });
    }

    void expect_terminal_restored() const {
        termios after{};
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_EQ(pushfile_test::settings_difference(after, before), "");
        EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0) << "terminal settings restored exactly";
    }
};

class stopped_receiver : public ::testing::TestWithParam<int> {};

TEST_P(stopped_receiver, gives_up_the_file_restores_the_terminal_and_exits128_plus_n) {
    const int signal_number = GetParam();
    transfer_in_progress transfer;
    ASSERT_TRUE(transfer.ready());
    receiver_run run({"-d", transfer.directory.string(), "--", PUSHFILE_BINARY, transfer.fifo.string()},
                     transfer.setup());
    ASSERT_TRUE(transfer.wait_for_data(run.pid())) << "the transfer never got under way";
    termios during{};
    ASSERT_EQ(tcgetattr(transfer.slave, &during), 0);
    EXPECT_EQ(during.c_lflag & ICANON, 0U) << "the user's terminal is in raw mode during the run";

    ASSERT_EQ(kill(run.pid(), signal_number), 0);
    const run_result result = run.finish();
    ASSERT_FALSE(result.hung);
    EXPECT_TRUE(result.exited) << "it ends by itself, not by the signal's default action";
    EXPECT_EQ(result.status, 128 + signal_number) << result.errors;
    EXPECT_TRUE(names_in(transfer.directory).empty()) << "no partial file remains";
    EXPECT_FALSE(line_with(result.errors, "not saved: interrupted by signal " + std::to_string(signal_number)).empty())
        << result.errors;
    expect_clean_report(result.errors);
    transfer.expect_terminal_restored();
}

INSTANTIATE_TEST_SUITE_P(signals, stopped_receiver, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::string(sigabbrev_np(param.param));
                         });

TEST(killed_command, nothing_is_saved_and_its_status_passes_through) {
    transfer_in_progress transfer;
    ASSERT_TRUE(transfer.ready());
    const fs::path pid_file = transfer.scratch.path / "sender.pid";
    // The shell leaves its pid, then becomes the sender.
    receiver_run run({"-d", transfer.directory.string(), "--", "sh", "-c", "echo $$ > \"$0\"; exec \"$1\" \"$2\"",
                      pid_file.string(), PUSHFILE_BINARY, transfer.fifo.string()},
                     transfer.setup());
    ASSERT_TRUE(transfer.wait_for_data(run.pid())) << "the transfer never got under way";
    const pid_t sender = std::stoi(read_file(pid_file));
    ASSERT_GT(sender, 1);
    ASSERT_EQ(kill(sender, SIGKILL), 0);

    const run_result result = run.finish();
    ASSERT_FALSE(result.hung);
    EXPECT_EQ(result.status, 128 + SIGKILL) << result.errors;
    EXPECT_TRUE(names_in(transfer.directory).empty()) << "nothing saved";
    EXPECT_FALSE(line_with(result.errors, "feed not saved: the command's output ended before the file did").empty())
        << result.errors;
    expect_clean_report(result.errors);
    transfer.expect_terminal_restored();
}

}  // namespace
