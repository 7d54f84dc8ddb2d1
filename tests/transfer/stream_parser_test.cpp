#include "transfer/stream_parser.h"
#include "common/messages.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/stream_builder.h"

// Counts heap allocations, so that tests can show the parser takes none whatever it is fed.
namespace {
std::atomic<long> allocations{0};
}
// Kept out of line: inlined into a caller, g++ 12 takes the malloc/free pair for a mismatch.
[[gnu::noinline]] void* operator new(std::size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

using namespace pushfile;
using namespace pushfile_test;
using records = std::vector<std::string>;

const char* kind_name(message_kind kind) {
    constexpr const char* names[] = {"path", "size", "block", "end", "request", "ack", "failed", "quit", "have", "clipboard"};
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(names) ? names[index] : "another kind";
}

std::string have_message(std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash) {
    char buffer[MESSAGE_BUFFER_SIZE];
    return std::string(buffer, format_upload_have(buffer, query_sequence, held, hash) + 1);
}

std::string rejected(message_kind kind, parse_error error) {
    return std::string("X:") + kind_name(kind) + ": " + describe(error);
}

// Everything the parser reports, one record per event; adjacent output is merged into one "T:"
// record, so that transcripts of differently chunked feeds compare equal. output holds every
// byte passed through, in order.
class transcript final : public stream_parser_events {
public:
    void pass_through(const unsigned char* bytes, std::size_t length) override {
        EXPECT_GT(length, 0U);
        const std::string text(reinterpret_cast<const char*>(bytes), length);
        if (text_open_) {
            events.back() += text;
        } else {
            events.push_back("T:" + text);
        }
        text_open_ = true;
        output += text;
    }
    void path_message(std::string_view path) override { event("P:" + std::string(path)); }
    void size_message(std::uint64_t size) override { event("S:" + std::to_string(size)); }
    void block_message(const unsigned char* bytes, std::size_t length) override {
        event("B:" + std::string(reinterpret_cast<const char*>(bytes), length));
    }
    void end_message() override { event("E"); }
    void upload_request(std::string_view folder) override { event("U:" + std::string(folder)); }
    void upload_ack(std::uint64_t sequence) override { event("A:" + std::to_string(sequence)); }
    void upload_failed(std::uint64_t sequence, std::string_view reason) override {
        event("F:" + std::to_string(sequence) + " " + std::string(reason));
    }
    void upload_end(std::uint64_t status) override { event("Q:" + std::to_string(status)); }
    void upload_have(std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash) override {
        char hex[FILE_HASH_HEX_LENGTH];
        format_file_hash(hash, hex);
        event("H:" + std::to_string(query_sequence) + " " + std::to_string(held) + " " + std::string(hex, sizeof hex));
    }
    void upload_clipboard(std::uint64_t chunk, std::string_view token) override {
        event("K:" + std::to_string(chunk) + " " + std::string(token));
    }
    void rejected_message(message_kind kind, parse_error error) override { event(rejected(kind, error)); }
    bool clipboard_query() override {
        event("C");
        return true;
    }

    records events;
    std::string output;

private:
    void event(std::string what) {
        events.push_back(std::move(what));
        text_open_ = false;
    }
    bool text_open_ = false;
};

// What the parser holds back after fed is the end of it: finishing there passes exactly those
// bytes through, as they came.
void expect_held_bytes_given_back(const stream_parser& parser, std::string_view fed) {
    const std::size_t held = parser.held_bytes();
    ASSERT_LE(held, fed.size());
    stream_parser ended_here = parser;
    transcript released;
    ended_here.finish(released);
    EXPECT_TRUE(released.output == fed.substr(fed.size() - held)) << "held " << held << " of " << fed.size();
}

// Feeds stream in the pieces the cuts make, checking after each that no more is held than was fed
// and a release may bring, and (unless fed byte by byte) that what is held is given back whole.
transcript parse(const std::string& stream, const std::vector<std::size_t>& cuts = {}) {
    stream_parser parser;
    transcript events;
    const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
    std::size_t start = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? cuts[i] : stream.size();
        parser.feed(bytes + start, end - start, events);
        start = end;
        EXPECT_LE(events.output.size() + parser.held_bytes(), end);
        EXPECT_LE(parser.held_bytes(), MAX_RELEASE_BYTES);
        if (cuts.size() <= 1 && parser.held_bytes() > 0) {
            expect_held_bytes_given_back(parser, std::string_view(stream).substr(0, end));
        }
    }
    parser.finish(events);
    EXPECT_EQ(parser.held_bytes(), 0U);
    EXPECT_FALSE(parser.in_message());
    EXPECT_LE(events.output.size(), stream.size());
    return events;
}

