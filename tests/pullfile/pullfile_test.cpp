// pullfile end to end: the built program fed frames made with the frame formatters, on pipes (as
// under ssh without -t) and on a terminal; what it writes back is read with the receiver's parser.
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "tests/support/pty_peer.h"
#include "tests/support/receiver_run.h"
#include "transfer/stream_parser.h"
#include "transfer/upload_frames.h"

namespace {

using namespace pushfile_test;
using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace pushfile;

// The upload as a receiver types it: each call adds a frame and returns its sequence number.
struct upload {
    std::string text;
    std::uint64_t next = 1;
    std::vector<std::uint64_t> failed;  // the file frames that pullfile's e messages must name
    std::uint64_t acked = 0;            // by its last acknowledgement
    std::vector<char> frame = std::vector<char>(MAX_FRAME_LENGTH);
    unsigned version = 1;        // of the file frames
    mode_and_time attributes;  // of the next file frame, in version 2

    std::uint64_t put(std::size_t length) { return text.append(frame.data(), length), next++; }
    // P and Z carry a number, the others of their kind nothing.
    std::uint64_t add(frame_type type, std::uint64_t n = 0) {
        const bool numbered = type == frame_type::prompting || type == frame_type::done;
        return put(numbered ? format_number_frame(type, next, n, &frame[0])
                            : format_empty_frame(type, next, &frame[0]));
    }
    std::uint64_t file(std::string_view name, std::uint64_t size) {
        return put(format_file_frame(version, next, size, attributes, 0, name, &frame[0]));
    }
    std::uint64_t folder(std::string_view name, mode_and_time folder_attributes) {
        return put(format_folder_frame(next, folder_attributes, name, &frame[0]));
    }
    std::uint64_t data(std::string_view bytes) {
        return put(format_data_frame(next, reinterpret_cast<const unsigned char*>(&bytes[0]), bytes.size(), &frame[0]));
    }
    std::uint64_t whole(std::string_view name, std::string_view content) {
        const std::uint64_t first = file(name, content.size());
        for (std::size_t at = 0; at < content.size(); at += UPLOAD_BLOCK_SIZE)
            data(content.substr(at, UPLOAD_BLOCK_SIZE));
        add(frame_type::file_end);
        return first;
    }
};

// pullfile's messages, as the receiver finds them.
struct messages final : stream_parser_events {
    std::string stray;
    std::vector<std::uint64_t> acks, failed;
    explicit messages(const std::string& output) {
        stream_parser parser;
        parser.feed(reinterpret_cast<const unsigned char*>(output.data()), output.size(), *this);
        parser.finish(*this);
    }
    void pass_through(const unsigned char* bytes, std::size_t length) override {
        stray.append(reinterpret_cast<const char*>(bytes), length);
    }
    void upload_ack(std::uint64_t sequence) override { acks.push_back(sequence); }
    void upload_failed(std::uint64_t sequence, std::string_view) override { failed.push_back(sequence); }
};

// Content as a failure shows it: long content by its size and hash.
std::string shown(const std::string& content) {
    return content.size() <= 64 ? content : std::to_string(std::hash<std::string>{}(content)) + " (hash)";
}

// Every file beneath root, by its path there, with its content.
std::map<std::string, std::string> files_beneath(const fs::path& root) {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (!entry.is_directory()) found[fs::relative(entry.path(), root)] = shown(read_file(entry.path()));
    return found;
}

const std::string big = random_bytes((1 << 20) + 12345, 7);

// Each builds one upload; the table below says how pullfile must end it.
void every_size(upload& u, const fs::path& outside) {
    u.add(frame_type::prompting, 1);
    u.whole("empty", ""), u.whole("big.bin", big), u.whole("a/b/c.txt", "deep"), u.whole("../../up", "1");
    u.whole(outside.string() + "/absolute", "2"), u.whole("c\x07/\x1b[2J", "3");
    u.acked = u.add(frame_type::done, 6);
}
void broken_frames(upload& u, const fs::path&) {
    u.add(frame_type::prompting, 1);
    const auto bad = u.file("bad", 3);
    u.data("abc");
    char& check_digit = u.text[u.text.size() - 2];
    check_digit = check_digit == '0' ? '1' : '0';
    u.add(frame_type::file_end);
    const auto cut = u.file("cut", 3);
    u.data("abc"), u.text.resize(u.text.size() - 6), u.add(frame_type::file_end);
    const auto gap = u.file("gap", 6);
    u.data("abc"), ++u.next, u.data("def"), u.add(frame_type::file_end);
    u.whole("good", "kept");
    u.failed = {bad, cut, gap}, u.acked = u.add(frame_type::done, 4);
}
void sizes_that_lie(upload& u, const fs::path&) {
    u.add(frame_type::prompting, 1);
    const auto more = u.file("more\x1b[31m", 2);
    u.data("abc"), u.add(frame_type::file_end);
    const auto less = u.file("less", 4);
    u.data("abc"), u.add(frame_type::file_end);
    const auto unknown = u.file("unknown", UNKNOWN_SIZE);  // the download's "size not known"
    u.data("abc"), u.add(frame_type::file_end);
    u.file("given-up", 6), u.data("abc"), u.add(frame_type::given_up);
    u.failed = {more, less, unknown}, u.acked = u.add(frame_type::done, 4);
}
void cancelled(upload& u, const fs::path&) {
    u.whole("first", "1"), u.file("second", 3 * UPLOAD_BLOCK_SIZE);
    u.acked = u.data(big.substr(0, UPLOAD_BLOCK_SIZE)), u.add(frame_type::cancelled);
}
void cut_off(upload& u, const fs::path&) { u.file("cut", 9), u.acked = u.data("abc"); }
// 8 MB of names that each fail their file: what pullfile keeps of them must not grow with them.
void flood(upload& u, const fs::path&) {
    u.add(frame_type::prompting, 1);
    for (int i = 0; i < 2000; ++i) {
        u.failed.push_back(u.file(std::string(4000, 'n') + std::to_string(i), 1));
        u.data("xx"), u.add(frame_type::file_end);
    }
    u.acked = u.add(frame_type::done, 2000);
}
void nothing_chosen(upload& u, const fs::path&) { u.add(frame_type::nothing); }
void refused(upload& u, const fs::path&) { u.add(frame_type::refused); }

struct upload_case {
    const char* what;
    void (*build)(upload&, const fs::path& outside);
    int status;
    std::string said;  // in the summary
    std::map<std::string, std::string> saved;
    bool input_ends = false;  // else it stays open: pullfile must end by what it read
};

// A row a line, where it fits.
// clang-format off
const upload_case cases[] = {
    {"every size, folders, names reaching out", every_size, 0, "saved 6 files (1.0 MiB) in ",
     {{"empty", ""}, {"big.bin", shown(big)}, {"a/b/c.txt", "deep"}, {"up", "1"}, {"absolute", "2"}, {"c_/_[2J", "3"}}},
    {"a bad check, a cut frame and a lost frame each fail their file only", broken_frames, 255,
     "3 not saved: bad (the upload broke: a frame whose check", {{"good", "kept"}}},
    {"sizes that lie, a file given up; names shown escaped", sizes_that_lie, 1,
     "4 not saved: more\\e[31m (more bytes came for more\\e[31m than the 2 announced)", {}},
    {"cancelled mid-file", cancelled, 255, "cancelled on the sending side; saved 1 file (1 B) in ", {{"first", "1"}}},
    {"the input cut mid-file", cut_off, 255, "the input ended before the upload did; nothing of cut was kept", {}, true},
    {"a flood of files that fail", flood, 1, "2000 not saved: ", {}},
    {"nothing chosen", nothing_chosen, 1, "nothing was sent", {}},
    {"uploads refused", refused, 1, "(its pushfile-receive runs with --no-upload, or its configuration says upload = no)", {}},
};
// clang-format on

// 32 MB of file frames whose names are each 8000 bytes and whose files each fail: what pullfile
// keeps of them must not grow with them. The upload is written to a file a frame at a time, so that
// the test's own memory, which counts towards the child's peak, stays small; it runs first, before
// other tests leave their memory in this process.
TEST(pullfile, memory_stays_bounded_whatever_comes) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's own memory (its quarantine, its shadow) hides the program's";
#endif
    scratch_dir folder;
    const fs::path stream = folder.path / "stream";
    {
        std::ofstream out(stream, std::ios::binary);
        upload u;
        u.add(frame_type::prompting, 1);
        for (int i = 0; i < 4000; ++i) {
            u.file(std::string(8000, 'n') + std::to_string(i), 1), u.data("xx"), u.add(frame_type::file_end);
            out << u.text;
            u.text.clear();
        }
        u.add(frame_type::done, 4000);
        out << u.text;
    }
    const int input = open(stream.c_str(), O_RDONLY | O_CLOEXEC);
    const run_result result = receiver_run({"-d", folder.path.string()}, {.stdin_fd = input}).finish();
    close(input);
    EXPECT_EQ(result.status, 1) << result.errors.substr(0, 300);
    EXPECT_NE(result.errors.find("4000 not saved"), std::string::npos) << result.errors.substr(0, 300);
    std::cout << "pullfile peak RSS: " << result.max_rss_kib << " KiB\n";
    EXPECT_LT(result.max_rss_kib, 8192) << "memory grew with what came";
}

