#include "stream_parser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "support/stream_builder.h"

// Counts heap allocations, so that tests can show the parser takes none whatever it is fed.
namespace {
std::atomic<long> allocations{0};
}
void* operator new(std::size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

using namespace pushfile::receive;
using namespace stream_builder;

// Writes everything the parser reports into one transcript; adjacent output is merged, so that
// transcripts of differently chunked feeds compare equal.
class transcript final : public stream_parser_events {
public:
    void pass_through(const unsigned char* bytes, std::size_t length) override {
        if (!text_open_) text += "T:";
        text.append(reinterpret_cast<const char*>(bytes), length);
        text_open_ = true;
        output_bytes += length;
    }
    void path_message(std::string_view path) override { event("P:" + std::string(path)); }
    void size_message(std::uint64_t size) override { event("S:" + std::to_string(size)); }
    void block_message(const unsigned char* bytes, std::size_t length) override {
        event("B:" + std::string(reinterpret_cast<const char*>(bytes), length));
    }
    void end_message() override { event("E"); }
    void rejected_message(message_kind kind, parse_error error) override {
        event("X:" + std::to_string(static_cast<int>(kind)) + ":" + describe(error));
    }

    std::string text;
    std::size_t output_bytes = 0;

private:
    void event(const std::string& what) {
        text += (text_open_ ? "|" : "") + what + "|";
        text_open_ = false;
    }
    bool text_open_ = false;
};

std::string parse_in_chunks(const std::string& stream, const std::vector<std::size_t>& cuts,
                            stream_parser& parser, transcript& events) {
    std::size_t start = 0;
    for (const std::size_t cut : cuts) {
        parser.feed(reinterpret_cast<const unsigned char*>(stream.data()) + start, cut - start, events);
        start = cut;
    }
    parser.feed(reinterpret_cast<const unsigned char*>(stream.data()) + start, stream.size() - start, events);
    parser.finish(events);
    // Every input byte is either ordinary output or part of a message.
    EXPECT_EQ(events.output_bytes + parser.message_bytes(), stream.size());
    return events.text;
}

std::string parse(const std::string& stream, const std::vector<std::size_t>& cuts = {}) {
    stream_parser parser;
    transcript events;
    return parse_in_chunks(stream, cuts, parser, events);
}

TEST(StreamParser, ValidStreamDecodesTheSameWhereverItIsSplit) {
    const std::string data = std::string("abc\x00\xff\n\x1b}f", 9) + std::string(20, 'z');
    const std::string stream = "before " + file_stream("dir/\x1bname", data, 7) + "after";
    const std::string expected = parse(stream);
    EXPECT_EQ(expected, "T:before |P:dir/\x1bname|S:" + std::to_string(data.size()) + "|B:" + data.substr(0, 7) +
                            "|B:" + data.substr(7, 7) + "|B:" + data.substr(14, 7) + "|B:" + data.substr(21, 7) +
                            "|B:" + data.substr(28) + "|E|T:after");
    for (std::size_t cut = 1; cut < stream.size(); ++cut) ASSERT_EQ(parse(stream, {cut}), expected) << cut;
    std::vector<std::size_t> every_byte;
    for (std::size_t cut = 1; cut < stream.size(); ++cut) every_byte.push_back(cut);
    EXPECT_EQ(parse(stream, every_byte), expected);
}

TEST(StreamParser, FullBlocksSurviveRandomChunking) {
    std::mt19937 random(7);
    std::string data(2 * 37268 + 100, '\0');
    for (char& c : data) c = static_cast<char>(random());
    const std::string stream = file_stream("big.bin", data);
    const std::string expected = "P:big.bin|S:74636|B:" + data.substr(0, 37268) + "|B:" + data.substr(37268, 37268) +
                                 "|B:" + data.substr(2 * 37268) + "|E|";
    for (int round = 0; round < 20; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = random() % 5000; at < stream.size(); at += 1 + random() % 9000) cuts.push_back(at);
        ASSERT_EQ(parse(stream, cuts), expected) << round;
    }
}

TEST(StreamParser, BytesThatOnlyLookLikeAMessagePassThroughInOrder) {
    const std::string lookalikes[] = {
        "\x1b[31mred\x1b[0m", "\x1b", "\x1b}", "\x1b}f", "\x1b}x", "\x1b}fz", "\x1b}fR", "\x1b\x1b\x1b}",
        "}f", "plain\x1b}\x1b}f\x1b",
    };
    for (const std::string& text : lookalikes) {
        const std::string stream = text + "|tail";
        std::string split_everywhere;
        std::vector<std::size_t> cuts;
        for (std::size_t cut = 1; cut < stream.size(); ++cut) cuts.push_back(cut);
        EXPECT_EQ(parse(stream), "T:" + stream) << text;
        EXPECT_EQ(parse(stream, cuts), "T:" + stream) << text;
    }
    // A lookalike directly before a real message: the real one is still found.
    EXPECT_EQ(parse("\x1b}\x1b}fx" + std::string(2, '\0')), "T:\x1b}|E|");
}

