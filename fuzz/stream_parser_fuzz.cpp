// libFuzzer target for the transfer core's stream parser.
//
// Input layout: four control bytes, then the stream itself.
//   [0] bits 0-4: largest chunk is 2^(n % 17) bytes; bit 7: feed empty chunks between the others
//   [1] seed of the chunk lengths
//   [2] block size of the valid stream built from the data (0: full blocks)
//   [3] bit 0: that stream announces an unknown size; bit 1: ordinary output around it
//
// Every run aborts on the first broken property:
//   - the parser takes no heap memory, whatever it is fed;
//   - what is held back is the last of what was fed, at most MAX_RELEASE_BYTES, and the output
//     and it together never exceed what was fed; finishing gives it back exactly as it came;
//   - the stream fed whole and fed in seeded chunks gives the same events;
//   - the output is the stream less its complete valid messages, and those are the messages
//     reported: both as a plain reading of the format over the whole stream finds them;
//   - a sender's stream carrying the data as a file decodes to exactly that data, both ways.
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/support/stream_builder.h"
#include "transfer/stream_parser.h"

namespace {

using pushfile::message_kind;
using pushfile::parse_error;
using pushfile::stream_parser;
using pushfile::stream_parser_events;

constexpr std::size_t HEADER_LENGTH = 4;
constexpr std::size_t MAX_PATH_FROM_DATA = 200;
constexpr std::size_t MAX_NOISE = 64;
constexpr unsigned MAX_CHUNK_SHIFT = 17;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "stream_parser_fuzz: %s\n", what);
    std::abort();
}

void require(bool holds, const char* what) {
    if (!holds) fail(what);
}

// Heap use is counted only while control is inside the parser; the transcript's own strings,
// built in the callbacks, are not the parser's.
bool watching_allocations = false;
std::size_t parser_allocations = 0;

void on_malloc(const volatile void*, std::size_t) {
    if (watching_allocations) ++parser_allocations;
}
void on_free(const volatile void*) {}

class watch_scope {
public:
    watch_scope() : was_(watching_allocations) { watching_allocations = true; }
    ~watch_scope() { watching_allocations = was_; }
    watch_scope(const watch_scope&) = delete;
    watch_scope& operator=(const watch_scope&) = delete;

private:
    bool was_;
};

class pause_scope {
public:
    pause_scope() : was_(watching_allocations) { watching_allocations = false; }
    ~pause_scope() { watching_allocations = was_; }
    pause_scope(const pause_scope&) = delete;
    pause_scope& operator=(const pause_scope&) = delete;

private:
    bool was_;
};

void append_record(std::string& to, char code, std::string_view payload) {
    to += code;
    to += std::to_string(payload.size());
    to += ':';
    to += payload;
}