TEST(pullfile, saves_what_comes_whole_and_nothing_else) {
    (void)signal(SIGPIPE, SIG_IGN);  // pullfile may stop reading before all is written
    for (const upload_case& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir outside;
        const fs::path folder = outside.path / "in";
        fs::create_directory(folder);
        upload u;
        c.build(u, outside.path);
        int input[2];
        ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
        receiver_run run({"-d", folder.string()}, {.stdin_fd = input[0]});
        close(input[0]);
        (void)write_all(input[1], u.text.data(), u.text.size());
        if (c.input_ends) close(input[1]);
        const run_result result = run.finish();
        if (!c.input_ends) close(input[1]);

        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(files_beneath(folder), c.saved);
        EXPECT_EQ(names_in(outside.path), std::vector<std::string>{"in"});
        const messages seen(result.output);
        EXPECT_EQ(seen.stray, "");
        EXPECT_EQ(seen.failed, u.failed);
        EXPECT_EQ(seen.acks.empty() ? 0 : seen.acks.back(), u.acked);
        EXPECT_TRUE(std::is_sorted(seen.acks.begin(), seen.acks.end()));
        EXPECT_TRUE(result.output.ends_with("\x1b}fq" + std::to_string(c.status) + '\0'));
        // One line, saying what happened, with every name escaped (the reasons sent back are in it too).
        const auto control = [](char b) { return b >= 0 && b < ' ' && b != '\n'; };
        EXPECT_TRUE(result.errors.starts_with("pullfile: ") && std::ranges::count(result.errors, '\n') == 1 &&
                    std::ranges::none_of(result.errors, control) && result.errors.find(c.said) != std::string::npos)
            << result.errors;
    }
}

