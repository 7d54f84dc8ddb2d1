// pushfile end to end: the built program on a pseudo-terminal, the test playing the terminal.
// Every expected stream is built here from the message rules, not from the program's own code.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/pty_peer.h"

namespace {

using namespace pushfile_test;
using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr std::size_t BLOCK = 37268;
const std::string ACCEPT = "k\0"s;
const std::string UNKNOWN_SIZE = "18446744073709551615";

std::string message(char code, const std::string& body) { return std::string("\x1b}f") + code + body + '\0'; }
std::string path_message(const std::string& path) { return message('r', path.substr(0, 12283)); }
std::string size_message(const std::string& size) { return message('s', size); }
const std::string END = message('x', "") + '\0';

std::string block_messages(const std::string& content) {
    std::string out;
    for (std::size_t at = 0; at < content.size(); at += BLOCK) {
        std::string letters;
        unsigned sum = 0;
        for (const char c : content.substr(at, BLOCK)) {
            const unsigned byte = static_cast<unsigned char>(c);
            for (const unsigned nibble : {byte >> 4U, byte & 15U}) {
                letters += static_cast<char>(0x40 + nibble);
                sum += 0x40 + nibble;
            }
        }
        out += message('d', std::to_string(sum) + ' ' + letters);
    }
    return out;
}

std::string sent(const std::string& path, const std::string& content) {
    return path_message(path) + size_message(std::to_string(content.size())) + block_messages(content) + END;
}
std::string unopened(const std::string& path) { return path_message(path) + END; }

std::string usage(const std::string& program) {
    return "Usage: " + program +
           "[-h] FILE1 [FILE2 ...]\n  Send file(s) to the terminal to save\n  -h or --help Display this help.\n\n";
}

// Every byte value appears, in an order that repeats no block.
std::string random_content(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i < 256 ? i : generator() & 0xFFU);
    return content;
}

// Plays the terminal: answers every size and block message, replies[i] for the i-th answer and
// "k" after that, until the output ends. Returns the whole stream.
std::string play(pty_peer& peer, const std::vector<std::string>& replies = {}) {
    std::string stream;
    std::size_t answered = 0;
    for (;;) {
        const std::string part = peer.read_through('\0');
        stream += part;
        if (part.empty() || part.back() != '\0') return stream;
        if (part.size() > 4 && part.compare(0, 3, "\x1b}f") == 0 && (part[3] == 's' || part[3] == 'd')) {
            peer.send(answered < replies.size() ? replies[answered] : ACCEPT);
            ++answered;
        }
    }
}

void expect_next(pty_peer& peer, const std::string& want) { EXPECT_EQ(peer.read_exact(want.size()), want); }

void expect_status(const exit_status& status, int code) {
    EXPECT_TRUE(status.exited) << "ended by signal " << status.signal;
    EXPECT_EQ(status.code, code);
}

// Settings no terminal starts with, so that a program that resets more than it should is seen.
void unusual_settings(termios& settings) {
    settings.c_iflag |= IGNBRK | INLCR | IXOFF | BRKINT | ICRNL | INPCK | ISTRIP | IXON | IMAXBEL;
    settings.c_oflag |= OPOST | ONLCR | ONLRET;
    // Linux ptys force CS8 without parity whatever is asked, so only the other bits can show here.
    settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | PARODD | CSTOPB | CLOCAL;
    settings.c_lflag |= ECHONL | ECHO | ICANON | IEXTEN | ISIG | NOFLSH;
    settings.c_cc[VMIN] = 5;
    settings.c_cc[VTIME] = 3;
    settings.c_cc[VINTR] = 0x18;
}

termios transfer_mode_of(termios settings) {
    settings.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8;
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return settings;
}

class sender : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/pushfile-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string at(const std::string& name) const { return dir_ + "/" + name; }
    std::string file(const std::string& name, const std::string& content) const {
        std::ofstream(at(name), std::ios::binary) << content;
        return at(name);
    }
    static child_options run(const std::vector<std::string>& paths) {
        child_options options;
        options.program = PUSHFILE_BINARY;
        options.arguments = {"pushfile"};
        options.arguments.insert(options.arguments.end(), paths.begin(), paths.end());
        return options;
    }

    std::string dir_;
};

