#include "receiver/session/session.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/file_hash.h"
#include "common/upload_encoding.h"
#include "receiver/relay/screen_writer.h"
#include "receiver/session/clipboard_channel.h"
#include "receiver/session/typed_echo.h"
#include "tests/support/stream_builder.h"
#include "transfer/clipboard_replies.h"
#include "transfer/upload_frames.h"

// The sink's temporary files are named here, as on a file system without unnamed ones, so that a
// file given up whose temporary is left behind shows in the directory.
extern "C" int openat(int directory_fd, const char* path, int flags, ...) {
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    return static_cast<int>(syscall(SYS_openat, directory_fd, path, flags, mode));
}

namespace {

namespace fs = std::filesystem;
using namespace pushfile;
using namespace pushfile::receive;
using namespace pushfile_test;

constexpr std::size_t BLOCK = 37268;

// Everything appended, in order. Normally each append is taken at once; while held, the bytes
// stay queued (a command that reads nothing) and discard_queued() drops them, but for the rest of
// an append partly taken (taken set inside it); drop_all() drops that rest too.
class collected_bytes final : public input_sink {
public:
    void append(const unsigned char* bytes, std::size_t length) override {
        text.append(reinterpret_cast<const char*>(bytes), length);
        if (!held) taken = text.size();
        append_ends.push_back(text.size());
    }
    void discard_queued() override {
        const auto end_after = std::upper_bound(append_ends.begin(), append_ends.end(), taken);
        const std::size_t start = end_after == append_ends.begin() ? 0 : *(end_after - 1);
        keep(end_after != append_ends.end() && start < taken ? *end_after : taken);
    }
    void drop_all() override { keep(taken); }
    void keep(std::size_t length) {
        text.resize(length);
        while (!append_ends.empty() && append_ends.back() > length) append_ends.pop_back();
    }
    // The room a queue of 256 KiB has left.
    std::size_t free() const { return (std::size_t{256} << 10) - (text.size() - taken); }
    void clear() {
        text.clear();
        taken = 0;
        append_ends.clear();
    }
    std::string text;
    std::size_t taken = 0;
    std::vector<std::size_t> append_ends;
    bool held = false;
};

// A session over a fresh directory, fed like the relay feeds it, with the lines it shows the user
// written through a screen writer of their own to a memory file.
class session_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pushfile-session-XXXXXX";
        directory = mkdtemp(pattern);
        messages_fd = memfd_create("messages", 0);
    }
    void TearDown() override {
        session.reset();
        progress.reset();
        lines_writer.reset();
        sink.reset();
        close(messages_fd);
        fs::remove_all(directory);
    }

    // A fresh session over an emptied directory, for the next row of a table.
    void restart(session_options options = {}) {
        session.reset();
        progress.reset();
        lines_writer.reset();
        sink.reset();
        for (const auto& entry : fs::directory_iterator(directory)) fs::remove_all(entry.path());
        ASSERT_EQ(ftruncate(messages_fd, 0), 0);
        screen.clear();
        replies.clear();
        start(options);
    }

    void start(session_options options = {}) {
        sink = std::make_unique<file_sink>(directory.string());
        ASSERT_TRUE(sink->ok());
        lines_writer = std::make_unique<screen_writer>(messages_fd, messages_fd);
        progress = std::make_unique<progress_display>(*lines_writer, false);
        options.directory = directory.string();
        session = std::make_unique<transfer_session>(*sink, *progress, options, screen, replies);
    }

    void feed(const std::string& stream) {
        session->command_output(reinterpret_cast<const unsigned char*>(stream.data()), stream.size());
    }

    void press(const std::string& keys) {
        session->keyboard(reinterpret_cast<const unsigned char*>(keys.data()), keys.size());
    }

    // The relay's tick once the command has been quiet for a long while.
    void tick_after_quiet() { session->tick(monotonic_clock::now() + std::chrono::seconds(5)); }

    std::string shown() const {
        lines_writer->flush(monotonic_clock::now() + std::chrono::seconds(5));
        std::string text(static_cast<std::size_t>(lseek(messages_fd, 0, SEEK_END)), '\0');
        pread(messages_fd, text.data(), text.size(), 0);
        return text;
    }

    // How many outcome lines tell of a file saved.
    std::size_t saved_lines() const {
        const std::string text = shown();
        std::size_t count = 0;
        for (std::size_t at = text.find(": saved "); at != std::string::npos; at = text.find(": saved ", at + 1)) {
            ++count;
        }
        return count;
    }

    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string contents(const std::string& name) const {
        std::ifstream in(directory / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    static std::string answers(const std::string& pattern) {
        std::string text;
        for (const char c : pattern) {
            text.append(reinterpret_cast<const char*>(c == 'k' ? pushfile::REPLY_ACCEPTED : pushfile::REPLY_REFUSED),
                        pushfile::REPLY_LENGTH);
        }
        return text;
    }

    fs::path directory;
    int messages_fd = -1;
    std::unique_ptr<file_sink> sink;
    std::unique_ptr<screen_writer> lines_writer;
    std::unique_ptr<progress_display> progress;
    std::unique_ptr<transfer_session> session;
    collected_bytes screen;
    collected_bytes replies;
};

TEST_F(session_test, saves_files_answers_each_message_and_shows_the_rest) {
    start();
    const std::string data(37268 + 5, 'd');
    feed("$ pushfile a b\r\n" + path_message("/dir/a"));
    press("ls\r");  // kept for the command until the sender's run is over
    feed(file_stream("/dir/a", data).substr(path_message("/dir/a").size()) + file_stream("b", "") + "$ ");
    EXPECT_EQ(screen.text, "$ pushfile a b\r\n$ ");
    EXPECT_EQ(replies.text, answers("kkk") + answers("k"));
    tick_after_quiet();
    EXPECT_EQ(replies.text, answers("kkkk") + "ls\r");
    EXPECT_EQ(files(), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(contents("a") == data);
    EXPECT_EQ(contents("b"), "");
    EXPECT_NE(shown().find("saved /dir/a (36.4 KiB) as " + directory.string() + "/a"), std::string::npos) << shown();
    EXPECT_EQ(saved_lines(), 2U) << shown();
    // A tree is summed up as soon as the command speaks again, ahead of what it says.
    feed(file_stream("t/x", "x") + file_stream("t/y", "y") + "$ ");
    EXPECT_NE(shown().find("saved 2 files (2 B) in " + directory.string() + "/t\n"), std::string::npos) << shown();
    // Named as renamed: saved under another path than the one sent, its name taken or cleaned.
    feed(file_stream("./t//w", "w") + file_stream("t/x", "x") + file_stream("t/.z", "z") + "$ ");
    EXPECT_NE(
        shown().find("saved 3 files (3 B) in " + directory.string() + "/t; 2 renamed: t/x as t/x.1, t/.z as t/_z\n"),
        std::string::npos)
        << shown();
}

TEST_F(session_test, broken_transfers_are_refused_and_leave_nothing) {
    struct broken {
        std::string name;
        std::string stream;
        std::string expected_replies;
        std::string reason;
        std::string shown_after = "";  // a broken message is shown whole, as ordinary output
        std::vector<std::string> saved = {};
    };
    const std::string good_block = block_message("abc");
    const broken cases[] = {
        {"bad letter", path_message("f") + size_message(3) + "\x1b}fd408 FAFBFZ" + '\0' + end_message(), "kn",
         "not a letter", std::string("\x1b}fd408 FAFBFZ\0", 15)},
        {"less than announced", path_message("f") + size_message(4) + good_block + end_message(), "kk",
         "the sender stopped after 3 of its 4 bytes and could not send the rest"},
        {"second path mid-file",
         path_message("f") + size_message(6) + good_block + file_stream("g", "x"),
         "kkkk",
         "a new file began before this one ended",
         "",
         {"g"}},
        {"size twice", path_message("f") + size_message(3) + size_message(3) + good_block + end_message(), "kn",
         "a second size message came"},
    };
    for (const broken& test : cases) {
        SCOPED_TRACE(test.name);
        restart();
        feed(test.stream + "after");
        EXPECT_EQ(replies.text, answers(test.expected_replies));
        EXPECT_NE(shown().find("f not saved: "), std::string::npos) << shown();
        EXPECT_NE(shown().find(test.reason), std::string::npos) << shown();
        EXPECT_EQ(files(), test.saved);
        EXPECT_EQ(screen.text, test.shown_after + "after") << "later output passes through";
    }
}

TEST_F(session_test, messages_without_a_file_are_not_answered) {
    start();
    feed(path_message("gone") + end_message());
    EXPECT_EQ(replies.text, "");
    EXPECT_NE(shown().find("gone not saved: the sender could not read it"), std::string::npos);
    // Nothing waits for these: an answer would reach whatever reads next.
    feed(size_message(3) + block_message("abc") + end_message());
    EXPECT_EQ(replies.text, "");
    EXPECT_TRUE(files().empty());
    // Told about once the output pauses, in one line however many came.
    EXPECT_TRUE(session->wants_ticks());
    tick_after_quiet();
    EXPECT_NE(shown().find("ignored a file size that came without a file name and 1 more stray or broken transfer "
                           "messages\n"),
              std::string::npos)
        << shown();
}

TEST_F(session_test, max_size_shows_the_exact_limit_when_rounding_hides_the_difference) {
    session_options options;
    options.max_size = std::uint64_t{5} << 20;
    start(options);
    feed(path_message("near") + size_message((std::uint64_t{5} << 20) + 1));
    EXPECT_NE(shown().find("near not saved: it is larger than the limit of 5242880 bytes"), std::string::npos)
        << shown();
    feed(path_message("far") + size_message(std::uint64_t{6} << 20));
    EXPECT_NE(shown().find("far not saved: it is larger than the limit of 5.0 MiB"), std::string::npos) << shown();
}

TEST_F(session_test, max_size_refuses_before_any_data) {
    session_options options;
    options.max_size = 10;
    start(options);
    feed(path_message("big") + size_message(11));
    EXPECT_EQ(replies.text, answers("n"));
    // A file of unknown size is held to the limit as its data comes.
    feed(path_message("pipe") + size_message(UINT64_MAX) + block_message("0123456789") + block_message("x"));
    EXPECT_EQ(replies.text, answers("n") + answers("kkn"));
    EXPECT_TRUE(files().empty());
    EXPECT_NE(shown().find("larger than the limit of 10 B"), std::string::npos) << shown();
}

TEST_F(session_test, ask_saves_skips_or_stops_and_keys_are_held_back_during_transfers) {
    session_options options;
    options.ask = true;
    start(options);
    EXPECT_FALSE(session->wants_keyboard());
    feed(path_message("first") + size_message(3));
    EXPECT_EQ(replies.text, "") << "no answer before the user's";
    EXPECT_TRUE(session->wants_keyboard());
    press("\r");
    EXPECT_EQ(replies.text, "") << "only the offered answers count";
    press("q");
    EXPECT_EQ(replies.text, answers("n"));
    EXPECT_NE(shown().find("first not saved: declined"), std::string::npos);

    // Skipping takes the data and drops it, so that the sender goes on with its next file.
    replies.clear();
    feed(path_message("skipped") + size_message(2 * BLOCK));
    press("n");
    feed(block_message(std::string(BLOCK, 's')) + block_message(std::string(BLOCK, 's')) + end_message());
    EXPECT_EQ(replies.text, answers("kkk"));
    EXPECT_NE(shown().find("skipped skipped"), std::string::npos) << shown();

    replies.clear();
    feed(path_message("second") + size_message(6));
    press("y");
    feed(block_message("abc"));
    press("\x03");  // Ctrl-C during the transfer cancels it
    feed(block_message("def") + end_message());
    EXPECT_EQ(replies.text, answers("kkn"));
    EXPECT_NE(shown().find("second not saved: cancelled"), std::string::npos) << shown();
    EXPECT_TRUE(files().empty());
    EXPECT_FALSE(session->wants_keyboard());
}

TEST_F(session_test, ask_declines_when_the_keyboard_has_ended) {
    session_options options;
    options.ask = true;
    start(options);
    feed(path_message("waiting") + size_message(3));
    session->keyboard_ended();
    EXPECT_EQ(replies.text, answers("n")) << "the sender is not left waiting for ever";
    feed(path_message("later") + size_message(3));
    EXPECT_EQ(replies.text, answers("nn"));
    EXPECT_NE(shown().find("later not saved: no answer can come"), std::string::npos) << shown();
}

TEST_F(session_test, output_ending_mid_file_saves_nothing) {
    start();
    feed(path_message("cut") + size_message(6) + block_message("abc"));
    session->output_ended(nullptr);
    EXPECT_TRUE(files().empty());
    EXPECT_NE(shown().find("cut not saved: the command's output ended before the file did"), std::string::npos);
}

TEST_F(session_test, a_prefix_held_back_at_the_end_or_through_a_pause_is_shown_after_all) {
    start();
    feed("done\x1b}");
    EXPECT_EQ(screen.text, "done");
    session->output_ended(nullptr);
    EXPECT_EQ(screen.text, "done\x1b}");

    restart();
    const std::string fragment = "\x1b}frQQQ path with no end\r\n$ ";
    feed("L13 " + fragment);
    EXPECT_EQ(screen.text, "L13 ");
    EXPECT_TRUE(session->wants_ticks());
    tick_after_quiet();
    EXPECT_EQ(screen.text, "L13 " + fragment) << "the prompt waited for the rest of a message";
    feed(file_stream("f", "abc"));
    EXPECT_EQ(contents("f"), "abc") << "messages are found again after it";
}

TEST_F(session_test, hostile_names_are_shown_escaped) {
    start();
    feed(file_stream("\x1b]0;title\x07\x1b[2J", "x"));
    const std::string text = shown();
    EXPECT_EQ(text.find('\x07'), std::string::npos);
    EXPECT_EQ(text.find("\x1b]"), std::string::npos);
    EXPECT_NE(text.find("\\e]0;title\\x07\\e[2J"), std::string::npos) << text;
}

// Answers ahead: fed one message at a time, the way a sender that reads each answer writes them.

std::size_t answer_count(const collected_bytes& replies) { return replies.text.size() / 2; }

TEST_F(session_test, no_block_that_may_complete_the_file_is_answered_before_it_came) {
    struct shape {
        const char* name;
        std::size_t size;
        std::vector<std::size_t> blocks;  // cycled until the size is reached
        bool ahead = true;
    };
    const shape shapes[] = {
        {"full blocks", 5 * BLOCK + 7, {BLOCK}},
        {"exact blocks", 4 * BLOCK, {BLOCK}},
        {"short blocks", 6 * BLOCK, {BLOCK - 1}},
        {"small then full", 3 * BLOCK + 100, {100, 100, BLOCK}},
        {"one block", 500, {BLOCK}},
        {"answers on arrival", 4 * BLOCK + 1, {BLOCK}, false},
    };
    for (const shape& test : shapes) {
        SCOPED_TRACE(test.name);
        session_options options;
        options.answer_ahead = test.ahead;
        restart(options);
        std::string data(test.size, '\0');
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 300);

        feed(path_message("f") + size_message(data.size()));
        std::size_t messages = 1;
        std::size_t most_ahead = 0;
        std::size_t offset = 0;
        for (std::size_t turn = 0; offset < data.size(); ++turn) {
            const std::size_t length = std::min(test.blocks[turn % test.blocks.size()], data.size() - offset);
            const bool last = offset + length == data.size();
            if (last) {
                EXPECT_LE(answer_count(replies), messages) << "the last block was answered before it came";
                EXPECT_FALSE(fs::exists(directory / "f"));
            }
            ASSERT_GE(answer_count(replies), messages) << "a message the sender waits on was not answered";
            most_ahead = std::max(most_ahead, answer_count(replies) - messages);
            feed(block_message(data.substr(offset, length)));
            offset += length;
            ++messages;
        }
        EXPECT_EQ(replies.text, answers(std::string(messages, 'k')));
        EXPECT_EQ(files(), std::vector<std::string>{"f"}) << "saved before the last answer";
        EXPECT_TRUE(contents("f") == data);
        feed(end_message());
        EXPECT_EQ(answer_count(replies), messages);
        EXPECT_EQ(saved_lines(), 1U) << shown();
        if (!test.ahead || test.size <= BLOCK) {
            EXPECT_EQ(most_ahead, 0U);
        } else {
            EXPECT_GT(most_ahead, 0U) << "nothing was answered ahead";
        }
    }
}

TEST_F(session_test, a_failure_with_answers_outstanding_refuses_after_them) {
    const std::string data(6 * BLOCK, 'x');
    const std::string block = block_message(data.substr(0, BLOCK));
    std::string bad = block;
    bad[bad.size() - 2] = 'Z';  // no letter: the block is broken

    start();
    feed(path_message("f") + size_message(data.size()) + block);
    const std::size_t accepted = answer_count(replies);
    ASSERT_GT(accepted, 3U);
    feed(bad);
    EXPECT_EQ(replies.text, answers(std::string(accepted, 'k') + "n"));
    // The sender writes one message for each answer it has still to read; those are dropped.
    for (std::size_t i = 2; i < accepted; ++i) feed(block);
    EXPECT_EQ(replies.text, answers(std::string(accepted, 'k') + "n")) << "answered twice";
    EXPECT_TRUE(files().empty());
    EXPECT_NE(shown().find("f not saved: the transfer broke"), std::string::npos) << shown();
}

// The keyboard is never lost: Ctrl-C gives up on a file at once, and so does a key pressed once the
// sender has gone quiet (killed, or reading a terminal that gives nothing); that key goes on to the
// command.
TEST_F(session_test, ctrl_c_or_a_key_after_a_quiet_sender_gives_the_keyboard_back) {
    const std::string data(6 * BLOCK, 'x');
    for (const bool interrupt : {true, false}) {
        SCOPED_TRACE(interrupt ? "Ctrl-C" : "a key after a pause");
        restart();
        feed(path_message("f") + size_message(data.size()) + block_message(data.substr(0, BLOCK)));
        const std::string answered = replies.text;
        ASSERT_TRUE(session->wants_keyboard());
        press("ab");  // kept for the command
        // A block lost on the way leaves both sides waiting: the way out is told.
        session->tick(pushfile::monotonic_clock::now() + std::chrono::seconds(6));
        EXPECT_NE(shown().find("f: nothing has come from the sender for 5 s; Ctrl-C cancels"), std::string::npos);
        if (!interrupt) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        press(interrupt ? "\x03" : "q");
        EXPECT_FALSE(session->wants_keyboard()) << "later keys are still kept from the command";
        // A cancel refuses at once: the answer the sender waits for may have been taken back,
        // or its block lost on the way.
        EXPECT_EQ(replies.text, answered + (interrupt ? answers("n") + "ab" : "abq"));
        EXPECT_TRUE(files().empty());
        EXPECT_NE(shown().find(interrupt ? "f not saved: cancelled" : "f not saved: given up"), std::string::npos)
            << shown();
        // A sender still going is refused at its next message, whatever went out ahead, and only
        // once: it stops at the first refusal, and the rest would reach whatever reads next.
        replies.clear();
        feed(block_message(data.substr(0, BLOCK)) + block_message(data.substr(0, BLOCK)));
        EXPECT_EQ(replies.text, interrupt ? "" : answers("n"));
        // A second Ctrl-C soon after a cancel is the command's, which may keep naming files.
        replies.clear();
        feed(path_message("x"));
        press("\x03");
        EXPECT_EQ(replies.text, interrupt ? "\x03" : "");
    }
}

// The command's terminal as the session changes it.
struct terminal_calls final : command_terminal {
    void hold_for_transfer() override { held = true; }
    void release_after_transfer() override { held = false; }
    void drop_unread_and_release() override { ++drops; }
    bool release_pending() const override { return false; }
    bool take_bottom_row() override { return false; }
    void give_bottom_row_back() override {}
    bool held = false;
    int drops = 0;
};

// Line mode is off only while answers are written (a shell's line editor that saw it off would
// keep it); a broken transfer takes back the answers nobody read, for no later reader to get.
TEST_F(session_test, line_mode_is_off_only_for_answers_and_a_broken_transfer_takes_them_back) {
    terminal_calls terminal;
    start();
    session->command_started(terminal);
    const std::string block = block_message(std::string(BLOCK, 'x'));
    feed(path_message("f") + size_message(6 * BLOCK) + block);
    EXPECT_FALSE(terminal.held);
    feed(block.substr(0, 99) + "Killed\n");
    EXPECT_EQ(terminal.drops, 1);
}

// A killed sender's letters are counted, not shown; the shell's next words reach the screen whole.
TEST_F(session_test, a_killed_senders_broken_block_is_counted_and_the_output_after_it_kept) {
    const std::string broken =
        path_message("f") + size_message(2 * BLOCK) + block_message(std::string(BLOCK, 'x')).substr(0, 1001);
    for (const auto& [same_read, next_read] :
         {std::pair<std::string, std::string>{"", "DEAD\r\n"}, {"Killed\r\n", ""}}) {
        restart();
        feed(broken + same_read);
        feed(next_read);
        EXPECT_EQ(screen.text, same_read + next_read);
        EXPECT_NE(shown().find("1001 bytes of a broken transfer block were not shown"), std::string::npos) << shown();
    }
}

// A sender whose file ended early, or that was killed, leaves answers it did not read: a next
// run throws them away, so they must not count for it, which would then wait for ever.
TEST_F(session_test, answers_left_by_a_file_that_ended_early_are_written_off) {
    const std::string data(6 * BLOCK, 'x');
    struct early_end {
        const char* what;
        std::string stream;
        std::string answers;
        const char* shown;
    };
    const early_end cases[] = {
        {"a directory: no data, no answer ahead", path_message("dir") + size_message(INT64_MAX) + end_message(), "k",
         "dir not saved: the sender could not read it"},
        {"a file that shrank",
         path_message("shrunk") + size_message(data.size()) + block_message(data.substr(0, BLOCK)) + end_message(), "",
         "shrunk not saved: the sender stopped after 37268 of its 223608 bytes"},
        {"a sender killed in the middle of a block",
         path_message("killed") + size_message(data.size()) + block_message(data.substr(0, BLOCK)) +
             block_message(data.substr(0, BLOCK)).substr(0, 99) + "Killed\n",
         "", "killed not saved: the transfer broke"},
    };
    for (const early_end& test : cases) {
        SCOPED_TRACE(test.what);
        restart();
        feed(test.stream);
        if (!test.answers.empty()) {
            EXPECT_EQ(replies.text, answers(test.answers));
        }
        EXPECT_NE(shown().find(test.shown), std::string::npos) << shown();
        const std::size_t sent = answer_count(replies);
        feed(file_stream("next", "abc"));
        EXPECT_EQ(answer_count(replies), sent + 2) << "the next run's size and block were not answered";
        EXPECT_EQ(contents("next"), "abc");
    }
}

TEST_F(session_test, unknown_sizes_and_ask_are_answered_as_messages_come) {
    session_options options;
    options.ask = true;
    start(options);
    feed(path_message("pipe") + size_message(UINT64_MAX));
    EXPECT_EQ(replies.text, "");
    press("y");
    EXPECT_EQ(replies.text, answers("k"));
    for (int i = 0; i < 6; ++i) feed(block_message(std::string(BLOCK, 'p')));
    EXPECT_EQ(replies.text, answers("kkkkkkk")) << "one answer per message";
    feed(end_message());

    replies.clear();
    feed(path_message("known") + size_message(6 * BLOCK));
    EXPECT_EQ(replies.text, "");
    press("y");
    feed(block_message(std::string(BLOCK, 'k')));
    EXPECT_GT(answer_count(replies), 2U) << "answers ahead once accepted";
}

TEST_F(session_test, the_last_answer_refuses_when_the_file_cannot_be_saved) {
    start();
    // Every name the file could take is taken.
    for (int number = 0; number <= 9999; ++number) {
        const std::string name = number == 0 ? "f" : "f." + std::to_string(number);
        std::ofstream(directory / name).put('t');
    }
    feed(path_message("f") + size_message(0));
    EXPECT_EQ(replies.text, answers("n")) << "an empty file is stored at its size";
    feed(end_message());
    replies.clear();
    feed(path_message("f") + size_message(3) + block_message("abc"));
    EXPECT_EQ(replies.text, answers("kn"));
    EXPECT_NE(shown().find("are all taken"), std::string::npos) << shown().substr(0, 300);
}

// A file that grows while it is sent is saved whole: saved once its announced bytes came, then
// each block beyond them added before it is answered; the size limit still holds.
TEST_F(session_test, a_file_that_grows_while_it_is_sent_is_saved_whole) {
    start();
    feed(path_message("grew") + size_message(3) + block_message("abcd") + block_message("ef"));
    EXPECT_EQ(contents("grew"), "abcdef") << "answered before it was on disk";
    feed(end_message());
    EXPECT_NE(shown().find("saved grew (6 B)"), std::string::npos) << shown();
    session_options limited;
    limited.max_size = 5;
    restart(limited);
    feed(path_message("grew") + size_message(3) + block_message("abc") + block_message("def") + end_message());
    EXPECT_EQ(replies.text, answers("kkn"));
    EXPECT_TRUE(files().empty());
}

TEST_F(session_test, stale_answers_never_reach_a_later_sender) {
    start();
    // A command that reads nothing shows captured transfers: their answers stay queued.
    replies.held = true;
    const std::string capture =
        path_message("old") + size_message(6 * BLOCK) + block_message(std::string(BLOCK, 'o')) + end_message();
    for (int i = 0; i < 3; ++i) feed(capture);
    // A real sender: the queued answers go, and none of them counts as answering it.
    feed(path_message("new"));
    replies.held = false;
    EXPECT_EQ(replies.text, "");
    feed(size_message(3) + block_message("abc") + end_message());
    EXPECT_EQ(replies.text, answers("kk"));
    EXPECT_EQ(contents("new"), "abc");
}

// Uploads: pullfile's messages fed as the relay feeds them, the frames typed back read with the
// frame reader, as pullfile reads them.

struct typed_frame {
    pushfile::frame_type type;
    std::uint64_t sequence;
    std::uint64_t number;
    std::string text;  // F, M: the name; D: the bytes
    bool has_mode_and_time = false;
    pushfile::mode_and_time attributes;
    std::uint64_t start = 0;  // F of version 3
    pushfile::file_hash hash;  // E of version 3
};

struct frame_list final : pushfile::frame_events {
    void frame_received(const pushfile::upload_frame& frame) override {
        const std::string data(reinterpret_cast<const char*>(frame.data), frame.data == nullptr ? 0 : frame.length);
        frames.push_back({frame.type, frame.sequence, frame.number, frame.name.empty() ? data : std::string(frame.name),
                          frame.has_mode_and_time, frame.attributes, frame.start, frame.hash});
    }
    void frame_broken(pushfile::frame_error) override { ++broken; }
    std::vector<typed_frame> frames;
    int broken = 0;
};

std::string upload_message(char code, const std::string& body) { return std::string("\x1b}f") + code + body + '\0'; }

class upload_test : public session_test {
protected:
    void start_upload(bool refuse = false, const std::string& request = "/remote/\x1b[2Jdl") {
        if (source.empty()) {
            char pattern[] = "/tmp/pushfile-upload-XXXXXX";
            source = mkdtemp(pattern);
        }
        for (const auto& entry : fs::directory_iterator(source)) fs::remove_all(entry.path());
        session_options options;
        options.upload = {refuse, source.string(), "", false, true};
        terminal = {};
        restart(options);
        session->command_started(terminal);
        feed("$ pullfile\r\n" + upload_message('u', request));
        pump();
    }
    void TearDown() override {
        if (!source.empty()) fs::remove_all(source);
        session_test::TearDown();
    }
    void write_file(const std::string& name, const std::string& data) {
        fs::create_directories((source / name).parent_path());
        std::ofstream(source / name, std::ios::binary) << data;
    }
    // The relay's turn after a write: the frames due go into what room the queue has.
    std::vector<typed_frame> pump() {
        session->command_input_room(replies.free());
        frame_list read;
        pushfile::frame_reader reader;
        reader.feed(reinterpret_cast<const unsigned char*>(replies.text.data()), replies.text.size(), read);
        EXPECT_EQ(read.broken, 0);
        for (std::size_t i = 0; i < read.frames.size(); ++i) EXPECT_EQ(read.frames[i].sequence, i + 1);
        return read.frames;
    }
    // pullfile acknowledging every frame typed so far, until its end: the data frames in flight
    // never exceed the window, which opens at 2 and grows as acknowledgements come.
    std::vector<typed_frame> acknowledge_all() {
        std::vector<typed_frame> frames = pump();
        std::size_t acked = 1;
        while (frames.size() > acked) {
            std::size_t in_flight = 0;
            for (std::size_t i = acked; i < frames.size(); ++i) {
                in_flight += frames[i].type == pushfile::frame_type::data;
            }
            EXPECT_LE(in_flight, acked == 1 ? 2U : answer_window::MAX_BLOCKS);
            acked = frames.size();
            feed(upload_message('a', std::to_string(acked)));
            frames = pump();
        }
        return frames;
    }
    // Names dropped or pasted at the prompt, then Enter: they go at once.
    void choose(const std::string& line) { press("\x1b[200~" + line + "\x1b[201~\r"); }
    fs::path source;
    terminal_calls terminal;
};

TEST_F(upload_test, chosen_files_and_folders_go_up_as_frames_and_their_outcomes_are_told) {
    start_upload();
    const std::string big(5 * BLOCK + 7, 'b');
    write_file("a.txt", "abc");
    write_file("big.bin", big);
    write_file("tree/x", "x");
    write_file("tree/sub/y", "");
    ASSERT_EQ(mkfifo((source / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(pump().back().type, pushfile::frame_type::prompting);
    EXPECT_TRUE(session->output_paused() && session->wants_keyboard() && terminal.held);
    // Every word is checked before anything is read: the line stays up, and says what is wrong.
    choose("a.txt 'big.bin' tree missing pipe");
    EXPECT_TRUE(session->output_paused());
    EXPECT_NE(shown().find("no such file or folder: missing"), std::string::npos) << shown();
    press("\x15");
    choose("a.txt 'big.bin' tree pipe");
    EXPECT_NE(shown().find("pipe is a FIFO: only files and folders go up"), std::string::npos) << shown();
    press("\x15");
    // A file gone between the check and its turn is told of to pullfile too, which counts it.
    write_file("gone", "g");
    choose("a.txt 'big.bin' tree gone");
    fs::remove(source / "gone");
    EXPECT_NE(shown().find("sending 5 files (182.0 KiB): a.txt, big.bin, tree/ and 1 more"), std::string::npos)
        << shown();
    EXPECT_EQ(shown().find("dropped"), std::string::npos) << "a paste counts at once";
    const std::vector<typed_frame> frames = acknowledge_all();
    std::map<std::string, std::string> sent;
    std::string* file = nullptr;
    for (const typed_frame& frame : frames) {
        if (frame.type == pushfile::frame_type::file) file = &sent[frame.text];
        if (frame.type == pushfile::frame_type::data) *file += frame.text;
    }
    EXPECT_EQ(sent, (std::map<std::string, std::string>{
                        {"a.txt", "abc"}, {"big.bin", big}, {"gone", ""}, {"tree/sub/y", ""}, {"tree/x", "x"}}));
    EXPECT_EQ(frames[frames.size() - 3].type, pushfile::frame_type::file);
    EXPECT_EQ(frames[frames.size() - 3].text, "gone");
    EXPECT_EQ(frames[frames.size() - 2].type, pushfile::frame_type::given_up);
    EXPECT_EQ(frames.back().number, 5U);
    feed(upload_message('q', "0") + "$ ");
    EXPECT_FALSE(session->wants_keyboard());
    EXPECT_EQ(terminal.drops, 1) << "the terminal is put back as pullfile ends";
    EXPECT_EQ(screen.text, "$ pullfile\r\n\x1b[?2004h\x1b[?2004l$ ") << "bracketed paste only while asking";
    const std::string text = shown();
    for (const char* line : {"sent a.txt (3 B) up to /remote/\\e[2Jdl\n", "gone not sent up: cannot read it: No such file",
                             "upload over: sent 4 files (182.0 KiB) up to"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
    }
}

// A request that comes in the middle of a download's file (another pane's pullfile) is answered,
// but its prompt waits for the end of that file: the progress line would cover it, and the keys
// are the download's until then.
TEST_F(upload_test, a_request_during_a_download_shows_its_prompt_after_that_file) {
    start_upload();
    feed(upload_message('q', "1"));
    feed(path_message("a") + size_message(6) + block_message("abc") + upload_message('u', "/second"));
    EXPECT_FALSE(session->output_paused());
    EXPECT_EQ(shown().find("upload to remote /second"), std::string::npos) << shown();
    feed(block_message("def") + end_message());
    EXPECT_TRUE(session->output_paused());
    EXPECT_NE(shown().find("upload to remote /second"), std::string::npos) << shown();
}

// A pullfile that reads version 2 gets each file's mode and time, and the folders of a tree as the
// walk enters and leaves them, empty ones too; one of version 1 gets the frames of version 1.
TEST_F(upload_test, the_version_pullfile_reads_decides_the_frames) {
    using enum pushfile::frame_type;
    for (const bool second : {true, false}) {
        SCOPED_TRACE(second ? "version 2" : "version 1");
        start_upload(false, second ? "2;/remote/dl" : "/remote/dl");
        write_file("tree/x", "x");
        fs::create_directories(source / "tree" / "empty");
        fs::permissions(source / "tree" / "x", fs::perms::owner_read | fs::perms::owner_exec);
        fs::permissions(source / "tree" / "empty", fs::perms::owner_all | fs::perms::group_read);
        const timespec times[2] = {{0, UTIME_OMIT}, {1500000000, 987654321}};
        ASSERT_EQ(utimensat(AT_FDCWD, (source / "tree" / "x").c_str(), times, 0), 0);
        choose("tree");
        std::vector<typed_frame> frames = acknowledge_all();
        ASSERT_EQ(frames.front().type, prompting);
        EXPECT_EQ(frames.front().number, second ? 2U : 1U);
        std::vector<std::pair<pushfile::frame_type, std::string>> kinds;
        for (const typed_frame& frame : frames) {
            kinds.emplace_back(frame.type, frame.type == data ? "" : frame.text);
            if (frame.type == file) {
                EXPECT_EQ(frame.has_mode_and_time, second);
                if (second) {
                    EXPECT_EQ(frame.attributes.mode, 0500U);
                    EXPECT_EQ(frame.attributes.seconds, 1500000000);
                    EXPECT_EQ(frame.attributes.nanoseconds, 987654321U);
                }
            }
            if (frame.type == folder && frame.text == "tree/empty") {
                EXPECT_EQ(frame.attributes.mode, 0740U);
            }
        }
        using kind_list = std::vector<std::pair<pushfile::frame_type, std::string>>;
        const kind_list expected =
            second ? kind_list{{prompting, ""}, {folder, "tree"}, {folder, "tree/empty"}, {folder_end, ""},
                               {file, "tree/x"}, {data, ""}, {file_end, ""}, {folder_end, ""}, {done, ""}}
                   : kind_list{{prompting, ""}, {file, "tree/x"}, {data, ""}, {file_end, ""}, {done, ""}};
        EXPECT_EQ(kinds, expected);
        feed(upload_message('q', "0"));
        EXPECT_NE(shown().find("upload over: sent 1 file (1 B) up to /remote/dl"), std::string::npos) << shown();
        fs::permissions(source / "tree" / "x", fs::perms::owner_all);
    }
}

// Inside tmux, pullfile asks for the frames in answers to tmux's clipboard queries: each answer
// carries its token and whole frames; a query outside an upload is the terminal's. When pullfile
// asks for typed frames again (an answer was lost), the last answer's frames and those waiting
// are typed.
TEST_F(upload_test, frames_go_in_clipboard_answers_and_are_typed_again_after_a_lost_one) {
    const std::string query = "\x1b]52;;?\x07";
    const std::string token = "0123456789abcdef";
    restart();
    feed(query);
    EXPECT_EQ(screen.text, query) << "a query outside an upload was taken";
    start_upload(false, "4;/remote/dl");
    feed(upload_message('c', "131072 " + token));
    write_file("f", std::string(4 * BLOCK, 'f'));
    choose("f");
    // The frames in text from its byte from on: typed, or (skip) an answer's content.
    const auto frames_in = [](const std::string& text, std::size_t from) {
        frame_list frames;
        pushfile::frame_reader reader;
        reader.feed(reinterpret_cast<const unsigned char*>(text.data()) + from, text.size() - from, frames);
        reader.finish(frames);
        EXPECT_EQ(frames.broken, 0) << "a frame cut where an answer ends";
        return frames.frames;
    };
    const std::size_t typed_length = replies.text.size();
    const auto answer = [&] {
        feed(query);
        session->command_input_room(replies.free());
        std::string text = replies.text.substr(typed_length);
        replies.text.resize(typed_length);
        EXPECT_TRUE(text.starts_with(pushfile::CLIPBOARD_ANSWER_HEAD) && text.ends_with('\a')) << text;
        const std::string base64 = text.substr(7, text.size() - 8);
        std::string content(base64.size() / 4 * 3, '\0');
        std::size_t length = 0;
        EXPECT_TRUE(pushfile::base64_decode(base64.data(), base64.size(),
                                            reinterpret_cast<unsigned char*>(content.data()), &length));
        content.resize(length);
        EXPECT_TRUE(content.starts_with(token));
        return frames_in(content, token.size());
    };
    const std::vector<typed_frame> typed = frames_in(replies.text, 0);
    ASSERT_EQ(answer().size(), 1U) << "the query about the file";
    feed(upload_message('h', std::to_string(typed.size() + 1) + ";0"));
    session->command_input_room(replies.free());
    feed(upload_message('c', "65536 " + token));  // smaller answers from now on
    const std::vector<typed_frame> carried = answer();
    ASSERT_EQ(carried.size(), 2U) << "its file frame and the one data frame a chunk holds";
    EXPECT_EQ(carried[1].type, pushfile::frame_type::data);
    // pullfile asks for answers again at once, smaller: the frames typed again come first.
    feed(upload_message('c', "0 " + token) + upload_message('c', "65536 " + token) + query);
    session->command_input_room(replies.free());
    const std::vector<typed_frame> again = frames_in(replies.text, typed_length);
    ASSERT_GE(again.size(), 3U);
    EXPECT_EQ(again[0].sequence, carried[0].sequence);
    EXPECT_EQ(again[2].sequence, carried[1].sequence + 1) << "and what waited after them";
    EXPECT_NE(replies.text.find(pushfile::CLIPBOARD_ANSWER_HEAD, typed_length), std::string::npos)
        << "then the next answer";
}

// With a pullfile that reads frames again, an answer goes out as soon as the one before ended,
// once queries come back in good time, and only its end waits for the query. One that no query
// meets within 3/4 of escape-time ends anyway: tmux may have dropped it or taken it for a query
// on its way, so the frames are typed from there on, its ones again, and no query is answered.
TEST(clipboard_channel_test, answers_go_ahead_of_their_queries_and_after_one_no_query_met_frames_are_typed) {
    struct keys_typed final : input_sink {
        std::string text;
        void append(const unsigned char* bytes, std::size_t length) override { text.append(bytes, bytes + length); }
        void discard_queued() override {}
        void drop_all() override {}
    } keys;
    const std::string token = "0123456789abcdef";
    constexpr std::size_t FRAME = 40000;
    clipboard_channel channel(keys);
    monotonic_clock::time_point now{std::chrono::hours(1)};
    channel.reset(now);
    constexpr std::size_t CHUNK = std::size_t{512} << 10;  // an escape-time of 341 ms or more
    ASSERT_TRUE(channel.start(CHUNK, token, true));
    char next_frame = 'A';
    // Frames are runs of one letter; an answer's content is read back as its letters.
    const auto fill = [&] {
        while (channel.room(SIZE_MAX) >= FRAME) {
            const std::string frame(FRAME, next_frame++);
            channel.append(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
        }
    };
    // The answers ended since the last look, as letters, and whether one is open after them.
    const auto answers = [&](bool* open) {
        std::vector<std::string> ended;
        std::size_t at = 0;
        for (std::size_t end; (end = keys.text.find('\a', at)) != std::string::npos; at = end + 1) {
            const std::string base64 = keys.text.substr(at + CLIPBOARD_ANSWER_HEAD.size(), end - at - CLIPBOARD_ANSWER_HEAD.size());
            std::string content(base64.size(), '\0');
            std::size_t length = 0;
            EXPECT_TRUE(base64_decode(base64.data(), base64.size(), reinterpret_cast<unsigned char*>(content.data()), &length));
            content.resize(length);
            std::string letters;
            for (std::size_t k = token.size(); k < content.size(); k += FRAME) letters += content[k];
            ended.push_back(letters);
        }
        *open = keys.text.find(CLIPBOARD_ANSWER_HEAD, at) == at;
        keys.text.erase(0, at);
        return ended;
    };
    const auto query_after = [&](std::chrono::milliseconds wait) {
        now += wait;
        EXPECT_TRUE(channel.take_query(now));
        channel.pump(SIZE_MAX, now);
        fill();
        channel.pump(SIZE_MAX, now);
    };
    bool open = false;
    fill();
    query_after(std::chrono::milliseconds(0));
    EXPECT_EQ(answers(&open), std::vector<std::string>{"ABCDEFGHIJKLM"});
    EXPECT_FALSE(open) << "ahead before a query came back";
    query_after(std::chrono::milliseconds(60));
    EXPECT_EQ(answers(&open), std::vector<std::string>{"NOPQRSTUVWXYZ"});
    ASSERT_TRUE(open) << "the next answer waited for its query";
    query_after(std::chrono::milliseconds(60));
    EXPECT_EQ(answers(&open), std::vector<std::string>{"[\\]^_`abcdefg"}) << "the answer written ahead, ended";
    ASSERT_TRUE(open);
    now += std::chrono::milliseconds(256);
    channel.pump(SIZE_MAX, now);
    channel.pump(SIZE_MAX, now);
    const std::vector<std::string> unmet = answers(&open);
    ASSERT_EQ(unmet.size(), 1U) << "an answer no query met was left open past 3/4 of escape-time";
    EXPECT_NE(keys.text.find(std::string(FRAME, unmet[0][0])), std::string::npos) << "its frames were not typed again";
    keys.text.clear();
    ASSERT_TRUE(channel.start(CHUNK, token, true));  // offered again
    if (channel.carrying()) fill();
    EXPECT_TRUE(channel.take_query(now + std::chrono::milliseconds(100)));
    channel.pump(SIZE_MAX, now + std::chrono::milliseconds(100));
    EXPECT_EQ(keys.text.find(CLIPBOARD_ANSWER_HEAD), std::string::npos) << "a query answered after an answer no query met";
    // A data frame goes raw in an answer, and is typed again as a data frame typed ever is.
    keys_typed raw_keys;
    clipboard_channel raw_channel(raw_keys);
    raw_channel.reset(now);
    ASSERT_TRUE(raw_channel.start(CHUNK, token, true));
    ASSERT_TRUE(raw_channel.takes_raw_data_frames());
    const auto* bytes = reinterpret_cast<const unsigned char*>("#B9,.\a");
    char raw[MAX_FRAME_LENGTH];
    raw_channel.append(reinterpret_cast<const unsigned char*>(raw), format_raw_data_frame(9, bytes, 7, raw));
    char typed[MAX_FRAME_LENGTH];
    const std::size_t typed_length = format_data_frame(9, bytes, 7, typed);
    raw_channel.take_query(now);
    raw_channel.pump(SIZE_MAX, now);
    raw_channel.stop();
    raw_keys.text.clear();
    raw_channel.pump(SIZE_MAX, now);
    EXPECT_EQ(raw_keys.text, std::string(typed, typed_length));
}

pushfile::file_hash hash_of(const std::string& bytes) {
    pushfile::file_hasher hasher;
    hasher.update(bytes.data(), bytes.size());
    return hasher.digest();
}

std::string have_message(std::uint64_t query, std::uint64_t held, const std::string& held_bytes) {
    char hex[pushfile::FILE_HASH_HEX_LENGTH];
    pushfile::format_file_hash(hash_of(held_bytes), hex);
    return upload_message('h', std::to_string(query) + ';' + std::to_string(held) + ';' +
                                   std::string(hex, sizeof hex));
}

// From version 3 on the files ahead are asked about first, and a file goes only once pullfile said
// what it holds of it: a prefix hashing as ours is not sent again, anything else is not trusted.
TEST_F(upload_test, version_3_sends_only_what_pullfile_does_not_hold_the_same) {
    using enum pushfile::frame_type;
    const std::string content = std::string(2 * BLOCK, 'r') + "tail";
    const std::uint64_t size = content.size();
    struct answer_case {
        const char* name;
        std::uint64_t held;
        std::string held_bytes;  // what pullfile hashed
        std::uint64_t start;
        std::vector<std::string> told;
    };
    const answer_case cases[] = {
        {"the same prefix", BLOCK + 1, content.substr(0, BLOCK + 1), BLOCK + 1,
         {"sent r (72.8 KiB, resumed at 36.4 KiB) up to /remote/dl", "sent 2 files (72.8 KiB) up to /remote/dl; 1 resumed"}},
        {"a prefix that differs", BLOCK + 1, "x" + content.substr(1, BLOCK), 0, {"sent r (72.8 KiB) up to /remote/dl\n"}},
        {"the same whole file", size, content, size, {"r skipped (identical)", "sent 1 file (1 B) up to /remote/dl; 1 skipped"}},
        {"more than the file has", size + 1, content + "x", 0, {"pullfile said it holds 74541 bytes of r, which has 74540"}},
    };
    for (const answer_case& test : cases) {
        SCOPED_TRACE(test.name);
        start_upload(false, "3;/remote/dl");
        write_file("r", content);
        write_file("s", "s");
        choose("r s");
        std::vector<typed_frame> frames = pump();
        ASSERT_EQ(frames.size(), 3U) << "both files are asked about, and neither goes before its answer";
        EXPECT_EQ(frames[1].type, query);
        EXPECT_EQ(frames[1].text, "r");
        EXPECT_EQ(frames[1].number, size);
        // An answer about a frame that asked nothing is ignored: r still waits for its own.
        feed(have_message(1, 1, "r") + have_message(2, test.held, test.held_bytes));
        EXPECT_NE(shown().find("pullfile answered about frame 1, which asked it nothing"), std::string::npos) << shown();
        feed(upload_message('h', "3;0"));
        frames = acknowledge_all();
        ASSERT_EQ(frames[3].type, file);
        EXPECT_EQ(frames[3].start, test.start);
        std::string sent;
        for (std::size_t i = 4; frames[i].type != file_end; ++i) sent += frames[i].text;
        EXPECT_EQ(sent, content.substr(test.start));
        const auto end = std::find_if(frames.begin(), frames.end(), [](const typed_frame& f) { return f.type == file_end; });
        EXPECT_EQ(end->hash, hash_of(content)) << "the whole file's hash, whatever went";
        EXPECT_EQ(frames.back().type, done);
        feed(upload_message('q', "0"));
        for (const std::string& line : test.told) EXPECT_NE(shown().find(line), std::string::npos) << line << " in " << shown();
    }
}

// The walk ahead pauses after a run of queries, for them to go out while it finds the rest; the
// frames are those of a walk done at once: every query, then the folder.
TEST_F(upload_test, queries_go_out_in_runs_while_the_walk_goes_on) {
    start_upload(false, "3;/remote/dl");
    for (int i = 0; i < 100; ++i) write_file("many/f" + std::to_string(100 + i), "x");
    choose("many");
    EXPECT_LT(pump().size(), 101U) << "the walk went through every file before a query went";
    EXPECT_EQ(pump().at(101).type, pushfile::frame_type::folder) << "P, a query for each file, then the folder";
}

// However the upload ends, the last frame says so, and the keyboard and the terminal go back.
TEST_F(upload_test, every_way_an_upload_ends) {
    struct ending {
        const char* name;
        bool refuse;
        std::function<void()> act;
        pushfile::frame_type last;
        const char* told;
    };
    using enum pushfile::frame_type;
    const ending endings[] = {
        {"an empty line", false,
         [this] {
             std::this_thread::sleep_for(KEYS_STREAM_GAP);
             press("\r");
         },
         nothing,
         "upload over: no file was sent up to /remote/\\e[2Jdl (pullfile's exit status 1)"},
        {"Esc once no more keys come, and a paste cut short once it went quiet", false,
         [this] {
             std::this_thread::sleep_for(KEYS_STREAM_GAP);
             // Ticks at the time of the keys wait for more: the time of the last key is kept.
             monotonic_clock::time_point keys_at = monotonic_clock::now();
             press("\x1b[200~abc");
             session->tick(keys_at);
             press("\r");
             EXPECT_EQ(shown().find("nothing sent"), std::string::npos) << "Enter in an open paste is a space";
             session->tick(monotonic_clock::now() + PASTE_END_WAIT);
             keys_at = monotonic_clock::now();
             press("\x15" "abc\x1b");
             session->tick(keys_at);
             EXPECT_TRUE(session->output_paused()) << "Esc alone is told apart only once no keys follow";
             session->tick(monotonic_clock::now() + ESCAPE_KEY_WAIT);
         },
         nothing, "upload over: no file was sent up to /remote/\\e[2Jdl (pullfile's exit status 1)"},
        {"--no-upload", true, [] {}, refused, "refused pullfile's request for files to go up to"},
        {"Ctrl-C while sending: what is not written yet is dropped", false,
         [this] {
             write_file("f", std::string(9 * BLOCK, 'f'));
             choose("f");
             pump();
             replies.held = true;  // the command reads no more for now
             feed(upload_message('a', "3"));
             EXPECT_GT(pump().size(), 4U) << "the window opened";
             press("\x03");
         },
         cancelled, "f not sent up: cancelled"},
        {"Ctrl-C while the last frame waits for its acknowledgement cancels", false,
         [this] {
             write_file("f", "f");
             choose("f");
             EXPECT_EQ(pump().back().type, done);
             feed(upload_message('a', "4"));
             pump();  // the relay's turn after its write: the queue is empty
             press("\x03");
         },
         cancelled, "upload cancelled: sent 1 file"},
        {"pullfile could not save a file", false,
         [this] {
             write_file("f", std::string(9 * BLOCK, 'f'));
             write_file("g", "g");
             choose("f g");
             const std::size_t typed = pump().size();
             feed(upload_message('e', "2 cannot save f: \x1b]0;no room"));
             const std::vector<typed_frame> frames = acknowledge_all();
             EXPECT_EQ(frames[typed].type, file) << "f was still sent";
             EXPECT_EQ(frames[typed].text, "g");
         },
         done, "f not sent up: cannot save f: \\e]0;no room"},
    };
    for (const ending& test : endings) {
        SCOPED_TRACE(test.name);
        start_upload(test.refuse);
        test.act();
        replies.held = false;
        EXPECT_EQ(pump().back().type, test.last);
        EXPECT_FALSE(session->output_paused());
        EXPECT_TRUE(session->wants_keyboard()) << "keys wait for pullfile's end";
        feed(upload_message('q', "1"));
        EXPECT_FALSE(session->wants_keyboard());
        EXPECT_NE(shown().find(test.told), std::string::npos) << shown();
    }
}

// pullfile may be gone without a word: frames stop at other output, and a key after a silent second
// gives up.
TEST_F(upload_test, a_pullfile_gone_without_a_word_gets_no_more_frames_and_a_key_gives_up) {
    start_upload();
    write_file("f", std::string(5 * BLOCK, 'f'));
    choose("f");
    pump();
    // Output other than pullfile's while it has frames to read: a shell's, most likely.
    feed(upload_message('a', "3") + "Killed\r\n$ ");
    EXPECT_EQ(pump().size(), 4U) << "frames went on to what printed a prompt";
    press("x");
    EXPECT_TRUE(session->wants_keyboard()) << "a key while pullfile answers is held back";
    session->tick(pushfile::monotonic_clock::now() + std::chrono::seconds(6));
    EXPECT_NE(shown().find("nothing has come from pullfile for 5 s; Ctrl-C cancels"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    // The last frame is partly written: its rest would reach the shell as text of no meaning.
    const std::size_t written = replies.text.size() - 10;
    replies.taken = written;
    press("y");
    EXPECT_FALSE(session->wants_keyboard());
    EXPECT_EQ(terminal.drops, 1);
    EXPECT_EQ(replies.text.substr(written), "\x15y") << "the frames a shell took are erased";
    EXPECT_NE(shown().find("pullfile stopped answering"), std::string::npos) << shown();
}

// After a give-up, what a shell shows of the frames it read is left off the screen, and so is its
// line editor's redrawing once the Ctrl-U erases them; the command's own output is not.
TEST(echo_filter_test, echo_of_frames_under_way_and_its_redraw_are_left_off_the_screen) {
    const std::string base64_run = "QUJD" + std::string(120, 'x') + "#D7,QUJDRA==,0123abcd.#E8,89abcdef.";
    struct echo_case {
        const char* what;
        std::uint64_t typed;  // bytes of frames typed and not acknowledged
        std::vector<std::string> chunks;  // fed in turn, then the output goes quiet
        std::string shown;
        std::uint64_t hidden;
        bool after_time_limit = false;
        bool quiet_after_each = false;
    };
    const echo_case cases[] = {
        {"a line editor's echo, and its line kill's cursor moves over the rows it took",
         1000,
         {"Killed\r\n$ ", base64_run.substr(0, 50), base64_run.substr(50),
          "\x1b[A\x1b[A\r\x1b[C\x1b[C\x1b[K\r\n\r\x1b[K\r\n\r\x1b[K\x1b[A\x1b[A\x1b[C\x1b[C", "t", "yped\r\n"},
         "Killed\r\n$ typed\r\n",
         base64_run.size()},
        {"a terminal's own echo, erased a character at a time",
         1000,
         {base64_run + "\a\a" + std::string(30, '\b') + std::string(30, ' ') + "\b \b\b \b", "$ "},
         "$ ",
         base64_run.size()},
        {"a control sequence of the command's right before the echo", 1000, {"\x1b[?2004h" + base64_run}, "\x1b[?2004h",
         base64_run.size()},
        {"short frames known by their heads", 1000, {"#E8,89abcdef.#Z9,1,01234567.\r\n$ "}, "$ ", 28},
        {"the command's own short runs", 1000, {"$ ls\r\nfile.txt  a=b\r\n$ ", "ab"}, "$ ls\r\nfile.txt  a=b\r\n$ ab", 0},
        {"a head of a frame not under way", 1000, {"#D3,QUJD\r\n"}, "#D3,QUJD\r\n", 0},
        {"more than was typed, redrawn as often as a line is wide", 1, {std::string(300, 'x') + "\r\n"},
         std::string(300 - ECHO_REDRAWS_PER_BYTE, 'x') + "\r\n", ECHO_REDRAWS_PER_BYTE},
        {"past the time limit", 1000, {base64_run}, base64_run, 0, true},
        // A line editor switches its modes, and pauses on a busy machine, in the middle of its echo.
        {"a mode switched between pieces of echo", 1000,
         {base64_run.substr(0, 70), "\r\x1b[?2004l", base64_run.substr(70)}, "\x1b[?2004l", base64_run.size()},
        {"a line editor's echo on a terminal that moves up with ESC M, its last piece cut by a wrap", 1000,
         {base64_run.substr(0, 100) + "\r\n" + std::string(40, 'x') + "\r\n", "\x1bM\x1bM\r$ \x1b[K"},
         "$ \x1b[K", 140},
        {"echo that pauses", 1000, {base64_run.substr(0, 70), "\r" + base64_run.substr(70, 10), base64_run.substr(80)},
         base64_run.substr(70, 10), base64_run.size() - 10, false, true},
        {"echo that goes on after a pause with a short piece", 1000,
         {base64_run.substr(0, 70) + "\r", std::string(10, 'x') + "\r" + base64_run.substr(0, 81)},
         std::string(10, 'x') + "\r", 151},
        {"echo whose last piece is short", 1000, {base64_run.substr(0, 70) + "\r" + base64_run.substr(70, 10)}, "",
         80, false, true},
    };
    for (const echo_case& test : cases) {
        SCOPED_TRACE(test.what);
        echo_filter filter;
        collected_bytes screen;
        const monotonic_clock::time_point start{};
        filter.expect(test.typed, 5, 9);
        filter.end_by(start);
        monotonic_clock::time_point at = test.after_time_limit ? start + ECHO_WAIT : start;
        for (const std::string& chunk : test.chunks) {
            at += std::chrono::milliseconds(200);  // a person's pace: each chunk a read of its own
            filter.feed(reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size(), at, screen);
            if (test.quiet_after_each) filter.let_go(at, screen);
        }
        filter.let_go(at, screen);
        EXPECT_EQ(screen.text, test.shown);
        EXPECT_EQ(filter.take_hidden(), test.hidden);
    }
}

}  // namespace
