// The letter encoding (every routine held to one reference), the formatting of the messages and
// their wrapping in tmux's passthrough.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/letters.h"
#include "common/messages.h"
#include "common/multiplexer.h"

namespace {

using pushfile::letter_routine;
using namespace pushfile;

using encoder = std::uint32_t (*)(const unsigned char*, std::size_t, unsigned char*);
using decoder = std::size_t (*)(const unsigned char*, std::size_t, unsigned char*, std::uint64_t*);

struct routine {
    const char* name;
    encoder encode;
    decoder decode;
};

template <letter_routine WHICH>
std::uint32_t encode_with(const unsigned char* bytes, std::size_t count, unsigned char* letters) {
    return pushfile::encode_letters_with(WHICH, bytes, count, letters);
}
template <letter_routine WHICH>
std::size_t decode_with(const unsigned char* letters, std::size_t pairs, unsigned char* bytes, std::uint64_t* sum) {
    return pushfile::decode_letters_with(WHICH, letters, pairs, bytes, sum);
}

// The dispatching entry points and each routine the processor can run; the scalar one is the
// reference the others must match on every architecture.
std::vector<routine> routines() {
    std::vector<routine> found{{"dispatch", pushfile::encode_letters, pushfile::decode_letters},
                               {"scalar", encode_with<letter_routine::scalar>, decode_with<letter_routine::scalar>}};
    const routine vector_routines[] = {{"sse2", encode_with<letter_routine::sse2>, decode_with<letter_routine::sse2>},
                                       {"avx2", encode_with<letter_routine::avx2>, decode_with<letter_routine::avx2>},
                                       {"neon", encode_with<letter_routine::neon>, decode_with<letter_routine::neon>}};
    const letter_routine which[] = {letter_routine::sse2, letter_routine::avx2, letter_routine::neon};
    for (std::size_t i = 0; i < std::size(which); ++i)
        if (pushfile::letter_routine_available(which[i])) found.push_back(vector_routines[i]);
    return found;
}

std::vector<unsigned char> random_bytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<unsigned char> bytes(count);
    for (auto& byte : bytes) byte = static_cast<unsigned char>(generator());
    return bytes;
}

// The letters and their sum, worked out one nibble at a time.
std::string reference_letters(const std::vector<unsigned char>& bytes, std::uint64_t* sum) {
    std::string letters;
    *sum = 0;
    for (const unsigned char byte : bytes) {
        for (const unsigned nibble : {byte / 16U, byte % 16U}) {
            letters += static_cast<char>('@' + nibble);
            *sum += '@' + nibble;
        }
    }
    return letters;
}

constexpr unsigned char GUARD = 0xEE;

// A wrong architecture guard would quietly leave only the scalar routine.
TEST(letters, the_targets_vector_routine_is_built_in) {
#if defined(__x86_64__)
    EXPECT_TRUE(pushfile::letter_routine_available(letter_routine::sse2));
#elif defined(__aarch64__)
    EXPECT_TRUE(pushfile::letter_routine_available(letter_routine::neon));
#else
    EXPECT_FALSE(pushfile::letter_routine_available(letter_routine::sse2) ||
                 pushfile::letter_routine_available(letter_routine::neon));
#endif
}

TEST(letters, worked_examples) {
    struct example {
        std::vector<unsigned char> bytes;
        std::string letters;
        std::uint32_t sum;
    };
    const example examples[] = {{{'a', 'b', 'c'}, "FAFBFC", 408}, {{0x00}, "@@", 128}, {{0xFF}, "OO", 158}};
    for (const routine& r : routines()) {
        for (const example& e : examples) {
            unsigned char out[8];
            EXPECT_EQ(r.encode(e.bytes.data(), e.bytes.size(), out), e.sum) << r.name;
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 2 * e.bytes.size()), e.letters) << r.name;
        }
    }
}

