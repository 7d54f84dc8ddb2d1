#include "transfer/upload_frames.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "common/display.h"

namespace pushfile {
namespace {

constexpr unsigned char FRAME_START = '#';
constexpr unsigned char FRAME_END = '.';
constexpr unsigned char FIELD_SEPARATOR = ',';
constexpr unsigned char SIZE_SEPARATOR = ';';
constexpr std::size_t CHECK_DIGITS = 8;
constexpr std::size_t MAX_NUMBER_DIGITS = 20;
constexpr std::size_t MAX_MODE_DIGITS = 3;
constexpr std::size_t MAX_SECONDS_DIGITS = 19;
constexpr std::size_t MAX_NANOSECONDS_DIGITS = 9;
constexpr std::uint32_t NANOSECONDS_PER_SECOND = 1000000000;
constexpr unsigned char MINUS = '-';
// MODE ';' ['-'] SECONDS ';' NANOSECONDS ';' at their longest.
constexpr std::size_t MAX_MODE_AND_TIME_LENGTH =
    MAX_MODE_DIGITS + 2 + MAX_SECONDS_DIGITS + 1 + MAX_NANOSECONDS_DIGITS + 1;
constexpr std::size_t MAX_REQUEST_VERSION_DIGITS = 3;
constexpr std::size_t DECODED_SIZE = std::max(UPLOAD_BLOCK_SIZE, MAX_UPLOAD_NAME);

static_assert(base64_length(MAX_UPLOAD_NAME) + 2 * (MAX_NUMBER_DIGITS + 1) + MAX_MODE_AND_TIME_LENGTH <=
                  base64_length(UPLOAD_BLOCK_SIZE),
              "a file frame fits where a data frame does");

constexpr bool is_digit(unsigned char byte) { return byte >= '0' && byte <= '9'; }

// What a frame is made of between its '#' and its '.': base64, digits, its separators, and the
// UTF-8 of dense characters (lead bytes of U+4E00..U+8DFF, continuation bytes).
constexpr bool is_frame_byte(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || is_digit(byte) || byte == '+' ||
           byte == '/' || byte == '=' || byte == FIELD_SEPARATOR || byte == SIZE_SEPARATOR || byte == MINUS ||
           (byte >= 0x80 && byte <= 0xBF) || (byte >= 0xE4 && byte <= 0xE8);
}

constexpr std::array<bool, 256> frame_byte_table() {
    std::array<bool, 256> table{};
    for (std::size_t byte = 0; byte < table.size(); ++byte) table[byte] = is_frame_byte(static_cast<unsigned char>(byte));
    return table;
}

constexpr std::array<bool, 256> FRAME_BYTES = frame_byte_table();

bool is_line_end(unsigned char byte) { return byte == '\r' || byte == '\n'; }

bool known_type(unsigned char byte) {
    switch (static_cast<frame_type>(byte)) {
        case frame_type::prompting:
        case frame_type::file:
        case frame_type::data:
        case frame_type::file_end:
        case frame_type::given_up:
        case frame_type::done:
        case frame_type::cancelled:
        case frame_type::nothing:
        case frame_type::refused:
        case frame_type::folder:
        case frame_type::folder_end:
        case frame_type::query: return true;
    }
    return false;
}

// The next field of text up to its ';' (the field and the separator taken off text); false when
// no ';' is left.
bool take_field(std::string_view* text, std::string_view* field) {
    const std::size_t separator = text->find(static_cast<char>(SIZE_SEPARATOR));
    if (separator == std::string_view::npos) return false;
    *field = text->substr(0, separator);
    text->remove_prefix(separator + 1);
    return true;
}

// MODE ';' TIME ';' from the front of text, each field within its bounds.
bool parse_mode_and_time(std::string_view* text, mode_and_time* attributes) {
    std::string_view mode;
    std::string_view seconds;
    std::string_view nanoseconds;
    if (!take_field(text, &mode) || !take_field(text, &seconds) || !take_field(text, &nanoseconds)) return false;
    if (mode.empty() || mode.size() > MAX_MODE_DIGITS) return false;
    unsigned mode_bits = 0;
    for (const char digit : mode) {
        if (digit < '0' || digit > '7') return false;
        mode_bits = mode_bits * 8 + static_cast<unsigned>(digit - '0');
    }
    const bool before_1970 = seconds.starts_with(static_cast<char>(MINUS));
    if (before_1970) seconds.remove_prefix(1);
    std::uint64_t whole = 0;
    std::uint64_t fraction = 0;
    if (!parse_decimal(seconds, MAX_SECONDS_DIGITS, &whole) || whole > INT64_MAX ||
        !parse_decimal(nanoseconds, MAX_NANOSECONDS_DIGITS, &fraction) || fraction >= NANOSECONDS_PER_SECOND)
        return false;
    attributes->mode = mode_bits;
    attributes->seconds = before_1970 ? -static_cast<std::int64_t>(whole) : static_cast<std::int64_t>(whole);
    attributes->nanoseconds = static_cast<std::uint32_t>(fraction);
    return true;
}

bool parse_check(std::string_view hex, std::uint32_t* check) {
    std::uint64_t value = 0;
    if (hex.size() != CHECK_DIGITS || !parse_hex(hex, &value)) return false;
    *check = static_cast<std::uint32_t>(value);
    return true;
}

// The frame's head: '#', the type, the sequence number and the separator after it.
std::size_t begin_frame(frame_type type, std::uint64_t sequence, char* frame) {
    const int length = std::snprintf(frame, MAX_FRAME_LENGTH, "#%c%llu,", static_cast<char>(type),
                                     static_cast<unsigned long long>(sequence));
    return static_cast<std::size_t>(length);
}

// Adds the separator, the check of everything after '#', and the '.'.
std::size_t end_frame(char* frame, std::size_t length) {
    frame[length++] = FIELD_SEPARATOR;
    const std::uint32_t check = crc32(0, frame + 1, length - 1);
    format_hex(check, CHECK_DIGITS, frame + length);
    length += CHECK_DIGITS;
    frame[length++] = FRAME_END;
    return length;
}

// Writes MODE ';' TIME ';'.
std::size_t format_mode_and_time(const mode_and_time& attributes, char* text, std::size_t room) {
    return static_cast<std::size_t>(
        std::snprintf(text, room, "%o;%lld;%u;", attributes.mode & 0777U, static_cast<long long>(attributes.seconds),
                      static_cast<unsigned>(attributes.nanoseconds % NANOSECONDS_PER_SECOND)));
}

}  // namespace

const char* describe(frame_error error) {
    switch (error) {
        case frame_error::cut: return "a frame that was cut off";
        case frame_error::bad_byte: return "a frame holding a byte that does not belong in one";
        case frame_error::too_long: return "a frame longer than the longest frame";
        case frame_error::bad_check: return "a frame whose check does not match";
        case frame_error::bad_payload: return "a frame whose content is malformed";
    }
    return "a malformed frame";
}

frame_reader::frame_reader()
    : text_(std::make_unique_for_overwrite<char[]>(MAX_FRAME_LENGTH)),
      decoded_(std::make_unique_for_overwrite<unsigned char[]>(DECODED_SIZE)) {}

void frame_reader::feed(const unsigned char* bytes, std::size_t length, frame_events& events) {
    std::size_t i = 0;
    while (i < length) {
        if (length_ == 0 && !skipping_) {
            // Outside a frame: everything up to the next '#' is stray.
            const auto* start = static_cast<const unsigned char*>(std::memchr(bytes + i, FRAME_START, length - i));
            const std::size_t span = start != nullptr ? static_cast<std::size_t>(start - (bytes + i)) : length - i;
            if (span > 0) events.stray_bytes(bytes + i, span);
            i += span;
            if (start == nullptr) return;
            length_ = 1;
            ++i;
            continue;
        }
        if (!skipping_) {
            // A run of frame bytes is copied whole: byte by byte, the branches below cost pullfile
            // more than everything else it does with a frame.
            const std::size_t most = std::min(length - i, MAX_FRAME_LENGTH - 1 - length_);
            std::size_t run = 0;
            while (run < most && FRAME_BYTES[bytes[i + run]]) ++run;
            if (run > 0) {
                std::memcpy(text_.get() + length_ - 1, bytes + i, run);
                length_ += run;
                i += run;
                continue;
            }
        }
        const unsigned char byte = bytes[i++];
        if (byte == FRAME_START) {
            if (!skipping_) events.frame_broken(frame_error::cut);
            skipping_ = false;
            length_ = 1;
        } else if (skipping_) {
            // The rest of a broken frame, up to its end.
            if (byte == FRAME_END) skipping_ = false;
        } else if (byte == FRAME_END) {
            complete(events);
            length_ = 0;
        } else if (is_line_end(byte)) {
            // Something on the way broke the line: the frame goes on after it.
        } else if (!is_frame_byte(byte)) {
            broken(frame_error::bad_byte, events);
        } else if (length_ >= MAX_FRAME_LENGTH - 1) {  // no room left for the frame's '.'
            broken(frame_error::too_long, events);
        } else {
            text_[length_ - 1] = static_cast<char>(byte);
            ++length_;
        }
    }
}

void frame_reader::finish(frame_events& events) {
    if (length_ > 0) events.frame_broken(frame_error::cut);
    length_ = 0;
    skipping_ = false;
}

// What is left of the frame is skipped up to its '.', or the next frame's '#'.
void frame_reader::broken(frame_error error, frame_events& events) {
    events.frame_broken(error);
    length_ = 0;
    skipping_ = true;
}

void frame_reader::complete(frame_events& events) {
    const std::string_view text(text_.get(), length_ - 1);
    const std::size_t check_separator = text.rfind(static_cast<char>(FIELD_SEPARATOR));
    std::uint32_t check = 0;
    if (check_separator == std::string_view::npos || !parse_check(text.substr(check_separator + 1), &check)) {
        events.frame_broken(frame_error::bad_payload);
        return;
    }
    if (crc32(0, text.data(), check_separator + 1) != check) {
        events.frame_broken(frame_error::bad_check);
        return;
    }
    const std::size_t sequence_end = text.find(static_cast<char>(FIELD_SEPARATOR));
    upload_frame frame;
    const auto type = static_cast<unsigned char>(text[0]);
    const bool dense = type == DENSE_DATA_FRAME_TYPE;
    if (sequence_end == check_separator || !(known_type(type) || dense) ||
        !parse_decimal(text.substr(1, sequence_end - 1), MAX_SEQUENCE_DIGITS, &frame.sequence)) {
        events.frame_broken(frame_error::bad_payload);
        return;
    }
    frame.type = dense ? frame_type::data : static_cast<frame_type>(type);
    const std::string_view payload = text.substr(sequence_end + 1, check_separator - sequence_end - 1);
    bool well_formed = false;
    if (dense) {
        // COUNT ';' CHARACTERS
        std::string_view rest = payload;
        std::string_view field;
        std::uint64_t count = 0;
        well_formed = take_field(&rest, &field) && parse_decimal(field, MAX_NUMBER_DIGITS, &count) &&
                      count > 0 && count <= DENSE_BLOCK_SIZE &&
                      dense_decode(rest.data(), rest.size(), decoded_.get(), static_cast<std::size_t>(count));
        frame.length = static_cast<std::size_t>(count);
        frame.data = decoded_.get();
        frame.dense = true;
    } else switch (frame.type) {
        case frame_type::prompting:
        case frame_type::done: well_formed = parse_decimal(payload, MAX_NUMBER_DIGITS, &frame.number); break;
        case frame_type::file:
        case frame_type::query:
        case frame_type::folder: {
            // F: SIZE, then from version 2 on MODE and TIME, from version 3 on START, then NAME;
            // Q: SIZE, MODE and TIME, then NAME; M: MODE and TIME, then NAME. NAME, in base64,
            // holds no ';': the count of separators tells the versions apart.
            std::string_view rest = payload;
            std::string_view field;
            bool fields_good = frame.type == frame_type::folder ||
                               (take_field(&rest, &field) && parse_decimal(field, MAX_NUMBER_DIGITS, &frame.number));
            frame.has_mode_and_time = frame.type != frame_type::file ||
                                      rest.find(static_cast<char>(SIZE_SEPARATOR)) != std::string_view::npos;
            if (fields_good && frame.has_mode_and_time) fields_good = parse_mode_and_time(&rest, &frame.attributes);
            frame.has_start = frame.type == frame_type::file &&
                              rest.find(static_cast<char>(SIZE_SEPARATOR)) != std::string_view::npos;
            if (fields_good && frame.has_start)
                fields_good = take_field(&rest, &field) && parse_decimal(field, MAX_NUMBER_DIGITS, &frame.start) &&
                              frame.start <= frame.number;
            const std::string_view name = rest;
            std::size_t decoded = 0;
            well_formed = fields_good && name.size() <= base64_length(MAX_UPLOAD_NAME) &&
                          base64_decode(name.data(), name.size(), decoded_.get(), &decoded) && decoded > 0 &&
                          decoded <= MAX_UPLOAD_NAME && std::memchr(decoded_.get(), 0, decoded) == nullptr;
            frame.name = std::string_view(reinterpret_cast<const char*>(decoded_.get()), decoded);
            break;
        }
        case frame_type::data:
            well_formed = payload.size() <= base64_length(UPLOAD_BLOCK_SIZE) &&
                          base64_decode(payload.data(), payload.size(), decoded_.get(), &frame.length) &&
                          frame.length > 0 && frame.length <= UPLOAD_BLOCK_SIZE;
            frame.data = decoded_.get();
            break;
        case frame_type::file_end:
            frame.has_hash = !payload.empty();
            well_formed = !frame.has_hash || parse_file_hash(payload, &frame.hash);
            break;
        case frame_type::given_up:
        case frame_type::cancelled:
        case frame_type::nothing:
        case frame_type::refused:
        case frame_type::folder_end: well_formed = payload.empty(); break;
    }
    if (!well_formed) {
        events.frame_broken(frame_error::bad_payload);
        return;
    }
    events.frame_received(frame);
}

std::size_t format_empty_frame(frame_type type, std::uint64_t sequence, char* frame) {
    return end_frame(frame, begin_frame(type, sequence, frame));
}

std::size_t format_number_frame(frame_type type, std::uint64_t sequence, std::uint64_t number, char* frame) {
    std::size_t length = begin_frame(type, sequence, frame);
    length += static_cast<std::size_t>(
        std::snprintf(frame + length, MAX_FRAME_LENGTH - length, "%llu", static_cast<unsigned long long>(number)));
    return end_frame(frame, length);
}

namespace {

// SIZE ';' [MODE ';' TIME ';'] [START ';'] NAME, each part as version writes it.
std::size_t format_named_frame(frame_type type, unsigned version, std::uint64_t sequence, std::uint64_t size,
                               const mode_and_time& attributes, std::uint64_t start, std::string_view name,
                               char* frame) {
    name = name.substr(0, MAX_UPLOAD_NAME);
    std::size_t length = begin_frame(type, sequence, frame);
    length += static_cast<std::size_t>(std::snprintf(frame + length, MAX_FRAME_LENGTH - length, "%llu%c",
                                                     static_cast<unsigned long long>(size), SIZE_SEPARATOR));
    if (version >= FOLDERS_UPLOAD_FORMAT_VERSION)
        length += format_mode_and_time(attributes, frame + length, MAX_FRAME_LENGTH - length);
    if (type == frame_type::file && version >= RESUMING_UPLOAD_FORMAT_VERSION)
        length += static_cast<std::size_t>(std::snprintf(frame + length, MAX_FRAME_LENGTH - length, "%llu%c",
                                                         static_cast<unsigned long long>(start), SIZE_SEPARATOR));
    length += base64_encode(reinterpret_cast<const unsigned char*>(name.data()), name.size(), frame + length);
    return end_frame(frame, length);
}

}  // namespace

std::size_t format_file_frame(unsigned version, std::uint64_t sequence, std::uint64_t size,
                              const mode_and_time& attributes, std::uint64_t start, std::string_view name,
                              char* frame) {
    return format_named_frame(frame_type::file, version, sequence, size, attributes, start, name, frame);
}

std::size_t format_query_frame(std::uint64_t sequence, std::uint64_t size, const mode_and_time& attributes,
                               std::string_view name, char* frame) {
    return format_named_frame(frame_type::query, RESUMING_UPLOAD_FORMAT_VERSION, sequence, size, attributes, 0, name,
                              frame);
}

std::size_t format_file_end_frame(unsigned version, std::uint64_t sequence, const file_hash& hash, char* frame) {
    std::size_t length = begin_frame(frame_type::file_end, sequence, frame);
    if (version >= RESUMING_UPLOAD_FORMAT_VERSION) {
        format_file_hash(hash, frame + length);
        length += FILE_HASH_HEX_LENGTH;
    }
    return end_frame(frame, length);
}

std::size_t format_folder_frame(std::uint64_t sequence, const mode_and_time& attributes, std::string_view name,
                                char* frame) {
    name = name.substr(0, MAX_UPLOAD_NAME);
    std::size_t length = begin_frame(frame_type::folder, sequence, frame);
    length += format_mode_and_time(attributes, frame + length, MAX_FRAME_LENGTH - length);
    length += base64_encode(reinterpret_cast<const unsigned char*>(name.data()), name.size(), frame + length);
    return end_frame(frame, length);
}

std::size_t format_dense_data_frame(std::uint64_t sequence, const unsigned char* bytes, std::size_t count, char* frame) {
    count = std::min(count, DENSE_BLOCK_SIZE);
    std::size_t length = begin_frame(static_cast<frame_type>(DENSE_DATA_FRAME_TYPE), sequence, frame);
    length += static_cast<std::size_t>(std::snprintf(frame + length, MAX_FRAME_LENGTH - length, "%zu;", count));
    length += dense_encode(bytes, count, frame + length);
    return end_frame(frame, length);
}

std::size_t format_data_frame(std::uint64_t sequence, const unsigned char* bytes, std::size_t count, char* frame) {
    count = std::min(count, UPLOAD_BLOCK_SIZE);
    std::size_t length = begin_frame(frame_type::data, sequence, frame);
    length += base64_encode(bytes, count, frame + length);
    return end_frame(frame, length);
}

std::size_t format_raw_data_frame(std::uint64_t sequence, const unsigned char* bytes, std::size_t count, char* frame) {
    count = std::min(count, UPLOAD_BLOCK_SIZE);
    std::size_t length = begin_frame(static_cast<frame_type>(RAW_DATA_FRAME_TYPE), sequence, frame);
    length += static_cast<std::size_t>(std::snprintf(frame + length, MAX_FRAME_LENGTH - length, "%zu,", count));
    std::memcpy(frame + length, bytes, count);
    return end_frame(frame, length + count);
}

std::size_t read_raw_data_frame(const unsigned char* bytes, std::size_t length, upload_frame* frame,
                                frame_error* error) {
    const std::string_view text(reinterpret_cast<const char*>(bytes), length);
    *error = frame_error::cut;
    if (length < 2 || bytes[0] != FRAME_START || bytes[1] != RAW_DATA_FRAME_TYPE) {
        *error = frame_error::bad_byte;
        return 0;
    }
    const std::size_t sequence_end = text.find(static_cast<char>(FIELD_SEPARATOR), 2);
    const std::size_t count_end =
        sequence_end == std::string_view::npos ? sequence_end : text.find(static_cast<char>(FIELD_SEPARATOR), sequence_end + 1);
    if (count_end == std::string_view::npos) return 0;
    std::uint64_t sequence = 0;
    std::uint64_t count = 0;
    if (!parse_decimal(text.substr(2, sequence_end - 2), MAX_SEQUENCE_DIGITS, &sequence) ||
        !parse_decimal(text.substr(sequence_end + 1, count_end - sequence_end - 1), 6, &count) ||
        count > UPLOAD_BLOCK_SIZE) {
        *error = frame_error::too_long;
        return 0;
    }
    const std::size_t check_separator = count_end + 1 + static_cast<std::size_t>(count);
    const std::size_t frame_length = check_separator + 1 + CHECK_DIGITS + 1;
    if (frame_length > length) return 0;
    std::uint32_t check = 0;
    if (bytes[check_separator] != FIELD_SEPARATOR || bytes[frame_length - 1] != FRAME_END ||
        !parse_check(text.substr(check_separator + 1, CHECK_DIGITS), &check)) {
        *error = frame_error::bad_byte;
        return 0;
    }
    if (crc32(0, bytes + 1, check_separator) != check) {
        *error = frame_error::bad_check;
        return 0;
    }
    *frame = {};
    frame->type = frame_type::data;
    frame->sequence = sequence;
    frame->data = bytes + count_end + 1;
    frame->length = static_cast<std::size_t>(count);
    return frame_length;
}

std::string upload_request_body(std::string_view folder) {
    std::string body = std::to_string(UPLOAD_FORMAT_VERSION);
    body += static_cast<char>(SIZE_SEPARATOR);
    body += folder;
    return body;
}

upload_request parse_upload_request(std::string_view body) {
    upload_request request;
    request.folder = body;
    const std::size_t separator = body.find(static_cast<char>(SIZE_SEPARATOR));
    std::uint64_t version = 0;
    if (separator == std::string_view::npos || body.starts_with('/') ||
        !parse_decimal(body.substr(0, separator), MAX_REQUEST_VERSION_DIGITS, &version) ||
        version < FIRST_UPLOAD_FORMAT_VERSION || !body.substr(separator + 1).starts_with('/'))
        return request;
    request.highest_version = static_cast<unsigned>(version);
    request.folder = body.substr(separator + 1);
    return request;
}

}  // namespace pushfile