// Whole, split once at every point (every 997th for long streams), and byte by byte.
void expect_events_however_split(const std::string& stream, const records& expected, const std::string& label) {
    EXPECT_EQ(parse(stream).events, expected) << label;
    const std::size_t step = stream.size() <= 4096 ? 1 : 997;
    for (std::size_t cut = 1; cut < stream.size(); cut += step) {
        ASSERT_EQ(parse(stream, {cut}).events, expected) << label << ", cut at " << cut;
    }
    std::vector<std::size_t> every_byte;
    for (std::size_t cut = 1; cut < stream.size(); ++cut) every_byte.push_back(cut);
    EXPECT_EQ(parse(stream, every_byte).events, expected) << label << ", byte by byte";
}

TEST(stream_parser, valid_stream_decodes_the_same_wherever_it_is_split) {
    const std::string data = std::string("abc\x00\xff\n\x1b}f", 9) + std::string(20, 'z');
    const std::string stream = "before " + file_stream("dir/\x1bname", data, 7) + "after";
    expect_events_however_split(stream,
                                {"T:before ", "P:dir/\x1bname", "S:" + std::to_string(data.size()),
                                 "B:" + data.substr(0, 7), "B:" + data.substr(7, 7), "B:" + data.substr(14, 7),
                                 "B:" + data.substr(21, 7), "B:" + data.substr(28), "E", "T:after"},
                                "valid stream");
}

TEST(stream_parser, full_blocks_survive_random_chunking) {
    std::mt19937 random(7);
    std::string data(2 * 37268 + 100, '\0');
    for (char& c : data) c = static_cast<char>(random());
    const std::string stream = file_stream("big.bin", data);
    const records expected = {"P:big.bin",
                              "S:74636",
                              "B:" + data.substr(0, 37268),
                              "B:" + data.substr(37268, 37268),
                              "B:" + data.substr(2 * 37268),
                              "E"};
    for (int round = 0; round < 20; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = random() % 5000; at < stream.size(); at += 1 + random() % 9000) cuts.push_back(at);
        ASSERT_EQ(parse(stream, cuts).events, expected) << round;
    }
}