// Lengths 1..64 cross every vector width and tail; a full block and random data cover the rest.
TEST(letters, every_routine_matches_the_reference_and_stays_in_bounds) {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= 64; ++n) lengths.push_back(n);
    lengths.push_back(pushfile::BLOCK_SIZE);
    for (const routine& r : routines()) {
        for (const std::size_t n : lengths) {
            const auto bytes = random_bytes(n, static_cast<unsigned>(n));
            std::uint64_t want_sum = 0;
            const std::string want = reference_letters(bytes, &want_sum);
            std::vector<unsigned char> out(2 * n + 64, GUARD);
            const std::uint32_t sum = r.encode(bytes.data(), n, out.data());
            ASSERT_EQ(sum, want_sum) << r.name << " length " << n;
            ASSERT_EQ(std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(2 * n)), want)
                << r.name << " length " << n;
            for (std::size_t i = 2 * n; i < out.size(); ++i)
                ASSERT_EQ(out[i], GUARD) << r.name << " wrote past the letters, length " << n;
        }
    }
}

TEST(letters, decode_round_trips_and_adds_to_the_sum) {
    for (const routine& r : routines()) {
        for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{33},
                                    std::size_t{64}, std::size_t{pushfile::BLOCK_SIZE}}) {
            const auto bytes = random_bytes(n, 7U + static_cast<unsigned>(n));
            std::uint64_t letter_sum = 0;
            const std::string letters = reference_letters(bytes, &letter_sum);
            std::vector<unsigned char> decoded(n + 1, GUARD);
            std::uint64_t sum = 1000;
            EXPECT_EQ(r.decode(reinterpret_cast<const unsigned char*>(letters.data()), n, decoded.data(), &sum), n)
                << r.name;
            EXPECT_EQ(sum, 1000 + letter_sum) << r.name << " length " << n;
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), decoded.begin())) << r.name << " length " << n;
        }
    }
}

// A bad letter at any place of either half of a pair stops the decoding before that pair; 80
// pairs put the fault in every lane of the wide loops and in the scalar tail.
TEST(letters, decode_stops_exactly_at_the_first_bad_pair) {
    constexpr std::size_t PAIRS = 80;
    const auto bytes = random_bytes(PAIRS, 99);
    std::uint64_t unused = 0;
    const std::string good = reference_letters(bytes, &unused);
    for (const routine& r : routines()) {
        for (std::size_t bad_pair = 0; bad_pair < PAIRS; ++bad_pair) {
            for (const std::size_t half : {0U, 1U}) {
                for (const int bad : {0x3F, 0x50, 0x00, 0xC0, 0xFF}) {
                    std::string letters = good;
                    letters[2 * bad_pair + half] = static_cast<char>(bad);
                    std::vector<unsigned char> decoded(PAIRS, 0);
                    std::uint64_t sum = 5;
                    const std::size_t got =
                        r.decode(reinterpret_cast<const unsigned char*>(letters.data()), PAIRS, decoded.data(), &sum);
                    ASSERT_EQ(got, bad_pair) << r.name << " bad byte " << bad << " half " << half;
                    std::uint64_t want_sum = 5;
                    for (std::size_t i = 0; i < 2 * bad_pair; ++i) want_sum += static_cast<unsigned char>(good[i]);
                    ASSERT_EQ(sum, want_sum) << r.name << " bad pair " << bad_pair;
                    ASSERT_TRUE(std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bad_pair),
                                           decoded.begin()))
                        << r.name << " bad pair " << bad_pair;
                }
            }
        }
    }
}

// Formats into a buffer larger than the message buffer, to catch a write beyond it.
void expect_message(const std::function<std::size_t(char*)>& format, const std::string& want) {
    std::vector<char> buffer(pushfile::MESSAGE_BUFFER_SIZE + 32, static_cast<char>(GUARD));
    const std::size_t length = format(buffer.data());
    EXPECT_EQ(std::string(buffer.data()), want);
    EXPECT_EQ(length, want.size());
    for (std::size_t i = pushfile::MESSAGE_BUFFER_SIZE; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], static_cast<char>(GUARD)) << "written past the message buffer at " << i;
}