TEST_F(sender, streams_files_byte_for_byte) {
    const std::string one = random_content(1, 1);
    const std::string full = random_content(BLOCK, 2);
    const std::string longer = random_content(2 * BLOCK + 100, 3);
    const std::vector<std::string> paths = {file("empty", ""), file("one", one), file("full", full),
                                            file("longer", longer)};
    pty_peer peer(run(paths));
    EXPECT_EQ(play(peer), sent(paths[0], "") + sent(paths[1], one) + sent(paths[2], full) + sent(paths[3], longer));
    expect_status(peer.wait(), 0);
    EXPECT_EQ(peer.error_output(), "");
}

TEST_F(sender, a_missing_file_between_others_is_announced_and_reported) {
    const std::string a = file("a", "alpha"), gone = at("gone"), b = file("b", random_content(300, 4));
    pty_peer peer(run({a, gone, b}));
    EXPECT_EQ(play(peer), sent(a, "alpha") + unopened(gone) + sent(b, random_content(300, 4)));
    expect_status(peer.wait(), 1);
    EXPECT_EQ(peer.error_output(), "pushfile: " + gone + ": No such file or directory\n");
}

// Nothing may follow a size or block message until the reply; an end message needs none. A slow
// first reply, only, brings a line that none came. A reply's bytes may come apart (serial lines).
TEST_F(sender, waits_for_each_reply) {
    const std::string big = random_content(BLOCK + 5, 5);
    const std::string first = file("big", big), second = file("small", "x");
    pty_peer peer(run({first, second}));
    expect_next(peer, path_message(first) + size_message(std::to_string(big.size())));
    for (int slice = 0; slice < 300 && peer.error_output().empty(); ++slice)
        EXPECT_EQ(peer.read_for(100ms), "") << "written before the size was answered";
    peer.send(ACCEPT);
    expect_next(peer, block_messages(big.substr(0, BLOCK)));
    EXPECT_EQ(peer.read_for(3500ms), "") << "written before the first block was answered";
    peer.send("k");
    std::this_thread::sleep_for(5ms);
    peer.send("\x15");
    expect_next(peer, block_messages(big.substr(BLOCK)));
    EXPECT_EQ(peer.read_for(300ms), "") << "written before the last block was answered";
    peer.send(ACCEPT);
    expect_next(peer, END + path_message(second) + size_message("1"));
    EXPECT_EQ(peer.read_for(300ms), "") << "written before the second file's size was answered";
    peer.send(ACCEPT);
    expect_next(peer, block_messages("x"));
    peer.send(ACCEPT);
    expect_next(peer, END);
    expect_status(peer.wait(), 0);
    EXPECT_TRUE(peer.error_output().starts_with("pushfile: no terminal answered; ")) << peer.error_output();
    EXPECT_EQ(std::ranges::count(peer.error_output(), '\n'), 1) << peer.error_output();
}

// Bytes a terminal line would act on in its normal mode pass as the reply's second byte.
TEST_F(sender, any_second_reply_byte_accepts) {
    const std::string seconds = "\0k\xff\x03\x13\x11\x1a\x7f\r\n\x04\x16"s;
    std::vector<std::string> paths, replies;
    std::string want;
    for (std::size_t i = 0; i < seconds.size(); ++i) {
        paths.push_back(file("f" + std::to_string(i), "data"));
        replies.insert(replies.end(), {std::string{'k', seconds[i]}, std::string{'k', seconds[i]}});
        want += sent(paths.back(), "data");
    }
    pty_peer peer(run(paths));
    EXPECT_EQ(play(peer, replies), want);
    expect_status(peer.wait(), 0);
}

TEST_F(sender, refused_reply_cuts_the_run_at_once) {
    const std::string second_content = random_content(BLOCK + 1, 6);
    const std::string a = file("a", "first"), b = file("b", second_content), c = file("c", "third");
    const std::string before = sent(a, "first") + path_message(b) + size_message(std::to_string(BLOCK + 1));
    struct refusal {
        std::vector<std::string> replies;
        std::string stream;
    };
    const refusal cases[] = {
        {{ACCEPT, ACCEPT, "Kk"}, before},  // at the second file's size
        {{ACCEPT, ACCEPT, ACCEPT, "\0k"s}, before + block_messages(second_content.substr(0, BLOCK))},
    };
    for (const refusal& r : cases) {
        pty_peer peer(run({a, b, c}));
        EXPECT_EQ(play(peer, r.replies), r.stream);
        expect_status(peer.wait(), 255);
        EXPECT_EQ(peer.error_output(), "Send Fail\n");
    }
}

