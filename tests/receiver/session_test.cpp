#include "session.h"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/stream_builder.h"

namespace {

namespace fs = std::filesystem;
using namespace pushfile::receive;
using namespace stream_builder;

class collected_bytes final : public byte_sink {
public:
    void append(const unsigned char* bytes, std::size_t length) override {
        text.append(reinterpret_cast<const char*>(bytes), length);
    }
    void discard_queued() override {}
    std::string text;
};

// A session over a fresh directory, fed like the relay feeds it, with what it shows the user
// captured in a memory file.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pushfile-session-XXXXXX";
        directory = mkdtemp(pattern);
        messages_fd = memfd_create("messages", 0);
    }
    void TearDown() override {
        session.reset();
        progress.reset();
        sink.reset();
        close(messages_fd);
        fs::remove_all(directory);
    }

    void start(session_options options = {}) {
        sink = std::make_unique<file_sink>(directory.string());
        ASSERT_TRUE(sink->ok()) << sink->error();
        progress = std::make_unique<progress_display>(messages_fd, false);
        options.directory = directory.string();
        session = std::make_unique<transfer_session>(*sink, *progress, options);
    }

    void feed(const std::string& stream) {
        session->command_output(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(), screen,
                                replies);
    }

    void press(const std::string& keys) {
        session->keyboard(reinterpret_cast<const unsigned char*>(keys.data()), keys.size(), replies);
    }

    std::string shown() const {
        std::string text(static_cast<std::size_t>(lseek(messages_fd, 0, SEEK_END)), '\0');
        pread(messages_fd, text.data(), text.size(), 0);
        return text;
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
        for (const char c : pattern) text += c == 'k' ? "ky" : "no";
        return text;
    }

    fs::path directory;
    int messages_fd = -1;
    std::unique_ptr<file_sink> sink;
    std::unique_ptr<progress_display> progress;
    std::unique_ptr<transfer_session> session;
    collected_bytes screen;
    collected_bytes replies;
};