// Version 2: each file and folder gets the mode sent, within 0777 and the umask, and its time;
// a folder once its files are in, an empty one too, and one left open when the upload ends. A
// name cleaned is told as renamed.
TEST(pullfile, modes_and_times_arrive_with_files_and_folders) {
    scratch_dir folder;
    fs::create_directory(folder.path / "there");
    fs::permissions(folder.path / "there", fs::perms::owner_all);
    upload u;
    u.add(frame_type::prompting, 2);
    u.version = 2;
    u.folder("tree", {0555, 1000000000, 7});
    u.attributes = {0600, 1500000000, 123456789}, u.whole("tree/secret", "s");
    u.folder("tree/empty", {0700, 1400000000, 0});
    u.add(frame_type::folder_end);
    u.attributes = {07777, -86400, 1}, u.whole("tree/run", "r");
    u.add(frame_type::folder_end);
    u.folder("there", {0777, 5, 0});
    u.folder("open", {0750, 6, 0});  // its L never comes: another folder follows
    u.folder("open2", {0750, 7, 0});
    u.version = 1, u.whole(".hidden", "h");  // no mode or time: the default
    u.acked = u.add(frame_type::done, 3);
    int input[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    const mode_t saved_umask = umask(022);
    receiver_run run({"-d", folder.path.string()}, {.stdin_fd = input[0]});
    umask(saved_umask);
    close(input[0]);
    (void)write_all(input[1], u.text.data(), u.text.size());
    const run_result result = run.finish();
    close(input[1]);
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_NE(result.errors.find("1 renamed: .hidden as _hidden"), std::string::npos) << result.errors;
    const struct {
        const char* path;
        unsigned mode;
        std::int64_t seconds;
        long nanoseconds;
    } expected[] = {
        {"tree", 0555, 1000000000, 7},       {"tree/secret", 0600, 1500000000, 123456789},
        {"tree/empty", 0700, 1400000000, 0}, {"tree/run", 0755, -86400, 1},
        {"there", 0700, -1, 0},              {"open", 0750, 6, 0},
        {"open2", 0750, 7, 0},               {"_hidden", 0644, -1, 0},
    };
    for (const auto& e : expected) {
        struct stat info {};
        ASSERT_EQ(stat((folder.path / e.path).c_str(), &info), 0) << e.path;
        EXPECT_EQ(info.st_mode & 07777, e.mode) << e.path;
        if (e.seconds != -1) {
            EXPECT_EQ(info.st_mtim.tv_sec, e.seconds) << e.path;
            EXPECT_EQ(info.st_mtim.tv_nsec, e.nanoseconds) << e.path;
        }
    }
    fs::permissions(folder.path / "tree", fs::perms::owner_all);  // for the scratch folder's removal
}

// On a terminal: a key before any answer gives up, a signal mid-file removes the partial file and
// tells the other side, and either way the terminal's settings come back.
TEST(pullfile, a_terminal_is_given_back_as_it_was) {
    for (const bool signalled : {false, true}) {
        scratch_dir folder;
        child_options options;
        options.program = PULLFILE_BINARY;
        options.arguments = {"pullfile", "-d", folder.path};
        pty_peer peer(options);
        EXPECT_EQ(peer.read_through('\0'), "\x1b}fu" + std::to_string(UPLOAD_FORMAT_VERSION) + ";" + folder.path.string() + '\0');
        if (signalled) {
            upload u;
            u.add(frame_type::prompting, 1), u.file("sub/partial", 9);
            const std::string ack = "\x1b}fa" + std::to_string(u.data("abc")) + '\0';
            peer.send(u.text);
            for (std::string seen = "-"; !seen.empty() && seen != ack;) seen = peer.read_through('\0');
            peer.send_signal(SIGTERM);
        } else {
            for (int i = 0; i < 300 && !peer.error_output().ends_with("any key gives up\n"); ++i) peer.read_for(100ms);
            EXPECT_TRUE(peer.error_output().starts_with("pullfile: no terminal answered; run pushfile-receive"));
            peer.send("x");
        }
        const exit_status status = peer.wait();
        EXPECT_EQ(signalled ? status.signal : status.code, signalled ? SIGTERM : 255);
        // Where no receiver answered, the end message's text shown on the terminal is erased.
        EXPECT_EQ(peer.read_rest(), "\x1b}fq255"s + '\0' + (signalled ? "" : "\r\x1b[K"));
        EXPECT_TRUE(fs::is_empty(folder.path));  // the folder made for the file too
        EXPECT_EQ(settings_difference(peer.settings(), peer.initial_settings()), "");
    }
}

}  // namespace
