#include "transfer/stream_parser.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/letters.h"
#include "transfer/message_forms.h"

namespace pushfile {

namespace {

// At most this many letters that came in the read that broke a block are taken for the
// command's own output, not the block's.
constexpr std::size_t MOST_LETTERS_AFTER_BREAK = 16;
constexpr std::size_t NOT_IN_LETTERS = SIZE_MAX;
// A broken block is recognisably a sender's, and may be hidden, with at least this many letters:
// output that only looks like one rarely has more than a few in a row.
constexpr std::size_t FEWEST_LETTERS_HIDDEN = 16;
// tmux's clipboard query after its ESC, but for the ending.
constexpr std::string_view CLIPBOARD_QUERY = "]52;;?";
constexpr unsigned char BELL = 0x07;
constexpr std::string_view STRING_TERMINATOR = "\x1b\\";

bool is_digit(unsigned char byte) { return byte >= '0' && byte <= '9'; }

// A byte that goes on a word begun with a letter of the encoding ('@'..'O').
bool is_word_byte(unsigned char byte) {
    return is_digit(byte) || (byte >= 'a' && byte <= 'z') || (byte > 'O' && byte <= 'Z');
}

// Adds a decimal digit to number unless the result would exceed limit.
bool append_digit(std::uint64_t& number, unsigned char digit, std::uint64_t limit) {
    const unsigned value = digit - '0';
    if (number > (limit - value) / 10) return false;
    number = number * 10 + value;
    return true;
}

}  // namespace

void stream_parser::feed(const unsigned char* bytes, std::size_t length, stream_parser_events& events) {
    letters_before_feed_ = state_ == state::letters ? letter_count() : NOT_IN_LETTERS;
    std::size_t i = 0;
    while (i < length) {
        const unsigned char* next = bytes + i;
        const std::size_t left = length - i;
        switch (state_) {
            case state::ground: {
                const auto* escape = static_cast<const unsigned char*>(std::memchr(next, ESCAPE, left));
                const std::size_t span = escape != nullptr ? static_cast<std::size_t>(escape - next) : left;
                if (span > 0) events.pass_through(next, span);
                i += span;
                if (escape != nullptr) {
                    state_ = state::escape;
                    ++i;
                }
                break;
            }
            case state::escape:
            case state::introducer:
            case state::family: i += feed_prefix(next, events); break;
            case state::text: i += feed_text(next, left, events); break;
            case state::number: i += feed_number(next, left, events); break;
            case state::letters: i += feed_letters(next, left, events); break;
            case state::empty_body: i += feed_empty_body(next, events); break;
            case state::query:
            case state::query_escape: i += feed_query(next, events); break;
            case state::after_message:
                if (*next == 0) ++i;
                state_ = state::ground;
                break;
        }
    }
}

void stream_parser::finish(stream_parser_events& events) {
    if (holds_block_remains() && events.hide_broken_block(held_bytes())) {
        state_ = state::ground;
        return;
    }
    release(events);
}

std::size_t stream_parser::held_bytes() const {
    switch (state_) {
        case state::ground:
        case state::after_message: return 0;
        case state::escape: return 1;
        case state::introducer: return 2;
        case state::family: return 3;
        case state::query: return 1 + query_matched_;
        case state::query_escape: return 2 + CLIPBOARD_QUERY.size();
        default: break;
    }
    std::size_t length = MESSAGE_HEADER_LENGTH;
    for (std::size_t k = 0; k < form_->fields.size() && k <= field_index_; ++k) {
        if (k > 0) ++length;
        switch (form_->fields[k]) {
            case message_field::none: break;
            case message_field::text: length += text_length_; break;
            case message_field::number: length += digit_count_; break;
            case message_field::letters: length += 2 * block_length_ + (have_half_letter_ ? 1 : 0); break;
        }
    }
    return length;
}

std::size_t stream_parser::feed_prefix(const unsigned char* bytes, stream_parser_events& events) {
    const unsigned char byte = bytes[0];
    if (state_ == state::escape) {
        if (byte == static_cast<unsigned char>(CLIPBOARD_QUERY[0])) {
            state_ = state::query;
            query_matched_ = 1;
            return 1;
        }
        if (byte != INTRODUCER) {
            release(events);
            return 0;
        }
        state_ = state::introducer;
        return 1;
    }
    if (state_ == state::introducer) {
        if (byte != FAMILY) {
            release(events);
            return 0;
        }
        state_ = state::family;
        return 1;
    }
    const message_form* form = find_message_form(byte);
    if (form == nullptr) {  // an unknown code: not one of ours
        release(events);
        return 0;
    }
    form_ = form;
    enter_field(0);
    return 1;
}

std::size_t stream_parser::feed_query(const unsigned char* bytes, stream_parser_events& events) {
    const unsigned char byte = bytes[0];
    if (state_ == state::query_escape) {
        if (byte != '\\') {
            release(events);
            return 0;
        }
        query_complete(STRING_TERMINATOR, events);
        return 1;
    }
    if (query_matched_ < CLIPBOARD_QUERY.size()) {
        if (byte != static_cast<unsigned char>(CLIPBOARD_QUERY[query_matched_])) {
            release(events);
            return 0;
        }
        ++query_matched_;
        return 1;
    }
    if (byte == ESCAPE) {
        state_ = state::query_escape;
        return 1;
    }
    if (byte != BELL) {
        release(events);
        return 0;
    }
    query_complete(std::string_view(reinterpret_cast<const char*>(&BELL), 1), events);
    return 1;
}

void stream_parser::query_complete(std::string_view ending, stream_parser_events& events) {
    state_ = state::ground;
    if (events.clipboard_query()) return;
    static constexpr unsigned char escape = ESCAPE;
    events.pass_through(&escape, 1);
    events.pass_through(reinterpret_cast<const unsigned char*>(CLIPBOARD_QUERY.data()), CLIPBOARD_QUERY.size());
    events.pass_through(reinterpret_cast<const unsigned char*>(ending.data()), ending.size());
}

void stream_parser::enter_field(std::size_t index) {
    field_index_ = index;
    const message_field field = index < form_->fields.size() ? form_->fields[index] : message_field::none;
    switch (field) {
        case message_field::none: state_ = state::empty_body; break;
        case message_field::text:
            text_length_ = 0;
            state_ = state::text;
            break;
        case message_field::number:
            digit_count_ = 0;
            number_ = 0;
            state_ = state::number;
            break;
        case message_field::letters:
            letters_before_feed_ = NOT_IN_LETTERS;  // the letters begin within this feed
            block_length_ = 0;
            letter_sum_ = 0;
            have_half_letter_ = false;
            state_ = state::letters;
            break;
    }
}

message_field stream_parser::current_field() const { return form_->fields[field_index_]; }

bool stream_parser::last_field() const {
    return field_index_ + 1 == form_->fields.size() || form_->fields[field_index_ + 1] == message_field::none;
}

std::size_t stream_parser::feed_text(const unsigned char* bytes, std::size_t length, stream_parser_events& events) {
    const auto* nul = static_cast<const unsigned char*>(std::memchr(bytes, 0, length));
    const std::size_t body = nul != nullptr ? static_cast<std::size_t>(nul - bytes) : length;
    const std::size_t room = MAX_PATH_LENGTH - text_length_;
    const std::size_t kept = std::min(body, room);
    std::memcpy(text_.data() + text_length_, bytes, kept);
    text_length_ += kept;
    if (body > room) {
        reject(form_->too_long, false, events);
        return room;
    }
    if (nul == nullptr) return body;
    complete(events);
    return body + 1;
}

// Digits up to the form's limits, then a space when another field follows, else the NUL. A
// NUL ends a broken message; any other byte that cannot continue it is scanned again.
std::size_t stream_parser::feed_number(const unsigned char* bytes, std::size_t length, stream_parser_events& events) {
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = bytes[i];
        if (is_digit(byte)) {
            if (digit_count_ == form_->max_digits || !append_digit(number_, byte, form_->max_number)) {
                reject(form_->too_long, false, events);
                return i;
            }
            ++digit_count_;
            continue;
        }
        const unsigned char ending = last_field() ? 0 : ' ';
        if (byte == ending && digit_count_ > 0) {
            if (byte == 0) {
                complete(events);
            } else {
                enter_field(field_index_ + 1);
            }
            return i + 1;
        }
        const bool ends_message = byte == 0;
        reject(form_->malformed, ends_message, events);
        return ends_message ? i + 1 : i;
    }
    return length;
}