TEST_F(SessionTest, SavesFilesAnswersEachMessageAndShowsTheRest) {
    start();
    const std::string data(37268 + 5, 'd');
    feed("$ pushfile a b\r\n" + file_stream("dir/a", data) + file_stream("b", "") + "$ ");
    EXPECT_EQ(screen.text, "$ pushfile a b\r\n$ ");
    EXPECT_EQ(replies.text, answers("kkk") + answers("k"));
    EXPECT_EQ(files(), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(contents("a") == data);
    EXPECT_EQ(contents("b"), "");
    EXPECT_NE(shown().find("saved dir/a (36.4 KiB) as " + directory.string() + "/a"), std::string::npos) << shown();
    EXPECT_EQ(session->files_saved(), 2U);
}

TEST_F(SessionTest, BrokenTransfersAreRefusedAndLeaveNothing) {
    struct broken {
        std::string name;
        std::string stream;
        std::string expected_replies;
        std::string reason;
        std::string shown_after = "";  // bytes that broke a message are shown as ordinary output
    };
    const std::string good_block = block_message("abc");
    const broken cases[] = {
        {"bad checksum", path_message("f") + size_message(3) + "\x1b}fd409 FAFBFC" + '\0' + end_message(), "kn",
         "checksum does not match"},
        {"bad letter", path_message("f") + size_message(3) + "\x1b}fd408 FAFBFZ" + '\0' + end_message(), "kn",
         "not a letter", std::string("Z\0", 2)},
        {"more than announced", path_message("f") + size_message(2) + good_block + end_message(), "kn",
         "more data came than its size announced"},
        {"less than announced", path_message("f") + size_message(4) + good_block + end_message(), "kk",
         "only 3 of its 4 bytes came"},
        {"second path mid-file", path_message("f") + size_message(6) + good_block + file_stream("g", "x"), "kkkk",
         "a new file began before this one ended"},
        {"size twice", path_message("f") + size_message(3) + size_message(3) + good_block + end_message(), "knn",
         "a second size message came"},
    };
    for (const broken& test : cases) {
        SCOPED_TRACE(test.name);
        TearDown();
        SetUp();
        screen.text.clear();
        replies.text.clear();
        start();
        feed(test.stream + "after");
        EXPECT_EQ(replies.text, answers(test.expected_replies));
        EXPECT_NE(shown().find("f not saved: "), std::string::npos) << shown();
        EXPECT_NE(shown().find(test.reason), std::string::npos) << shown();
        const std::vector<std::string> saved = files();
        EXPECT_TRUE(saved.empty() || saved == std::vector<std::string>{"g"});
        EXPECT_EQ(screen.text, test.shown_after + "after") << "later output passes through";
    }
}

TEST_F(SessionTest, MessagesWithoutAFileAreRefusedOrReported) {
    start();
    feed(path_message("gone") + end_message());
    EXPECT_EQ(replies.text, "");
    EXPECT_NE(shown().find("gone not saved: the sender could not read it"), std::string::npos);
    feed(size_message(3) + end_message());
    EXPECT_EQ(replies.text, answers("n"));
    EXPECT_NE(shown().find("refused a file size that came without a file name"), std::string::npos);
    EXPECT_TRUE(files().empty());
}

TEST_F(SessionTest, MaxSizeRefusesBeforeAnyData) {
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

TEST_F(SessionTest, AskWaitsForTheUsersAnswerAndKeysAreHeldBackDuringTransfers) {
    session_options options;
    options.ask = true;
    start(options);
    EXPECT_FALSE(session->wants_keyboard());
    feed(path_message("first") + size_message(3));
    EXPECT_EQ(replies.text, "") << "no answer before the user's";
    EXPECT_TRUE(session->wants_keyboard());
    press("n");
    EXPECT_EQ(replies.text, answers("n"));
    EXPECT_NE(shown().find("first not saved: declined"), std::string::npos);

    replies.text.clear();
    feed(path_message("second") + size_message(3));
    press("y");
    feed(block_message("abc"));
    press("\x03");  // Ctrl-C during the transfer cancels it at the next message
    feed(end_message());
    EXPECT_EQ(replies.text, answers("kk"));
    EXPECT_NE(shown().find("second not saved: cancelled"), std::string::npos) << shown();
    EXPECT_TRUE(files().empty());
    EXPECT_FALSE(session->wants_keyboard());
}

TEST_F(SessionTest, AskDeclinesWhenTheKeyboardHasEnded) {
    session_options options;
    options.ask = true;
    start(options);
    feed(path_message("waiting") + size_message(3));
    session->keyboard_ended(replies);
    EXPECT_EQ(replies.text, answers("n")) << "the sender is not left waiting for ever";
    feed(path_message("later") + size_message(3));
    EXPECT_EQ(replies.text, answers("nn"));
    EXPECT_NE(shown().find("later not saved: no answer can come"), std::string::npos) << shown();
}

TEST_F(SessionTest, OutputEndingMidFileSavesNothing) {
    start();
    feed(path_message("cut") + size_message(6) + block_message("abc"));
    session->output_ended(nullptr, screen);
    EXPECT_TRUE(files().empty());
    EXPECT_NE(shown().find("cut not saved: the command's output ended before the file did"), std::string::npos);
}

TEST_F(SessionTest, APrefixHeldBackAtTheEndIsShownAfterAll) {
    start();
    feed("done\x1b}");
    EXPECT_EQ(screen.text, "done");
    session->output_ended(nullptr, screen);
    EXPECT_EQ(screen.text, "done\x1b}");
}

TEST_F(SessionTest, HostileNamesAreShownEscaped) {
    start();
    feed(file_stream("\x1b]0;title\x07\x1b[2J", "x"));
    const std::string text = shown();
    EXPECT_EQ(text.find('\x07'), std::string::npos);
    EXPECT_EQ(text.find("\x1b]"), std::string::npos);
    EXPECT_NE(text.find("\\e]0;title\\x07\\e[2J"), std::string::npos) << text;
}

}  // namespace