// Records every event with a length prefix, so that no payload can fake a boundary. Adjacent
// ordinary output is merged: how the parser splits it depends on the chunks, its bytes do not.
// Two views: every event, and only the output and the accepted messages (output on both sides
// of a rejection merged), which is what a plain reading of the stream can predict.
class transcript final : public stream_parser_events {
public:
    void pass_through(const unsigned char* bytes, std::size_t length) override {
        const pause_scope paused;
        require(length > 0, "empty pass-through span");
        pending_.append(reinterpret_cast<const char*>(bytes), length);
        accepted_pending_.append(reinterpret_cast<const char*>(bytes), length);
        output_bytes += length;
    }
    void path_message(std::string_view path) override {
        const pause_scope paused;
        record('P', path);
    }
    void size_message(std::uint64_t size) override {
        const pause_scope paused;
        record('S', std::to_string(size));
    }
    void block_message(const unsigned char* bytes, std::size_t length) override {
        const pause_scope paused;
        require(length > 0 && length <= pushfile::BLOCK_SIZE, "block event of impossible length");
        record('B', std::string_view(reinterpret_cast<const char*>(bytes), length));
    }
    void end_message() override {
        const pause_scope paused;
        record('E', "");
    }
    void upload_request(std::string_view folder) override {
        const pause_scope paused;
        record('U', folder);
    }
    void upload_ack(std::uint64_t sequence) override {
        const pause_scope paused;
        record('A', std::to_string(sequence));
    }
    void upload_failed(std::uint64_t sequence, std::string_view reason) override {
        const pause_scope paused;
        record('F', std::to_string(sequence) + " " + std::string(reason));
    }
    void upload_end(std::uint64_t status) override {
        const pause_scope paused;
        record('Q', std::to_string(status));
    }
    void upload_have(std::uint64_t query_sequence, std::uint64_t held, const pushfile::file_hash& hash) override {
        const pause_scope paused;
        require(held > 0 || hash == pushfile::file_hash{}, "have event with a hash but nothing held");
        char hex[40];
        std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(hash.high),
                      static_cast<unsigned long long>(hash.low));
        record('H', std::to_string(query_sequence) + " " + std::to_string(held) + " " + hex);
    }
    void rejected_message(message_kind kind, parse_error error) override {
        const pause_scope paused;
        flush(text_, pending_);
        append_record(text_, 'X',
                      std::to_string(static_cast<int>(kind)) + ":" + std::to_string(static_cast<int>(error)));
    }

    const std::string& text() {
        flush(text_, pending_);
        return text_;
    }
    const std::string& accepted_text() {
        flush(accepted_text_, accepted_pending_);
        return accepted_text_;
    }

    std::uint64_t output_bytes = 0;

private:
    void record(char code, std::string_view payload) {
        flush(text_, pending_);
        flush(accepted_text_, accepted_pending_);
        append_record(text_, code, payload);
        append_record(accepted_text_, code, payload);
    }
    static void flush(std::string& to, std::string& pending) {
        if (pending.empty()) return;
        append_record(to, 'T', pending);
        pending.clear();
    }

    std::string text_;
    std::string pending_;
    std::string accepted_text_;
    std::string accepted_pending_;
};

// The format read plainly, the whole stream at once and byte by byte: the output and the
// accepted messages in the transcript's accepted view. Written apart from the parser (no shared
// decoding, no chunk handling) so that the two check each other.
class reference_reading {
public:
    explicit reference_reading(std::string_view stream) : in_(stream) {}

    std::string run() {
        std::size_t at = 0;
        while (at < in_.size()) {
            if (in_[at] == '\x1b') {
                at += candidate(at);
            } else {
                pending_ += in_[at++];
            }
        }
        flush();
        return out_;
    }

private:
    static bool digit(char c) { return c >= '0' && c <= '9'; }
    static bool letter(char c) { return (static_cast<unsigned char>(c) & 0xF0U) == 0x40U; }