std::size_t stream_parser::feed_letters(const unsigned char* bytes, std::size_t length, stream_parser_events& events) {
    std::size_t i = 0;
    if (have_half_letter_) {
        const unsigned char second = bytes[0];
        if (second == 0) {
            reject(parse_error::odd_letter_count, true, events);
            return 1;
        }
        if (!is_letter(second)) {
            reject(parse_error::bad_letter, false, events, second);
            return 0;
        }
        block_[block_length_++] = static_cast<unsigned char>(((half_letter_ & 0x0FU) << 4U) | (second & 0x0FU));
        letter_sum_ += half_letter_ + second;
        have_half_letter_ = false;
        i = 1;
    }

    const std::size_t pairs = std::min((length - i) / 2, BLOCK_SIZE - block_length_);
    const std::size_t decoded = decode_letters(bytes + i, pairs, block_.data() + block_length_, &letter_sum_);
    block_length_ += decoded;
    i += 2 * decoded;
    if (i == length) return i;

    // Decoding stopped short: the message ends here, the block is full, a half pair is left, or
    // something that is no letter came.
    const unsigned char byte = bytes[i];
    if (byte == 0) {
        complete(events);
        return i + 1;
    }
    if (!is_letter(byte)) {
        reject(parse_error::bad_letter, false, events, byte);
        return i;
    }
    if (block_length_ == BLOCK_SIZE) {
        reject(parse_error::block_too_long, false, events);
        return i;
    }
    half_letter_ = byte;
    have_half_letter_ = true;
    if (i + 1 == length) return length;
    // The pair's second byte is what stopped the decoder.
    if (bytes[i + 1] == 0) {
        reject(parse_error::odd_letter_count, true, events);
        return i + 2;
    }
    reject(parse_error::bad_letter, false, events, bytes[i + 1]);
    return i + 1;
}

