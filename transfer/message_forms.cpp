#include "transfer/message_forms.h"

#include <algorithm>
#include <iterator>

#include "common/display.h"
#include "transfer/clipboard_replies.h"

namespace pushfile {

namespace {

using enum message_field;

// The have message's body: QSEQ ';' HELD [';' HASH], a hash exactly when HELD is above 0.
bool parse_have(std::string_view text, std::uint64_t* query_sequence, std::uint64_t* held, file_hash* hash) {
    const std::size_t first = text.find(';');
    if (first == std::string_view::npos || !parse_decimal(text.substr(0, first), 19, query_sequence)) return false;
    const std::string_view rest = text.substr(first + 1);
    const std::size_t second = rest.find(';');
    if (!parse_decimal(rest.substr(0, second), MAX_SIZE_DIGITS, held)) return false;
    *hash = {};
    if (second == std::string_view::npos) return *held == 0;
    return *held > 0 && parse_file_hash(rest.substr(second + 1), hash);
}

// Each message kind, described once. Adding one is a row here, its event, and what the session
// does with it.
constexpr message_form MESSAGE_FORMS[] = {
    {.code = CODE_PATH,
     .kind = message_kind::path,
     .fields = {text, none},
     .malformed = parse_error::path_too_long,
     .too_long = parse_error::path_too_long,
     .report = [](const message_body& body, stream_parser_events& events) { events.path_message(body.text); }},
    {.code = CODE_SIZE,
     .kind = message_kind::size,
     .fields = {number, none},
     .malformed = parse_error::bad_size,
     .too_long = parse_error::size_too_large,
     .max_digits = MAX_SIZE_DIGITS,
     .max_number = UINT64_MAX,
     .report = [](const message_body& body, stream_parser_events& events) { events.size_message(body.number); }},
    {.code = CODE_BLOCK,
     .kind = message_kind::block,
     .fields = {number, letters},
     .malformed = parse_error::bad_checksum,
     .too_long = parse_error::bad_checksum,
     .max_digits = MAX_CHECKSUM_DIGITS,
     .max_number = INT32_MAX,
     .report = [](const message_body& body,
                  stream_parser_events& events) { events.block_message(body.bytes, body.length); }},
    {.code = CODE_END,
     .kind = message_kind::end,
     .fields = {none, none},
     .malformed = parse_error::bad_end,
     .too_long = parse_error::bad_end,
     .takes_extra_nul = true,
     .report = [](const message_body&, stream_parser_events& events) { events.end_message(); }},
    // pullfile's messages. A sequence number has at most 19 digits, an exit status at most 3.
    {.code = CODE_UPLOAD_REQUEST,
     .kind = message_kind::upload_request,
     .fields = {text, none},
     .malformed = parse_error::bad_upload_message,
     .too_long = parse_error::bad_upload_message,
     .report = [](const message_body& body, stream_parser_events& events) { events.upload_request(body.text); }},
    {.code = CODE_UPLOAD_ACK,
     .kind = message_kind::upload_ack,
     .fields = {number, none},
     .malformed = parse_error::bad_upload_message,
     .too_long = parse_error::bad_upload_message,
     .max_digits = 19,
     .max_number = UINT64_MAX,
     .report = [](const message_body& body, stream_parser_events& events) { events.upload_ack(body.number); }},
    {.code = CODE_UPLOAD_FAILED,
     .kind = message_kind::upload_failed,
     .fields = {number, text},
     .malformed = parse_error::bad_upload_message,
     .too_long = parse_error::bad_upload_message,
     .max_digits = 19,
     .max_number = UINT64_MAX,
     .report = [](const message_body& body,
                  stream_parser_events& events) { events.upload_failed(body.number, body.text); }},
    {.code = CODE_UPLOAD_END,
     .kind = message_kind::upload_end,
     .fields = {number, none},
     .malformed = parse_error::bad_upload_message,
     .too_long = parse_error::bad_upload_message,
     .max_digits = 3,
     .max_number = 255,
     .report = [](const message_body& body, stream_parser_events& events) { events.upload_end(body.number); }},
    {.code = CODE_UPLOAD_HAVE,
     .kind = message_kind::upload_have,
     .fields = {text, none},
     .malformed = parse_error::bad_upload_message,
     .too_long = parse_error::bad_upload_message,
     .report =
         [](const message_body& body, stream_parser_events& events) {
             std::uint64_t query_sequence = 0;
             std::uint64_t held = 0;
             file_hash hash;
             if (parse_have(body.text, &query_sequence, &held, &hash)) events.upload_have(query_sequence, held, hash);
         },
     .accepts = [](const message_body& body) {
         std::uint64_t query_sequence = 0;
         std::uint64_t held = 0;
         file_hash hash;
         return parse_have(body.text, &query_sequence, &held, &hash);
     }},
    {.code = CODE_UPLOAD_KEYS,
     .kind = message_kind::upload_keys,
     .fields = {number, none},
     .malformed = parse_error::bad_upload_message,
     .too_long = parse_error::bad_upload_message,
     .max_digits = 1,
     .max_number = 1,
     .report = [](const message_body& body, stream_parser_events& events) { events.upload_keys(body.number); }},
    {.code = CODE_UPLOAD_CLIPBOARD,
     .kind = message_kind::upload_clipboard,
     .fields = {number, text},
     .malformed = parse_error::bad_upload_message,
     .too_long = parse_error::bad_upload_message,
     .max_digits = 7,
     .max_number = 9999999,
     .report = [](const message_body& body,
                  stream_parser_events& events) { events.upload_clipboard(body.number, body.text); },
     .accepts = [](const message_body& body) {
         return body.text.size() == CLIPBOARD_TOKEN_LENGTH &&
                std::all_of(body.text.begin(), body.text.end(),
                            [](char digit) { return (digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'); });
     }},
};

// The most a form's message holds back before its NUL; text and letters are bounded by the
// parser's own storage.
constexpr std::size_t longest_held(const message_form& form) {
    std::size_t length = MESSAGE_HEADER_LENGTH;
    for (std::size_t k = 0; k < form.fields.size() && form.fields[k] != none; ++k) {
        if (k > 0) ++length;  // the space between fields
        if (form.fields[k] == text) length += MAX_PATH_LENGTH;
        if (form.fields[k] == number) length += form.max_digits;
        if (form.fields[k] == letters) length += 2 * BLOCK_SIZE;
    }
    return length;
}

// A body the parser can read: fields without gaps, each kind at most once (its storage is
// single), text and letters only last (they run to the NUL), letters after their number, and a
// number's limits that its digits can reach.
constexpr bool readable(const message_form& form) {
    const auto [first, second] = form.fields;
    if (first == none && second != none) return false;
    if (second != none && (first == second || first == text || first == letters)) return false;
    if ((first == letters) || (second == letters && first != number)) return false;
    const bool has_number = first == number || second == number;
    return !has_number || (form.max_digits > 0 && form.max_digits <= MAX_SIZE_DIGITS && form.max_number > 0);
}

constexpr bool forms_are_sound() {
    for (std::size_t i = 0; i < std::size(MESSAGE_FORMS); ++i) {
        if (!readable(MESSAGE_FORMS[i]) || longest_held(MESSAGE_FORMS[i]) > MAX_RELEASE_BYTES) return false;
        if (MESSAGE_FORMS[i].code == 0 || MESSAGE_FORMS[i].code == ESCAPE) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (MESSAGE_FORMS[j].code == MESSAGE_FORMS[i].code) return false;
        }
    }
    return true;
}
static_assert(forms_are_sound(), "a message form the parser cannot read or hold");

}  // namespace

const message_form* find_message_form(unsigned char code) {
    const message_form* form = std::find_if(std::begin(MESSAGE_FORMS), std::end(MESSAGE_FORMS),
                                            [code](const message_form& candidate) { return candidate.code == code; });
    return form == std::end(MESSAGE_FORMS) ? nullptr : form;
}

const char* describe(parse_error error) {
    switch (error) {
        case parse_error::path_too_long: return "a file name longer than a message can carry";
        case parse_error::bad_size: return "a file size that is not a decimal number";
        case parse_error::size_too_large: return "a file size beyond 64 bits";
        case parse_error::bad_checksum: return "a block checksum that is not a decimal number";
        case parse_error::bad_letter: return "a block holding a byte that is not a letter of the encoding";
        case parse_error::odd_letter_count: return "a block with an odd number of letters";
        case parse_error::empty_block: return "a block without data";
        case parse_error::block_too_long: return "a block longer than the largest block";
        case parse_error::checksum_mismatch: return "a block whose checksum does not match its data";
        case parse_error::bad_end: return "a malformed end message";
        case parse_error::bad_upload_message: return "a malformed upload message";
    }
    return "a malformed message";
}

}  // namespace pushfile