    // Reads the candidate that begins at `at` and returns how many bytes belong to it.
    std::size_t candidate(std::size_t at) {
        const std::size_t n = in_.size();
        const auto not_a_message = [&](std::size_t length) {
            pending_.append(in_.substr(at, length));
            return length;
        };
        if (at + 1 == n || in_[at + 1] != '}') return not_a_message(1);
        if (at + 2 == n || in_[at + 2] != 'f') return not_a_message(2);
        if (at + 3 == n) return not_a_message(3);
        const std::size_t body = at + 4;
        std::size_t j = body;
        switch (in_[at + 3]) {
            case 'r': {
                while (j < n && in_[j] != '\0' && j - body < pushfile::MAX_PATH_LENGTH) ++j;
                if (j == n || in_[j] != '\0') return not_a_message(j - at);
                record('P', in_.substr(body, j - body));
                return j + 1 - at;
            }
            case 's': {
                std::uint64_t value = 0;
                for (; j < n && digit(in_[j]); ++j) {
                    if (j - body == pushfile::MAX_SIZE_DIGITS || __builtin_mul_overflow(value, 10U, &value) ||
                        __builtin_add_overflow(value, static_cast<unsigned>(in_[j] - '0'), &value)) {
                        break;
                    }
                }
                if (j == n) return not_a_message(n - at);
                if (in_[j] != '\0') return not_a_message(j - at);
                if (j == body) return not_a_message(j + 1 - at);
                record('S', std::to_string(value));
                return j + 1 - at;
            }
            case 'd': {
                std::uint64_t checksum = 0;
                for (; j < n && digit(in_[j]) && j - body < pushfile::MAX_CHECKSUM_DIGITS; ++j) {
                    const std::uint64_t next = checksum * 10 + static_cast<unsigned>(in_[j] - '0');
                    if (next > 0x7FFFFFFFU) break;
                    checksum = next;
                }
                if (j == n) return not_a_message(n - at);
                if (in_[j] == '\0') return not_a_message(j + 1 - at);
                if (in_[j] != ' ' || j == body) return not_a_message(j - at);
                const std::size_t letters = ++j;
                std::uint64_t sum = 0;
                for (; j < n && letter(in_[j]) && j - letters < 2 * pushfile::BLOCK_SIZE; ++j) {
                    sum += static_cast<unsigned char>(in_[j]);
                }
                if (j == n) return not_a_message(n - at);
                if (in_[j] != '\0') return not_a_message(j - at);
                const std::size_t count = j - letters;
                if (count == 0 || count % 2 != 0 || sum != checksum) return not_a_message(j + 1 - at);
                std::string bytes;
                for (std::size_t k = letters; k < j; k += 2) {
                    bytes += static_cast<char>(((in_[k] & 0x0F) << 4) | (in_[k + 1] & 0x0F));
                }
                record('B', bytes);
                return j + 1 - at;
            }
            case 'u': {
                while (j < n && in_[j] != '\0' && j - body < pushfile::MAX_PATH_LENGTH) ++j;
                if (j == n || in_[j] != '\0') return not_a_message(j - at);
                record('U', in_.substr(body, j - body));
                return j + 1 - at;
            }
            case 'h': {
                while (j < n && in_[j] != '\0' && j - body < pushfile::MAX_PATH_LENGTH) ++j;
                if (j == n || in_[j] != '\0') return not_a_message(j - at);
                const std::string have = have_record(in_.substr(body, j - body));
                if (have.empty()) return not_a_message(j + 1 - at);
                record('H', have);
                return j + 1 - at;
            }
            case 'a':
            case 'q': {
                const bool ack = in_[at + 3] == 'a';
                std::uint64_t value = 0;
                j = number(body, ack ? 19 : 3, ack ? UINT64_MAX : 255, &value);
                if (j == n) return not_a_message(n - at);
                if (in_[j] != '\0') return not_a_message(j - at);
                if (j == body) return not_a_message(j + 1 - at);
                record(ack ? 'A' : 'Q', std::to_string(value));
                return j + 1 - at;
            }
            case 'e': {
                std::uint64_t value = 0;
                j = number(body, 19, UINT64_MAX, &value);
                if (j == n) return not_a_message(n - at);
                if (in_[j] == '\0') return not_a_message(j + 1 - at);
                if (in_[j] != ' ' || j == body) return not_a_message(j - at);
                const std::size_t text = ++j;
                while (j < n && in_[j] != '\0' && j - text < pushfile::MAX_PATH_LENGTH) ++j;
                if (j == n || in_[j] != '\0') return not_a_message(j - at);
                record('F', std::to_string(value) + " " + std::string(in_.substr(text, j - text)));
                return j + 1 - at;
            }
            case 'x':
                if (body == n) return not_a_message(n - at);
                if (in_[body] != '\0') return not_a_message(4);
                record('E', "");
                // The sender's extra zero byte belongs to the end message.
                return body + 1 < n && in_[body + 1] == '\0' ? 6 : 5;
            default: return not_a_message(3);
        }
    }