std::size_t stream_parser::feed_empty_body(const unsigned char* bytes, stream_parser_events& events) {
    if (*bytes != 0) {
        reject(form_->malformed, false, events);
        return 0;
    }
    complete(events);
    return 1;
}

void stream_parser::complete(stream_parser_events& events) {
    if (current_field() == message_field::letters) {
        if (block_length_ == 0) return reject(parse_error::empty_block, true, events);
        if (letter_sum_ != number_) return reject(parse_error::checksum_mismatch, true, events);
    }
    const message_form& form = *form_;
    const message_body body{std::string_view(text_.data(), text_length_), number_, block_.data(), block_length_};
    if (form.accepts != nullptr && !form.accepts(body)) return reject(form.malformed, true, events);
    state_ = form.takes_extra_nul ? state::after_message : state::ground;
    form.report(body, events);
}

void stream_parser::reject(parse_error error, bool ended_by_nul, stream_parser_events& events,
                           unsigned char breaking_byte) {
    if (holds_block_remains()) {
        // The command's own output after a killed sender may begin with letters: those that came
        // in this read, when few, and else the one just before a word goes on ("Killed").
        std::size_t kept = 0;
        if (letters_before_feed_ != NOT_IN_LETTERS) kept = letter_count() - letters_before_feed_;
        if (kept == 0 || kept > MOST_LETTERS_AFTER_BREAK) kept = is_word_byte(breaking_byte) ? 1 : 0;
        if (ended_by_nul) kept = 0;
        if (hide_block_remains(std::min(kept, letter_count()), error, ended_by_nul, events)) return;
    }
    release(events);
    if (ended_by_nul) {
        static constexpr unsigned char nul = 0;
        events.pass_through(&nul, 1);
    }
    events.rejected_message(form_->kind, error);
}