// Only complete valid messages leave the output; everything else reaches it whole and in order,
// with a rejection reported right after the bytes of a broken message.
TEST(stream_parser, anything_but_a_complete_valid_message_is_passed_through_whole) {
    const std::string nul(1, '\0');
    const std::string full_letters = letters_of(std::string(37268, 'x'));
    const std::string full_checksum = std::to_string(checksum_of(full_letters));
    const std::string long_text(20000, 't');
    struct stream_case {
        std::string label;
        std::string stream;
        records expected;
    };
    const stream_case cases[] = {
        // Lookalikes: prefixes that are not followed by a known code.
        {"colours", "\x1b[31mred\x1b[0m", {"T:\x1b[31mred\x1b[0m"}},
        {"lone escape", "\x1b|", {"T:\x1b|"}},
        {"escape brace", "\x1b}|", {"T:\x1b}|"}},
        {"unknown code", "\x1b}fz|", {"T:\x1b}fz|"}},
        {"upper-case code", "\x1b}fR|", {"T:\x1b}fR|"}},
        {"escapes in a row", "\x1b\x1b\x1b}|", {"T:\x1b\x1b\x1b}|"}},
        {"prefixes in a row", "plain\x1b}\x1b}f\x1b|", {"T:plain\x1b}\x1b}f\x1b|"}},
        {"lookalike before a message", "\x1b}" + end_message(), {"T:\x1b}", "E"}},

        // Broken by a byte that cannot continue it: that byte is output again, and may open the
        // next message.
        {"size with letters",
         "\x1b}fsabc",
         {"T:\x1b}fs", rejected(message_kind::size, parse_error::bad_size), "T:abc"}},
        {"size then letters",
         "\x1b}fs12a3" + nul,
         {"T:\x1b}fs12", rejected(message_kind::size, parse_error::bad_size), "T:a3" + nul}},
        {"checksum then no letters",
         "\x1b}fd12 xyz",
         {"T:\x1b}fd12 ", rejected(message_kind::block, parse_error::bad_letter), "T:xyz"}},
        {"end with a body", "\x1b}fxy", {"T:\x1b}fx", rejected(message_kind::end, parse_error::bad_end), "T:y"}},
        {"size of 30 digits",
         "\x1b}fs" + std::string(30, '9') + nul,
         {"T:\x1b}fs" + std::string(19, '9'), rejected(message_kind::size, parse_error::size_too_large),
          "T:" + std::string(11, '9') + nul}},
        {"size one beyond 64 bits",
         "\x1b}fs18446744073709551616" + nul,
         {"T:\x1b}fs1844674407370955161", rejected(message_kind::size, parse_error::size_too_large), "T:6" + nul}},
        {"checksum missing",
         "\x1b}fd FA" + nul,
         {"T:\x1b}fd", rejected(message_kind::block, parse_error::bad_checksum), "T: FA" + nul}},
        {"checksum of 11 digits",
         "\x1b}fd09999999999 FA" + nul,
         {"T:\x1b}fd0999999999", rejected(message_kind::block, parse_error::bad_checksum), "T:9 FA" + nul}},
        {"letter out of range",
         "\x1b}fd408 FAFBFP" + nul,
         {"T:\x1b}fd408 FAFBF", rejected(message_kind::block, parse_error::bad_letter), "T:P" + nul}},
        {"message inside letters",
         "\x1b}fd408 FAF" + path_message("next"),
         {"T:\x1b}fd408 FAF", rejected(message_kind::block, parse_error::bad_letter), "P:next"}},
        {"block one letter too long",
         "\x1b}fd" + full_checksum + " " + full_letters + "F" + nul,
         {"T:\x1b}fd" + full_checksum + " " + full_letters, rejected(message_kind::block, parse_error::block_too_long),
          "T:F" + nul}},
        {"path without a NUL",
         "\x1b}fr" + long_text,
         {"T:\x1b}fr" + long_text.substr(0, MAX_PATH_LENGTH), rejected(message_kind::path, parse_error::path_too_long),
          "T:" + long_text.substr(MAX_PATH_LENGTH)}},

        // Complete but invalid: released with the NUL that ends it.
        {"bad checksum",
         "\x1b}fd409 FAFBFC" + nul + "|",
         {"T:\x1b}fd409 FAFBFC" + nul, rejected(message_kind::block, parse_error::checksum_mismatch), "T:|"}},
        {"full block, bad checksum",
         "\x1b}fd1 " + full_letters + nul,
         {"T:\x1b}fd1 " + full_letters + nul, rejected(message_kind::block, parse_error::checksum_mismatch)}},
        {"odd letter count",
         "\x1b}fd338 FAFBF" + nul,
         {"T:\x1b}fd338 FAFBF" + nul, rejected(message_kind::block, parse_error::odd_letter_count)}},
        {"empty block",
         "\x1b}fd0 " + nul,
         {"T:\x1b}fd0 " + nul, rejected(message_kind::block, parse_error::empty_block)}},
        {"empty size", "\x1b}fs" + nul, {"T:\x1b}fs" + nul, rejected(message_kind::size, parse_error::bad_size)}},

        // Cut off by the end of the output: released as it came, leading zeros included.
        {"ends after a prefix", "text\x1b}f", {"T:text\x1b}f"}},
        {"ends inside a path", "\x1b}frcut-of", {"T:\x1b}frcut-of"}},
        {"ends inside a size", "\x1b}fs0070", {"T:\x1b}fs0070"}},
        {"ends inside a checksum", "\x1b}fd00", {"T:\x1b}fd00"}},
        {"ends inside letters", "\x1b}fd0064 FAF", {"T:\x1b}fd0064 FAF"}},
        {"ends inside a full block",
         "\x1b}fd" + full_checksum + " " + full_letters,
         {"T:\x1b}fd" + full_checksum + " " + full_letters}},
        {"ends before an end's NUL", "\x1b}fx", {"T:\x1b}fx"}},

        // The end message takes the zero byte right after it, and only that one.
        {"end, then two zero bytes", end_message() + nul, {"E", "T:" + nul}},
        {"end without its zero byte", end_message().substr(0, 5) + "A", {"E", "T:A"}},
        {"two ends", end_message().substr(0, 5) + end_message(), {"E", "E"}},

        // pullfile's messages, and their limits.
        {"upload conversation",
         "\x1b}fu/home/me dl" + nul + "\x1b}fa9223372036854775807" + nul + "\x1b}fe7 no room: a b" + nul +
             "\x1b}fq255" + nul,
         {"U:/home/me dl", "A:9223372036854775807", "F:7 no room: a b", "Q:255"}},
        {"ack with a letter",
         "\x1b}fa1x",
         {"T:\x1b}fa1", rejected(message_kind::upload_ack, parse_error::bad_upload_message), "T:x"}},
        {"exit status beyond 255",
         "\x1b}fq256" + nul,
         {"T:\x1b}fq25", rejected(message_kind::upload_end, parse_error::bad_upload_message), "T:6" + nul}},
        {"failure without its reason",
         "\x1b}fe7" + nul,
         {"T:\x1b}fe7" + nul, rejected(message_kind::upload_failed, parse_error::bad_upload_message)}},

        // What pullfile holds of a file it was asked about: the formatter's text reads back.
        {"have, with and without bytes held",
         have_message(3, 1288490188, {0x0123456789abcdefU, 0xfedcba9876543210U}) + have_message(4, 0, {7, 7}),
         {"H:3 1288490188 0123456789abcdeffedcba9876543210", "H:4 0 " + std::string(32, '0')}},
        {"have: bytes held without their hash",
         "\x1b}fh3;5" + nul,
         {"T:\x1b}fh3;5" + nul, rejected(message_kind::upload_have, parse_error::bad_upload_message)}},
        {"have: a hash with nothing held",
         "\x1b}fh3;0;" + std::string(32, 'a') + nul,
         {"T:\x1b}fh3;0;" + std::string(32, 'a') + nul,
          rejected(message_kind::upload_have, parse_error::bad_upload_message)}},
        {"have without a held count", "\x1b}fh3" + nul,
         {"T:\x1b}fh3" + nul, rejected(message_kind::upload_have, parse_error::bad_upload_message)}},

        {"clipboard queries, ended by BEL and by ST",
         "a\x1b]52;;?\x07" "b\x1b]52;;?\x1b\\c",
         {"T:a", "C", "T:b", "C", "T:c"}},
        {"other strings of the terminal's, and queries cut short",
         "\x1b]52;c;?\x07\x1b]0;title\x07\x1b]52;;?x\x1b]52;;?\x1b|\x1b]5",
         {"T:\x1b]52;c;?\x07\x1b]0;title\x07\x1b]52;;?x\x1b]52;;?\x1b|\x1b]5"}},
        {"clipboard offer, and one with a short token",
         "\x1b}fc65536 0123456789abcdef" + nul + "\x1b}fc0 0123" + nul,
         {"K:65536 0123456789abcdef", "T:\x1b}fc0 0123" + nul,
          rejected(message_kind::upload_clipboard, parse_error::bad_upload_message)}},

        // Valid messages among broken ones are still found.
        {"mixed",
         "a" + path_message("f") + "\x1b}fs3x" + size_message(3) + "\x1b}fd1 FA" + nul + block_message("abc") +
             "\x1b}fx" + end_message() + "z",
         {"T:a", "P:f", "T:\x1b}fs3", rejected(message_kind::size, parse_error::bad_size), "T:x", "S:3",
          "T:\x1b}fd1 FA" + nul, rejected(message_kind::block, parse_error::checksum_mismatch), "B:abc", "T:\x1b}fx",
          rejected(message_kind::end, parse_error::bad_end), "E", "T:z"}},
    };
    for (const stream_case& c : cases) expect_events_however_split(c.stream, c.expected, c.label);

    // A query no upload takes reaches the terminal as it came.
    struct untaken final : stream_parser_events {
        void pass_through(const unsigned char* bytes, std::size_t length) override {
            output.append(reinterpret_cast<const char*>(bytes), length);
        }
        std::string output;
    } terminal;
    const std::string queries = "\x1b]52;;?\x07\x1b]52;;?\x1b\\";
    stream_parser parser;
    parser.feed(reinterpret_cast<const unsigned char*>(queries.data()), queries.size(), terminal);
    EXPECT_EQ(terminal.output, queries);
}