    // QSEQ ';' HELD [';' HASH] as the transcript records it, or empty when the body is not one:
    // a hash of 32 lowercase hex digits exactly when HELD is above 0.
    static std::string have_record(std::string_view body) {
        const auto whole_number = [](std::string_view digits, std::size_t max_digits, std::uint64_t* value) {
            if (digits.empty() || digits.size() > max_digits) return false;
            *value = 0;
            for (const char c : digits) {
                if (!digit(c) || __builtin_mul_overflow(*value, 10U, value) ||
                    __builtin_add_overflow(*value, static_cast<unsigned>(c - '0'), value))
                    return false;
            }
            return true;
        };
        const std::size_t first = body.find(';');
        if (first == std::string_view::npos) return {};
        const std::size_t second = body.find(';', first + 1);
        std::uint64_t sequence = 0;
        std::uint64_t held = 0;
        if (!whole_number(body.substr(0, first), 19, &sequence) ||
            !whole_number(body.substr(first + 1, second == std::string_view::npos ? std::string_view::npos
                                                                                    : second - first - 1),
                          20, &held))
            return {};
        std::string hash(32, '0');
        if (second == std::string_view::npos) {
            if (held != 0) return {};
        } else {
            hash = std::string(body.substr(second + 1));
            if (held == 0 || hash.size() != 32 ||
                hash.find_first_not_of("0123456789abcdef") != std::string::npos)
                return {};
        }
        return std::to_string(sequence) + " " + std::to_string(held) + " " + hash;
    }

    // Digits from `at` while they stay within max_digits and max_value: where they stop.
    std::size_t number(std::size_t at, std::size_t max_digits, std::uint64_t max_value, std::uint64_t* value) const {
        std::size_t j = at;
        for (; j < in_.size() && digit(in_[j]) && j - at < max_digits; ++j) {
            std::uint64_t next = 0;
            if (__builtin_mul_overflow(*value, 10U, &next) ||
                __builtin_add_overflow(next, static_cast<unsigned>(in_[j] - '0'), &next) || next > max_value) {
                break;
            }
            *value = next;
        }
        return j;
    }

    void record(char code, std::string_view payload) {
        flush();
        append_record(out_, code, payload);
    }
    void flush() {
        if (pending_.empty()) return;
        append_record(out_, 'T', pending_);
        pending_.clear();
    }

    std::string_view in_;
    std::string out_;
    std::string pending_;
};

class chunker {
public:
    chunker(unsigned char shape, unsigned char seed)
        : state_(0x9E3779B9U ^ (static_cast<std::uint32_t>(shape) << 8U) ^ seed),
          limit_(std::size_t{1} << ((shape & 0x1FU) % MAX_CHUNK_SHIFT)),
          empty_feeds_((shape & 0x80U) != 0) {}

    std::size_t next() {
        // xorshift32: cheap, and the same cuts for the same control bytes.
        state_ ^= state_ << 13U;
        state_ ^= state_ >> 17U;
        state_ ^= state_ << 5U;
        return 1 + state_ % limit_;
    }
    bool empty_feeds() const { return empty_feeds_; }

private:
    std::uint32_t state_;
    std::size_t limit_;
    bool empty_feeds_;
};

void check_accounting(const stream_parser& parser, const transcript& events, std::size_t fed) {
    require(events.output_bytes + parser.held_bytes() <= fed, "more passed through or held than was fed");
    require(parser.held_bytes() <= pushfile::MAX_RELEASE_BYTES, "more held back than a release may bring");
    require(parser.held_bytes() == 0 || parser.in_message(), "bytes held back outside a message");
}

// Finishing where the stream was cut passes the held bytes through, exactly the last ones fed.
// Copying the parser is not cheap, so this runs once per parse: after the first feed that leaves
// bytes held, else after the last.
void check_held_bytes_given_back(const stream_parser& parser, const unsigned char* stream, std::size_t fed) {
    static stream_parser ended_here;  // static: the parser is large
    ended_here = parser;
    transcript released;
    ended_here.finish(released);
    const std::size_t held = parser.held_bytes();
    std::string expected;
    if (held > 0) append_record(expected, 'T', {reinterpret_cast<const char*>(stream) + fed - held, held});
    require(released.text() == expected, "held bytes not given back as they came");
}