TEST(StreamParser, MalformedMessagesAreRejectedAndTheNextTransferWorks) {
    struct bad_case {
        std::string stream;
        std::string expected;
    };
    const std::string good = file_stream("ok", "fine");
    const std::string good_events = "P:ok|S:4|B:fine|E|";
    const bad_case cases[] = {
        {std::string("\x1b}fs12a3\0", 9), "X:1:" + std::string(describe(parse_error::bad_size)) + "|T:a3" + '\0' + '|'},
        {std::string("\x1b}fs\0", 5), "X:1:" + std::string(describe(parse_error::bad_size)) + "|"},
        {"\x1b}fs" + std::string(30, '9') + '\0',
         "X:1:" + std::string(describe(parse_error::size_too_large)) + "|T:" + std::string(11, '9') + '\0' + '|'},
        {"\x1b}fs18446744073709551616" + std::string(1, '\0'),
         "X:1:" + std::string(describe(parse_error::size_too_large)) + "|T:6" + '\0' + '|'},
        {"\x1b}fd409 FAFBFC" + std::string(1, '\0'), "X:2:" + std::string(describe(parse_error::checksum_mismatch)) + "|"},
        {"\x1b}fd408 FAFBFP" + std::string(1, '\0'), "X:2:" + std::string(describe(parse_error::bad_letter)) + "|T:P" + '\0' + '|'},
        {"\x1b}fd338 FAFBF" + std::string(1, '\0'), "X:2:" + std::string(describe(parse_error::odd_letter_count)) + "|"},
        {"\x1b}fd0 " + std::string(1, '\0'), "X:2:" + std::string(describe(parse_error::empty_block)) + "|"},
        {"\x1b}fd FA" + std::string(1, '\0'), "X:2:" + std::string(describe(parse_error::bad_checksum)) + "|T: FA" + '\0' + '|'},
        {"\x1b}fd99999999999 FA" + std::string(1, '\0'),
         "X:2:" + std::string(describe(parse_error::bad_checksum)) + "|T:99 FA" + '\0' + '|'},
        {"\x1b}fxjunk", "X:3:" + std::string(describe(parse_error::bad_end)) + "|T:junk|"},
    };
    for (const bad_case& bad : cases) {
        EXPECT_EQ(parse(bad.stream + good), bad.expected + good_events) << bad.stream;
    }
    // A new message that opens inside a block's letters ends that block.
    const std::string cut_block = "\x1b}fd408 FAF" + path_message("next");
    EXPECT_EQ(parse(cut_block), "X:2:" + std::string(describe(parse_error::bad_letter)) + "|P:next|");
}

TEST(StreamParser, OverLongMessagesAreCutOffWithoutTakingMemory) {
    const std::string longest_path(MAX_PATH_LENGTH, 'p');
    EXPECT_EQ(parse(path_message(longest_path)), "P:" + longest_path + "|");

    const std::string endless_path = "\x1b}fr" + std::string(1 << 20, 'p');
    const std::string full_block = block_message(std::string(37268, 'x'));
    const std::string endless_block = "\x1b}fd1 " + std::string(1 << 20, 'F');

    const long before = allocations.load();
    stream_parser parser;
    class counting_events final : public stream_parser_events {
    public:
        void pass_through(const unsigned char*, std::size_t length) override { output += length; }
        void path_message(std::string_view) override { ++messages; }
        void size_message(std::uint64_t) override { ++messages; }
        void block_message(const unsigned char*, std::size_t length) override { blocks += length; }
        void end_message() override { ++messages; }
        void rejected_message(message_kind, parse_error error) override { rejections.push_back(error); }
        std::size_t output = 0, blocks = 0, messages = 0;
        std::vector<parse_error> rejections;
    } events;
    events.rejections.reserve(8);
    const long reserved = allocations.load();
    for (const std::string* stream : {&endless_path, &full_block, &endless_block}) {
        for (std::size_t at = 0; at < stream->size(); at += 4096) {
            const std::size_t length = std::min<std::size_t>(4096, stream->size() - at);
            parser.feed(reinterpret_cast<const unsigned char*>(stream->data()) + at, length, events);
        }
    }
    EXPECT_EQ(allocations.load(), reserved) << "the parser allocated while parsing";
    (void)before;
    ASSERT_EQ(events.rejections.size(), 2U);
    EXPECT_EQ(events.rejections[0], parse_error::path_too_long);
    EXPECT_EQ(events.rejections[1], parse_error::block_too_long);
    EXPECT_EQ(events.blocks, 37268U);
    // What followed each cut-off was shown as ordinary output.
    EXPECT_EQ(events.output, (endless_path.size() - 4 - MAX_PATH_LENGTH) + (endless_block.size() - 6 - 2 * 37268));
}

TEST(StreamParser, EndMessageSwallowsOnlyItsOwnZeroByte) {
    EXPECT_EQ(parse(std::string("\x1b}fx\0\0\0", 7)), std::string("E|T:") + '\0');
    EXPECT_EQ(parse(std::string("\x1b}fx\0A", 6)), "E|T:A");
    EXPECT_EQ(parse(std::string("\x1b}fx\0\x1b}fx\0\0", 11)), "E|E|");
}

}  // namespace
