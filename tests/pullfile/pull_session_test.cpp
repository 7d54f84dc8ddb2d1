// pullfile's session on its own: frames made with the frame formatters fed in, a real file sink
// on a scratch folder, and what the session writes back read with the receiver's parser.
#include "pullfile/pull_session.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transfer/stream_parser.h"

namespace {

using namespace pushfile;
namespace fs = std::filesystem;

// What the session writes, kept whole; it may be told to fail from a given message on.
struct recording_output final : pull::message_output {
    std::string written;
    std::size_t sends_before_failing = SIZE_MAX;
    bool send(const char* message, std::size_t length) override {
        if (sends_before_failing == 0) return false;
        --sends_before_failing;
        written.append(message, length);
        return true;
    }
};

// The session's messages as the receiver finds them: the last acknowledgement and the files failed.
struct messages final : stream_parser_events {
    std::uint64_t last_ack = 0;
    std::vector<std::uint64_t> failed;
    explicit messages(const std::string& output) {
        stream_parser parser;
        parser.feed(reinterpret_cast<const unsigned char*>(output.data()), output.size(), *this);
        parser.finish(*this);
    }
    void pass_through(const unsigned char*, std::size_t) override {}
    void upload_ack(std::uint64_t sequence) override { last_ack = sequence; }
    void upload_failed(std::uint64_t sequence, std::string_view) override { failed.push_back(sequence); }
};

class pull_session_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pushfile-pull-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // Each adds one frame, as the receiver types it, and returns its sequence number.
    std::uint64_t put(std::size_t length) {
        frames_.append(frame_.data(), length);
        return next_++;
    }
    std::uint64_t prompting() { return put(format_number_frame(frame_type::prompting, next_, 1, frame_.data())); }
    std::uint64_t file(std::string_view name, std::uint64_t size) {
        return put(format_file_frame(1, next_, size, {}, 0, name, frame_.data()));
    }
    std::uint64_t data(std::string_view bytes) {
        return put(format_data_frame(next_, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                     frame_.data()));
    }
    std::uint64_t empty(frame_type type) { return put(format_empty_frame(type, next_, frame_.data())); }
    std::uint64_t done(std::uint64_t files) { return put(format_number_frame(frame_type::done, next_, files, frame_.data())); }

    void feed(pull::pull_session& session) {
        session.feed(reinterpret_cast<const unsigned char*>(frames_.data()), frames_.size());
        frames_.clear();
    }

    std::map<std::string, std::string> saved() const {
        std::map<std::string, std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
            std::ifstream in(entry.path(), std::ios::binary);
            found[fs::relative(entry.path(), folder_)] = {std::istreambuf_iterator<char>(in), {}};
        }
        return found;
    }

    fs::path folder_;
    std::string frames_;
    std::vector<char> frame_ = std::vector<char>(MAX_FRAME_LENGTH);
    std::uint64_t next_ = 1;
};

// The size announced bounds the file's data summed over its frames, not each frame alone: the
// second 8 bytes for a file of 10 fail it at once, before its end comes (a stream that lies about
// a size cannot fill the disk), while 5 and 5 make a file whole.
TEST_F(pull_session_test, data_past_the_announced_size_over_all_its_frames_fails_the_file) {
    file_sink sink(folder_.string());
    recording_output output;
    pull::pull_session session(sink, output, folder_.string());
    prompting();
    const std::uint64_t too_much = file("too-much", 10);
    data("12345678"), data("12345678");
    feed(session);
    EXPECT_EQ(messages(output.written).failed, std::vector<std::uint64_t>{too_much});
    empty(frame_type::file_end), file("exact", 10), data("abcde"), data("fghij"), empty(frame_type::file_end);
    const std::uint64_t last = done(2);
    feed(session);

    ASSERT_TRUE(session.over());
    EXPECT_EQ(saved(), (std::map<std::string, std::string>{{"exact", "abcdefghij"}}));
    const messages seen(output.written);
    EXPECT_EQ(seen.failed, std::vector<std::uint64_t>{too_much});
    EXPECT_EQ(seen.last_ack, last);
    EXPECT_EQ(session.exit_status(), pull::EXIT_NOT_ALL_SAVED);
}

// A terminal that takes no more of what pullfile says ends the run there: the file in progress is
// not kept, and nothing more is read.
TEST_F(pull_session_test, an_output_that_fails_ends_the_run_and_drops_the_file_in_progress) {
    file_sink sink(folder_.string());
    recording_output output;
    output.sends_before_failing = 1;
    pull::pull_session session(sink, output, folder_.string());
    prompting(), file("first", 6), data("abc");
    feed(session);
    ASSERT_FALSE(session.over());
    data("def");
    feed(session);

    EXPECT_TRUE(session.over());
    EXPECT_EQ(session.exit_status(), pull::EXIT_BROKEN);
    EXPECT_EQ(session.summary(), "the terminal's output failed; nothing of first was kept");
    EXPECT_EQ(saved(), (std::map<std::string, std::string>{}));
    empty(frame_type::file_end), file("second", 1), data("x"), empty(frame_type::file_end), done(2);
    feed(session);
    EXPECT_EQ(saved(), (std::map<std::string, std::string>{}));
}

}  // namespace