// Feeds the stream whole, or in the chunks the chunker picks, and returns the transcript.
std::string parse(const unsigned char* stream, std::size_t length, chunker* chunks) {
    stream_parser parser;
    transcript events;
    std::size_t fed = 0;
    bool held_checked = false;
    while (fed < length) {
        const std::size_t count = chunks != nullptr ? std::min(chunks->next(), length - fed) : length;
        {
            const watch_scope watched;
            if (chunks != nullptr && chunks->empty_feeds()) parser.feed(stream + fed, 0, events);
            parser.feed(stream + fed, count, events);
        }
        fed += count;
        check_accounting(parser, events, fed);
        if (!held_checked && (parser.held_bytes() > 0 || fed == length)) {
            check_held_bytes_given_back(parser, stream, fed);
            held_checked = true;
        }
    }
    {
        const watch_scope watched;
        parser.finish(events);
    }
    require(!parser.in_message(), "still inside a message after finish()");
    check_accounting(parser, events, length);
    require(parser_allocations == 0, "the parser allocated memory");
    if (chunks == nullptr) {
        require(events.accepted_text() == reference_reading({reinterpret_cast<const char*>(stream), length}).run(),
                "the output is not the stream less its complete valid messages");
    }
    return events.text();
}

std::string parse_both_ways(const std::string& stream, const unsigned char* control) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
    const std::string whole = parse(bytes, stream.size(), nullptr);
    chunker chunks(control[0], control[1]);
    const std::string chunked = parse(bytes, stream.size(), &chunks);
    require(whole == chunked, "the events depend on how the stream was split");
    return whole;
}

// The data sent as one file by a well-behaved sender, between optional ordinary output.
void check_valid_stream(std::string_view data, const unsigned char* control) {
    std::string path(data.substr(0, std::min(data.find('\0'), MAX_PATH_FROM_DATA)));
    if (path.empty()) path = "f";
    const std::size_t block_size = control[2] == 0 ? pushfile::BLOCK_SIZE : std::size_t{control[2]} * 146U + 1U;
    const bool unknown_size = (control[3] & 1U) != 0;
    std::string noise;
    if ((control[3] & 2U) != 0) {
        noise = std::string(data.substr(0, MAX_NOISE));
        // Without ESC no message can start inside it.
        for (char& c : noise) {
            if (c == '\x1b') c = 'e';
        }
    }

    std::string stream = noise + pushfile_test::path_message(path) +
                         pushfile_test::size_message(unknown_size ? pushfile::UNKNOWN_SIZE : data.size());
    std::string expected;
    if (!noise.empty()) append_record(expected, 'T', noise);
    append_record(expected, 'P', path);
    append_record(expected, 'S', std::to_string(unknown_size ? pushfile::UNKNOWN_SIZE : data.size()));
    for (std::size_t offset = 0; offset < data.size(); offset += block_size) {
        const std::string_view block = data.substr(offset, block_size);
        stream += pushfile_test::block_message(block);
        append_record(expected, 'B', block);
    }
    stream += pushfile_test::end_message() + noise;
    append_record(expected, 'E', "");
    if (!noise.empty()) append_record(expected, 'T', noise);

    require(parse_both_ways(stream, control) == expected, "a valid stream did not decode to its data");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (__sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) == 0) fail("cannot watch allocations");
    // Proves the watch sees an allocation, so that a count of zero later means something.
    {
        const watch_scope watched;
        void* volatile probe = std::malloc(100);
        std::free(probe);
    }
    require(parser_allocations > 0, "the allocation watch saw nothing");
    parser_allocations = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    unsigned char control[HEADER_LENGTH] = {};
    const std::size_t header = std::min(size, HEADER_LENGTH);
    for (std::size_t i = 0; i < header; ++i) control[i] = input[i];
    const std::string stream(reinterpret_cast<const char*>(input) + header, size - header);

    parse_both_ways(stream, control);
    check_valid_stream(stream, control);
    return 0;
}