// Before any answer, the end says that no terminal answered; after one, only the status tells.
TEST_F(sender, a_broken_reply_channel_cuts_the_run) {
    const std::string reply_like = "k\0 would pass for a reply"s;
    const std::string a = file("a", reply_like);
    const std::string announced = path_message(a) + size_message(std::to_string(reply_like.size()));
    const std::string no_answer = "pushfile: no terminal answered; run pushfile-receive";
    for (const bool answered_before : {false, true}) {  // a lone reply byte on the terminal
        pty_peer peer(run({a}));
        EXPECT_EQ(play(peer, answered_before ? std::vector{ACCEPT, "k"s} : std::vector{"k"s}),
                  announced + (answered_before ? block_messages(reply_like) : ""));
        expect_status(peer.wait(), 255);
        EXPECT_EQ(peer.error_output().substr(0, no_answer.size()), answered_before ? "" : no_answer);
    }
    // End of input, from an empty file and from a closed descriptor 0; the named file, which
    // would read as an accepting reply, must not become the reply channel.
    const std::string empty = file("empty-input", "");
    for (const input_source input : {input_source::file, input_source::closed}) {
        child_options options = run({a});
        options.input = input;
        options.input_file = empty;
        options.output = output_target::pipe;
        pty_peer peer(options);
        expect_status(peer.wait(), 255);
        EXPECT_EQ(peer.read_rest(), announced);
        EXPECT_EQ(peer.error_output().substr(0, no_answer.size()), no_answer);
    }
}

TEST_F(sender, transfer_mode_changes_only_the_listed_settings_and_is_undone) {
    const std::string content = "some content";
    const std::string a = file("a", content);
    enum class ending { completed, refused, lone_reply_byte, broken_pipe };
    for (const ending way : {ending::completed, ending::refused, ending::lone_reply_byte, ending::broken_pipe}) {
        SCOPED_TRACE("ending " + std::to_string(static_cast<int>(way)));
        child_options options = run({a});
        options.adjust_settings = unusual_settings;
        if (way == ending::broken_pipe) {
            options.output = output_target::pipe;
            options.ignore_sigpipe = true;
        }
        pty_peer peer(options);
        const termios& before = peer.initial_settings();
        ASSERT_TRUE((before.c_iflag & (IGNBRK | INLCR | IXOFF)) == (IGNBRK | INLCR | IXOFF) &&
                    (before.c_lflag & ECHONL) != 0 && (before.c_cflag & (PARODD | CSTOPB)) == (PARODD | CSTOPB))
            << "the terminal did not take the unusual settings";

        expect_next(peer, path_message(a) + size_message(std::to_string(content.size())));
        EXPECT_EQ(settings_difference(peer.settings(), transfer_mode_of(before)), "") << "while a reply is awaited";
        switch (way) {
            case ending::completed:
                peer.send(ACCEPT);
                expect_next(peer, block_messages(content));
                peer.send(ACCEPT);
                expect_next(peer, END);
                break;
            case ending::refused: peer.send("no"); break;
            case ending::lone_reply_byte: peer.send("k"); break;
            case ending::broken_pipe:
                peer.close_output_reader();
                peer.send(ACCEPT);
                break;
        }
        expect_status(peer.wait(), way == ending::completed ? 0 : 255);
        EXPECT_EQ(settings_difference(peer.settings(), before), "") << "after the end";
    }
}

TEST_F(sender, broken_pipe_with_sigpipe_at_default_ends_by_the_signal) {
    const std::string a = file("a", "content");
    child_options options = run({a});
    options.output = output_target::pipe;
    pty_peer peer(options);
    expect_next(peer, path_message(a) + size_message("7"));
    peer.close_output_reader();
    peer.send(ACCEPT);
    const exit_status status = peer.wait();
    EXPECT_FALSE(status.exited);
    EXPECT_EQ(status.signal, SIGPIPE);
}

