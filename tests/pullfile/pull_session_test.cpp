// pullfile's session on its own: frames made with the frame formatters fed in, a real file sink
// on a scratch folder, and what the session writes back read with the receiver's parser.
#include "pullfile/pull_session.h"
#include "pullfile/tmux_clipboard.h"

#include <stdlib.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scratch_dir.h"
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

file_hash hash_of(std::string_view bytes) {
    file_hasher hasher;
    hasher.update(bytes.data(), bytes.size());
    return hasher.digest();
}

// The session's messages as the receiver finds them: the last acknowledgement, the files failed,
// and what it holds of each file asked about (query sequence: bytes held, their hash).
struct messages final : stream_parser_events {
    std::uint64_t last_ack = 0;
    std::vector<std::uint64_t> failed;
    std::map<std::uint64_t, std::pair<std::uint64_t, file_hash>> have;
    explicit messages(const std::string& output) {
        stream_parser parser;
        parser.feed(reinterpret_cast<const unsigned char*>(output.data()), output.size(), *this);
        parser.finish(*this);
    }
    void pass_through(const unsigned char*, std::size_t) override {}
    void upload_ack(std::uint64_t sequence) override { last_ack = sequence; }
    void upload_failed(std::uint64_t sequence, std::string_view) override { failed.push_back(sequence); }
    void upload_have(std::uint64_t query, std::uint64_t held, const file_hash& hash) override {
        have[query] = {held, hash};
    }
};

constexpr mode_and_time TIME{0644, 1700000000, 5};

class pull_session_test : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(folder_.empty()); }

    // Each adds one frame, as the receiver types it, and returns its sequence number.
    std::uint64_t put(std::size_t length) {
        frames_.append(frame_.data(), length);
        return next_++;
    }
    std::uint64_t prompting(unsigned version = 1) {
        return put(format_number_frame(frame_type::prompting, next_, version, frame_.data()));
    }
    // Version 3's frames.
    std::uint64_t query(std::string_view name, std::uint64_t size, mode_and_time attributes = TIME) {
        return put(format_query_frame(next_, size, attributes, name, frame_.data()));
    }
    std::uint64_t file3(std::string_view name, std::uint64_t size, std::uint64_t start = 0) {
        return put(format_file_frame(3, next_, size, TIME, start, name, frame_.data()));
    }
    std::uint64_t end3(std::string_view whole) {
        return put(format_file_end_frame(3, next_, hash_of(whole), frame_.data()));
    }
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

    void write_file(const std::string& name, const std::string& bytes, mode_and_time attributes = TIME) const {
        std::ofstream(folder_ / name, std::ios::binary) << bytes;
        const timespec times[2] = {{0, UTIME_OMIT}, {attributes.seconds, attributes.nanoseconds}};
        ASSERT_EQ(utimensat(AT_FDCWD, (folder_ / name).c_str(), times, 0), 0);
    }

    std::map<std::string, std::string> saved() const {
        std::map<std::string, std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
            std::ifstream in(entry.path(), std::ios::binary);
            found[entry.path().lexically_relative(folder_)] = {std::istreambuf_iterator<char>(in), {}};
        }
        return found;
    }

    pushfile_test::scratch_dir scratch_;
    const fs::path& folder_ = scratch_.path;
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
    // An acknowledgement a tmux between dropped is sent again once the input went quiet, once
    // until more comes.
    const std::size_t before = output.written.size();
    session.input_quiet(), session.input_quiet();
    const std::string again = output.written.substr(before);
    EXPECT_EQ(messages(again).last_ack, too_much + 2);
    EXPECT_EQ(std::count(again.begin(), again.end(), '\0'), 1) << again;
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

// A file whose bytes differ from what the sender hashed is not saved under any name, nor kept
// as a partial file.
TEST_F(pull_session_test, a_whole_file_hash_that_does_not_match_fails_the_file_and_keeps_nothing) {
    file_sink sink(folder_.string());
    recording_output output;
    pull::pull_session session(sink, output, folder_.string());
    prompting(3);
    const std::uint64_t bad = file3("bad", 3);
    data("abc"), end3("abd"), done(1);
    feed(session);
    EXPECT_EQ(messages(output.written).failed, std::vector<std::uint64_t>{bad});
    EXPECT_EQ(saved(), (std::map<std::string, std::string>{}));
    EXPECT_NE(session.summary().find("1 failed its whole-file check"), std::string::npos) << session.summary();
}

// A break keeps what came under the hidden name; the next upload's query is offered it with its
// hash, resumes from there, and the partial file is gone once the file is whole.
TEST_F(pull_session_test, a_break_keeps_a_partial_file_that_the_next_upload_resumes) {
    file_sink sink(folder_.string());
    {
        recording_output output;
        pull::pull_session session(sink, output, folder_.string());
        prompting(3), file3("big", 6), data("abc");
        feed(session);
        session.input_ended("the input ended before the upload did");
    }
    const std::string partial = ".big.6-1700000000-5.pullfile-part";
    EXPECT_EQ(saved(), (std::map<std::string, std::string>{{partial, "abc"}}));

    recording_output output;
    pull::pull_session session(sink, output, folder_.string());
    next_ = 1;
    prompting(3);
    const std::uint64_t asked = query("big", 6);
    file3("big", 6, 3), data("def"), end3("abcdef"), done(1);
    feed(session);
    EXPECT_EQ(messages(output.written).have[asked], std::make_pair(std::uint64_t{3}, hash_of("abc")));
    EXPECT_EQ(saved(), (std::map<std::string, std::string>{{"big", "abcdef"}}));
    EXPECT_NE(session.summary().find("1 resumed at 3 B"), std::string::npos) << session.summary();
}