TEST(messages, formats) {
    expect_message([](char* b) { return format_path_message(b, "abc"); }, "\x1b}frabc");
    expect_message([](char* b) { return format_path_message(b, "d/with space/\x1b\x7f\xff"); },
                   "\x1b}frd/with space/\x1b\x7f\xff");
    expect_message([](char* b) { return format_size_message(b, 0); }, "\x1b}fs0");
    expect_message([](char* b) { return format_size_message(b, 3); }, "\x1b}fs3");
    expect_message([](char* b) { return format_size_message(b, UINT64_MAX); }, "\x1b}fs18446744073709551615");
    expect_message([](char* b) { return format_block_header(b, 408); }, "\x1b}fd408 ");
    expect_message([](char* b) { return format_block_header(b, 5888344); }, "\x1b}fd5888344 ");
    expect_message([](char* b) { return format_end_message(b); }, "\x1b}fx");
    expect_message([](char* b) { return format_upload_request(b, "/home/me"); }, "\x1b}fu/home/me");
    expect_message([](char* b) { return format_upload_ack(b, 42); }, "\x1b}fa42");
    expect_message([](char* b) { return format_upload_failed(b, 3, "disk full"); }, "\x1b}fe3 disk full");
    expect_message([](char* b) { return format_upload_end(b, 255); }, "\x1b}fq255");
}

// The whole path message, NUL included, is at most 12288 bytes: paths up to 12283 bytes fit.
TEST(messages, long_path_is_cut_to_the_buffer_with_its_nul) {
    for (const std::size_t path_length : {12282U, 12283U, 12284U, 20000U}) {
        const std::string path(path_length, 'p');
        const std::size_t kept = std::min<std::size_t>(path_length, 12283);
        SCOPED_TRACE("path length " + std::to_string(path_length));
        expect_message([&](char* b) { return format_path_message(b, path.c_str()); },
                       "\x1b}fr" + std::string(kept, 'p'));
    }
}

// tmux's passthrough: ESC P tmux; head and tail with every ESC doubled, ESC \. A message that
// does not fit gives 0, and nothing is written past the size given.
TEST(wrap_for_tmux, doubles_escapes_joins_head_and_tail_and_refuses_what_does_not_fit) {
    using namespace std::string_literals;
    struct row {
        std::string head, tail;
        std::size_t size;
        std::string want;  // empty: does not fit
    };
    const row rows[] = {
        {"\x1b}fs5\0"s, "", 64, "\x1bPtmux;\x1b\x1b}fs5\0\x1b\\"s},
        {"\x1b}fd129 ", "@A\0"s, 64, "\x1bPtmux;\x1b\x1b}fd129 @A\0\x1b\\"s},
        {"\x1b\x1bx\x1b", "\x1by", 64, "\x1bPtmux;\x1b\x1b\x1b\x1bx\x1b\x1b\x1b\x1by\x1b\\"},
        {"", "", 9, "\x1bPtmux;\x1b\\"},
        {"\x1b}fx\0\0"s, "", 16, "\x1bPtmux;\x1b\x1b}fx\0\0\x1b\\"s},  // exactly fits
        {"\x1b}fx\0\0"s, "", 15, ""},                                   // the end does not
        {"ab\x1b", "", 10, ""},                                        // the doubled ESC does not
        {"ab\x1b", "", 12, ""},
        {"ab\x1b", "", 13, "\x1bPtmux;ab\x1b\x1b\x1b\\"},
        {"\x1b}fd1 ", "@A\0"s, 18, ""},  // the tail does not
        {"\x1b}fd1 ", "@A\0"s, 19, "\x1bPtmux;\x1b\x1b}fd1 @A\0\x1b\\"s},
        {"", "", 6, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE("head " + ::testing::PrintToString(r.head) + ", size " + std::to_string(r.size));
        std::vector<unsigned char> buffer(r.size + 16, GUARD);
        const std::size_t length =
            wrap_for_tmux(r.head.data(), r.head.size(), r.tail.data(), r.tail.size(), buffer.data(), r.size);
        ASSERT_EQ(length, r.want.size());
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length)), r.want);
        for (std::size_t i = r.size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], GUARD) << "written past at " << i;
    }
}

}  // namespace