// An ending signal puts the terminal back and still ends the program; one that was ignored at
// start stays ignored (negative here).
TEST_F(sender, ending_signals_restore_the_terminal_unless_ignored) {
    const std::string a = file("a", "content");
    for (const int signal_number : {SIGTERM, SIGHUP, SIGINT, -SIGINT}) {
        child_options options = run({a});
        if (signal_number < 0) options.ignored_signals = {-signal_number};
        pty_peer peer(options);
        expect_next(peer, path_message(a) + size_message("7"));
        peer.send_signal(std::abs(signal_number));
        if (signal_number < 0) peer.send("no");  // a refusal ends it normally
        EXPECT_EQ(peer.wait().signal, std::max(signal_number, 0));
        EXPECT_EQ(settings_difference(peer.settings(), peer.initial_settings()), "") << signal_number;
    }
    // timeout (not leading the session) runs it in the background, stopped as it sets the terminal.
    child_options options = run({});
    options.program = "/bin/sh";
    options.arguments = {"sh", "-c", "timeout 1 " PUSHFILE_BINARY " " + a + "; exit $?"};
    expect_status(pty_peer(options).wait(), 124);
}

TEST_F(sender, help_anywhere_shows_usage_and_leaves_the_terminal_alone) {
    const std::string a = file("a", "never sent");
    const std::vector<std::vector<std::string>> cases = {
        {"pushfile"},
        {"pushfile", "-h"},
        {"pushfile", "--help"},
        {"pushfile", a, "-h", a},
        {"pushfile", a, a, "--help"},
        {"-h", a},
        {"--help"},
        {"/opt/bin/pf"},
    };
    for (const auto& arguments : cases) {
        child_options options = run({});
        options.arguments = arguments;
        options.output = output_target::pipe;
        options.adjust_settings = unusual_settings;
        pty_peer peer(options);
        expect_status(peer.wait(), 0);
        EXPECT_EQ(peer.read_rest(), usage(arguments[0])) << "argv[0] " << arguments[0] << ", " << arguments.size();
        EXPECT_EQ(peer.error_output(), "");
        EXPECT_EQ(settings_difference(peer.settings(), peer.initial_settings()), "");
    }
}

TEST_F(sender, other_dash_arguments_are_paths) {
    file("-hx", "one");
    file("-", "two");
    child_options options = run({"-hx", "-", "--", "-x", "--helpx", "-H"});
    options.working_directory = dir_;
    pty_peer peer(options);
    EXPECT_EQ(play(peer), sent("-hx", "one") + sent("-", "two") + unopened("--") + unopened("-x") +
                              unopened("--helpx") + unopened("-H"));
    expect_status(peer.wait(), 1);
    std::string want_errors;
    for (const char* path : {"--", "-x", "--helpx", "-H"})
        want_errors += std::string("pushfile: ") + path + ": No such file or directory\n";
    EXPECT_EQ(peer.error_output(), want_errors);
}

// A FIFO has no size to tell; its data is sent as each read finds it.
TEST_F(sender, fifo_announces_unknown_size_and_streams) {
    const std::string fifo = at("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pty_peer peer(run({fifo}));
    expect_next(peer, path_message(fifo));
    // Opening for writing succeeds once the program has the FIFO open for reading.
    int writer = -1;
    for (auto deadline = std::chrono::steady_clock::now() + HANG_GUARD;
         writer < 0 && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(5ms))
        writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0) << "the program never opened the FIFO";
    ASSERT_EQ(write(writer, "first part", 10), 10);
    expect_next(peer, size_message(UNKNOWN_SIZE));
    peer.send(ACCEPT);
    expect_next(peer, block_messages("first part"));
    ASSERT_EQ(write(writer, "second", 6), 6);
    close(writer);
    peer.send(ACCEPT);
    expect_next(peer, block_messages("second"));
    peer.send(ACCEPT);
    expect_next(peer, END);
    expect_status(peer.wait(), 0);
}