// A start pullfile did not offer (none at all, or not the one offered) fails the file.
TEST_F(pull_session_test, a_start_that_was_not_offered_fails_the_file) {
    write_file(".f.6-1700000000-5.pullfile-part", "abc");
    file_sink sink(folder_.string());
    recording_output output;
    pull::pull_session session(sink, output, folder_.string());
    prompting(3);
    const std::uint64_t unasked = file3("f", 6, 3);
    data("def"), end3("abcdef"), query("f", 6);
    const std::uint64_t other_start = file3("f", 6, 2);
    data("cdef"), end3("abcdef"), done(2);
    feed(session);
    EXPECT_EQ(messages(output.written).failed, (std::vector<std::uint64_t>{unasked, other_start}));
    EXPECT_FALSE(fs::exists(folder_ / "f"));
}

// --skip-identical offers a file of that name whole only when its size and time are the ones
// sent; the file offered stays as it is.
TEST_F(pull_session_test, skip_identical_offers_the_whole_file_only_for_the_same_size_and_time) {
    write_file("same", "12345");
    write_file("older", "12345", {0644, 1600000000, 5});
    file_sink sink(folder_.string());
    recording_output output;
    pull::pull_session session(sink, output, folder_.string(), {.skip_identical = true});
    prompting(3);
    const std::uint64_t same = query("same", 5), older = query("older", 5), longer = query("same", 6);
    feed(session);
    // The file offered stays as it is: nothing is opened for it, not even a temporary file.
    rlimit descriptors{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &descriptors), 0);
    const rlimit none{0, descriptors.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    file3("same", 5, 5), end3("12345"), done(1);
    feed(session);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &descriptors), 0);
    const messages seen(output.written);
    EXPECT_EQ(seen.have.at(same), std::make_pair(std::uint64_t{5}, hash_of("12345")));
    EXPECT_EQ(seen.have.at(older).first, 0U);
    EXPECT_EQ(seen.have.at(longer).first, 0U);
    EXPECT_NE(session.summary().find("1 skipped (identical)"), std::string::npos) << session.summary();
    EXPECT_EQ(session.exit_status(), pull::EXIT_ALL_SAVED);
}

// --replace renames the new file over the old one: a link to the old file still sees the old
// bytes (nothing was written through it), and no numbered name appears.
TEST_F(pull_session_test, replace_renames_over_the_existing_file) {
    write_file("a", "old");
    fs::create_hard_link(folder_ / "a", folder_ / "old-link");
    fs::create_symlink("old-link", folder_ / "b");
    file_sink sink(folder_.string());
    recording_output output;
    pull::pull_session session(sink, output, folder_.string(), {.replace = true});
    prompting(3), file3("a", 3), data("new"), end3("new"), file3("b", 3), data("new"), end3("new"), done(2);
    feed(session);
    EXPECT_EQ(saved(), (std::map<std::string, std::string>{
                           {"a", "new"}, {"old-link", "old"}, {"b", "old"}, {"b.1", "new"}}));
    EXPECT_NE(session.summary().find("1 replaced"), std::string::npos) << session.summary();
}

}  // namespace

// What tmux says of itself decides whether answers to its clipboard queries may carry the frames,
// and how much each carries: never where tmux would not pass them on, where escape-time leaves
// them no time, or where another client (a real terminal) might answer with the user's clipboard.
TEST(tmux_clipboard, what_tmux_says_decides_the_way_and_the_chunk) {
    struct facts_case {
        std::string line;
        std::size_t chunk;  // 0: typed frames
    };
    const facts_case cases[] = {
        {"3.3a|500|1|bpaste,clipboard,title", 500 * CHUNK_BYTES_PER_ESCAPE_MS},
        {"3.6|900|1|clipboard", MAX_CLIPBOARD_CHUNK},
        {"next-3.6|200|1|clipboard", 200 * CHUNK_BYTES_PER_ESCAPE_MS},
        {"3.5a|10|1|clipboard", 0},
        {"3.2a|500|1|clipboard", 0},
        {"3.7|500|1|clipboard", 0},
        {"3.4|500|2|clipboard", 0},
        {"3.4|500|1|bpaste,title", 0},
        {"3.4|500|1", 0},
    };
    for (const facts_case& test : cases) {
        pull::tmux_facts facts;
        std::string why_not;
        const bool read = pull::parse_tmux_facts(test.line, &facts);
        const std::size_t chunk = read ? pull::largest_clipboard_chunk(facts, &why_not) : 0;
        EXPECT_EQ(chunk, test.chunk) << test.line;
        EXPECT_EQ(read && why_not.empty(), chunk > 0) << test.line;
    }
    // Answers grow while they come in good time, past half a MiB only when twice as large did not
    // take half as long again (a round trip, not tmux, is what they wait on).
    using ms = std::chrono::milliseconds;
    const auto next = [](std::size_t kib, int took, int took_at_half) {
        return pull::next_clipboard_chunk(kib << 10, 750 << 10, ms(took), ms(took_at_half), ms(500)) >> 10;
    };
    EXPECT_EQ(next(200, 20, 0), 400U);
    EXPECT_EQ(next(400, 30, 15), 512U);
    EXPECT_EQ(next(400, 60, 58), 750U);
    EXPECT_EQ(next(512, 62, 0), 512U);
    EXPECT_EQ(next(400, 130, 60), 400U);
}