// Gives back the held bytes exactly as they came: the prefix and code, then each field read so
// far with the space after it: digits zero padded to their count, text as kept, letters encoded
// again from the decoded bytes.
void stream_parser::release(stream_parser_events& events) {
    std::size_t prefix_length = sizeof MESSAGE_PREFIX;
    switch (state_) {
        case state::ground:
        case state::after_message: state_ = state::ground; return;
        case state::escape: prefix_length = 1; break;
        case state::introducer: prefix_length = 2; break;
        case state::query:
        case state::query_escape: {
            const std::size_t matched = state_ == state::query ? query_matched_ : CLIPBOARD_QUERY.size();
            const bool escape_after = state_ == state::query_escape;
            state_ = state::ground;
            static constexpr unsigned char escape = ESCAPE;
            events.pass_through(&escape, 1);
            events.pass_through(reinterpret_cast<const unsigned char*>(CLIPBOARD_QUERY.data()), matched);
            if (escape_after) events.pass_through(&escape, 1);
            return;
        }
        default: break;
    }
    const bool has_code = state_ != state::escape && state_ != state::introducer && state_ != state::family;
    state_ = state::ground;
    std::array<unsigned char, MESSAGE_HEADER_LENGTH> head{};
    std::memcpy(head.data(), MESSAGE_PREFIX, prefix_length);
    if (has_code) head[prefix_length++] = form_->code;
    events.pass_through(head.data(), prefix_length);
    if (!has_code) return;

    static constexpr unsigned char space = ' ';
    for (std::size_t k = 0; k < form_->fields.size() && k <= field_index_; ++k) {
        if (k > 0) events.pass_through(&space, 1);
        switch (form_->fields[k]) {
            case message_field::none: break;
            case message_field::text:
                if (text_length_ > 0)
                    events.pass_through(reinterpret_cast<const unsigned char*>(text_.data()), text_length_);
                break;
            case message_field::number: release_number(events); break;
            case message_field::letters: release_letters(events); break;
        }
    }
}

bool stream_parser::holds_block_remains() const {
    return state_ == state::letters && letter_count() >= FEWEST_LETTERS_HIDDEN;
}

bool stream_parser::hide_block_remains(std::size_t kept_letters, parse_error error, bool ended_by_nul,
                                       stream_parser_events& events) {
    if (!events.hide_broken_block(held_bytes() - kept_letters + (ended_by_nul ? 1 : 0))) return false;
    state_ = state::ground;
    events.rejected_message(form_->kind, error);
    release_letters_from(letter_count() - kept_letters, events);
    return true;
}

void stream_parser::release_letters_from(std::size_t first, stream_parser_events& events) const {
    if (first >= letter_count()) return;
    std::array<unsigned char, 2 * MOST_LETTERS_AFTER_BREAK + 3> letters;
    const std::size_t first_byte = first / 2;
    const std::size_t pairs = block_length_ - first_byte;
    encode_letters(block_.data() + first_byte, pairs, letters.data());
    std::size_t count = 2 * pairs;
    if (have_half_letter_) letters[count++] = half_letter_;
    const std::size_t skipped = first % 2;
    events.pass_through(letters.data() + skipped, count - skipped);
}

void stream_parser::release_number(stream_parser_events& events) const {
    std::array<unsigned char, MAX_SIZE_DIGITS> digits{};
    std::uint64_t value = number_;
    for (std::size_t k = digit_count_; k > 0; --k) {
        digits[k - 1] = static_cast<unsigned char>('0' + value % 10);
        value /= 10;
    }
    if (digit_count_ > 0) events.pass_through(digits.data(), digit_count_);
}

void stream_parser::release_letters(stream_parser_events& events) const {
    constexpr std::size_t PIECE = 2048;
    std::array<unsigned char, 2 * PIECE> letters;
    for (std::size_t at = 0; at < block_length_; at += PIECE) {
        const std::size_t count = std::min(PIECE, block_length_ - at);
        encode_letters(block_.data() + at, count, letters.data());
        events.pass_through(letters.data(), 2 * count);
    }
    if (have_half_letter_) events.pass_through(&half_letter_, 1);
}

}  // namespace pushfile