// A small non-blocking pipe read slowly makes nearly every write meet EAGAIN.
TEST_F(sender, nonblocking_output_read_slowly_stays_intact) {
    const std::string longer = random_content(2 * BLOCK + 100, 7);
    const std::string a = file("a", longer), b = file("b", "tail");
    child_options options = run({a, b});
    options.output = output_target::nonblocking_pipe;
    options.pipe_capacity = 4096;
    pty_peer peer(options);
    peer.set_read_pacing(1000, 1ms);
    EXPECT_EQ(play(peer), sent(a, longer) + sent(b, "tail"));
    expect_status(peer.wait(), 0);
    EXPECT_EQ(peer.error_output(), "");
}

// The process's own memory opens, cannot seek to an end, and fails its first read (address 0 is
// not mapped); that read failure, like a missing file, is reported after the run with the path's
// control bytes escaped, while the wire carries the path unchanged.
TEST_F(sender, unreadable_files_are_reported_after_the_run) {
    const std::string unreadable = "/proc/self/mem";
    const std::string gone = at("gone"), strange = at("bad\x1b[2J\n\x07name\xff");
    const std::string a = file("a", "fine");
    pty_peer peer(run({unreadable, gone, a, strange}));
    EXPECT_EQ(play(peer), path_message(unreadable) + size_message(UNKNOWN_SIZE) + END + unopened(gone) +
                              sent(a, "fine") + unopened(strange));
    expect_status(peer.wait(), 1);
    EXPECT_EQ(peer.error_output(), "pushfile: " + unreadable + ": Input/output error\npushfile: " + gone +
                                       ": No such file or directory\npushfile: " + dir_ +
                                       "/bad\\e[2J\\n\\x07name\\xff: No such file or directory\n");
}

// A file that changes size between its size message and its reads is sent as far as its reads go,
// with the stream unchanged. Ending short of the size announced fails that file, reported after
// the run; growing past it does not. (A FIFO's unknown size never fails: see the FIFO test.)
TEST_F(sender, a_file_ending_before_its_announced_size_is_reported_after_the_run) {
    const std::string content = random_content(2 * BLOCK + 100, 8);
    struct resize {
        std::size_t size;  // the file's size once its size message has gone out
        int status;
        std::string error;
    };
    const resize cases[] = {
        {BLOCK + 10, 1, "only 37278 of the 74636 bytes announced could be read"},
        {0, 1, "only 0 of the 74636 bytes announced could be read"},
        {3 * BLOCK, 0, ""},
    };
    for (const resize& r : cases) {
        SCOPED_TRACE("resized to " + std::to_string(r.size));
        const std::string changing = file("changing\x07", content), next = file("next", "after");
        pty_peer peer(run({changing, next}));
        expect_next(peer, path_message(changing) + size_message(std::to_string(content.size())));
        std::filesystem::resize_file(changing, r.size);  // growing adds zero bytes
        peer.send(ACCEPT);
        std::string read_content = content.substr(0, r.size);
        read_content.resize(r.size, '\0');
        EXPECT_EQ(play(peer), block_messages(read_content) + END + sent(next, "after"));
        expect_status(peer.wait(), r.status);
        EXPECT_EQ(peer.error_output(),
                  r.error.empty() ? "" : "pushfile: " + dir_ + "/changing\\x07: " + r.error + "\n");
    }
}

TEST_F(sender, cut_off_after_a_failed_file_still_ends_with_send_fail) {
    const std::string gone = at("gone"), a = file("a", "content");
    pty_peer peer(run({gone, a}));
    EXPECT_EQ(play(peer, {"x\0"s}), unopened(gone) + path_message(a) + size_message("7"));
    expect_status(peer.wait(), 255);
    EXPECT_EQ(peer.error_output(), "pushfile: " + gone + ": No such file or directory\nSend Fail\n");
}

TEST_F(sender, over_long_path_message_is_cut_to_12288_bytes) {
    const std::string path = at(std::string(12300, 'x'));
    pty_peer peer(run({path}));
    const std::string stream = play(peer);
    EXPECT_EQ(stream, unopened(path));
    EXPECT_EQ(stream.size(), 12288 + END.size());
    expect_status(peer.wait(), 1);
    const std::string& errors = peer.error_output();
    EXPECT_EQ(errors.rfind("pushfile: " + dir_ + "/xxxxxxxx", 0), 0U) << errors.substr(0, 80);
    EXPECT_TRUE(errors.ends_with(": File name too long\n")) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1);
}