// Output of any kind with message beginnings scattered through it: without a NUL no message can
// be complete, so all of it must come out as it went in.
TEST(stream_parser, random_output_full_of_message_beginnings_passes_unchanged) {
    const std::string stream = random_with_beginnings();
    std::mt19937 random(11);
    EXPECT_EQ(parse(stream).output, stream);
    for (int round = 0; round < 5; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = random() % 100; at < stream.size(); at += 1 + random() % 300) cuts.push_back(at);
        ASSERT_EQ(parse(stream, cuts).output, stream) << round;
    }
}

TEST(stream_parser, over_long_messages_are_cut_off_without_taking_memory) {
    const std::string longest_path(MAX_PATH_LENGTH, 'p');
    EXPECT_EQ(parse(path_message(longest_path)).events, records{"P:" + longest_path});

    const std::string endless_path = "\x1b}fr" + std::string(1 << 20, 'p');
    const std::string full_block = block_message(std::string(37268, 'x'));
    const std::string endless_block = "\x1b}fd1 " + std::string(1 << 20, 'F');

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
    ASSERT_EQ(events.rejections.size(), 2U);
    EXPECT_EQ(events.rejections[0], parse_error::path_too_long);
    EXPECT_EQ(events.rejections[1], parse_error::block_too_long);
    EXPECT_EQ(events.blocks, 37268U);
    // Both cut-off messages reached the output whole, and so did what followed them.
    EXPECT_EQ(events.output, endless_path.size() + endless_block.size());
}

}  // namespace