// Folders: every regular file beneath, by name in byte order, depth first, under the folder's
// own name; links and special files inside are skipped, one line each.
TEST_F(sender, a_folder_sends_its_files_by_name_depth_first_and_skips_links_and_fifos) {
    const std::string big = random_content(3 * 1000 * 1000 + 7, 9);
    for (const char* folder : {"tree", "tree/a", "tree/a/deeper", "tree/\xc3\xa9"})
        std::filesystem::create_directory(at(folder));
    // In the order they are sent ("a/" before "a b" and "a.txt": names, not whole paths), written
    // the other way round.
    const std::vector<std::pair<std::string, std::string>> files = {
        {"tree/B", "upper"},       {"tree/a/deeper/na\xc3\xafve \xc3\xa9.txt", "three levels"},
        {"tree/a/x", ""},          {"tree/a b", "space"},
        {"tree/a.txt", "after a"}, {"tree/big", big},
        {"tree/empty", ""},        {"tree/\xc3\xa9/\xc3\xbc", "u"}};
    std::string want;
    for (auto file_at = files.rbegin(); file_at != files.rend(); ++file_at) file(file_at->first, file_at->second);
    for (const auto& [path, content] : files) want += sent(path, content);

    // Named with a trailing slash: the same name, from its real path.
    pty_peer peer(run({at("tree") + "/"}));
    EXPECT_EQ(play(peer), want);
    expect_status(peer.wait(), 0);
    EXPECT_EQ(peer.error_output(), "");

    ASSERT_EQ(symlink(file("outside", "not beneath").c_str(), at("tree/a/link").c_str()), 0);
    ASSERT_EQ(symlink(".", at("tree/a/loop").c_str()), 0);
    ASSERT_EQ(mkfifo(at("tree/fifo").c_str(), 0600), 0);
    child_options options = run({"tree/a/.."});
    options.working_directory = dir_;
    pty_peer again(options);
    EXPECT_EQ(play(again), want);
    expect_status(again.wait(), 1);
    EXPECT_EQ(again.error_output(),
              "pushfile: tree/a/../a/link: skipped: a symbolic link, not followed\n"
              "pushfile: tree/a/../a/loop: skipped: a symbolic link, not followed\n"
              "pushfile: tree/a/../fifo: skipped: a FIFO\n");
}

// Depth first by name is the order of the paths' parts compared one by one.
bool in_walk_order(const std::string& a, const std::string& b) {
    const auto parts = [](const std::string& path) {
        std::vector<std::string> split(1);
        for (const char c : path) {
            if (c == '/')
                split.emplace_back();
            else
                split.back().push_back(c);
        }
        return split;
    };
    const std::vector<std::string> first = parts(a), second = parts(b);
    return std::lexicographical_compare(first.begin(), first.end(), second.begin(), second.end());
}

// More names than one listing holds, folders whose names left to send fill the room kept for
// them, and folders deeper than those kept at all: nothing lost, nothing twice, the order kept.
TEST_F(sender, a_wide_and_deep_folder_is_walked_in_order) {
    std::vector<std::string> paths;
    std::string folder = "wide";
    for (int level = 0; level < 70; ++level, folder += "/d") {
        std::filesystem::create_directory(at(folder));
        paths.insert(paths.end(), {folder + "/c", folder + "/e"});
        for (int i = 0; level >= 1 && level <= 4 && i < 300; ++i)
            paths.push_back(folder + "/" + std::string(190, 'x') + std::to_string(i * 7 % 300));
    }
    for (int i = 0; i < 5000; ++i) paths.push_back("wide/name-of-some-length-" + std::to_string(i * 7919 % 10007));
    for (const std::string& path : paths) file(path, "");
    std::sort(paths.begin(), paths.end(), in_walk_order);
    std::string want;
    for (const std::string& path : paths) want += sent(path, "");

    child_options options = run({"wide"});
    options.working_directory = dir_;
    pty_peer peer(options);
    EXPECT_TRUE(play(peer) == want) << "the stream differs";
    expect_status(peer.wait(), 0);
}

}  // namespace
