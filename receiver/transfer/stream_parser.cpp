#include "receiver/transfer/stream_parser.h"

#include <algorithm>
#include <cstring>

#include "common/letters.h"
#include "receiver/relay/handler.h"

namespace pushfile::receive {

// The relay keeps room for what a handler holds back; a held message must fit in it.
static_assert(MAX_RELEASE_BYTES <= MAX_HELD_BYTES);

namespace {

constexpr unsigned char MESSAGE_PREFIX[] = {ESCAPE, INTRODUCER, FAMILY};
constexpr std::size_t MESSAGE_HEADER_LENGTH = sizeof MESSAGE_PREFIX + 1;  // the prefix and the code

bool is_digit(unsigned char byte) { return byte >= '0' && byte <= '9'; }

// Adds a decimal digit to number unless the result would exceed limit.
bool append_digit(std::uint64_t& number, unsigned char digit, std::uint64_t limit) {
    const unsigned value = digit - '0';
    if (number > (limit - value) / 10) return false;
    number = number * 10 + value;
    return true;
}

}  // namespace

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
    }
    return "a malformed message";
}

void stream_parser::feed(const unsigned char* bytes, std::size_t length, stream_parser_events& events) {
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
            case state::path_body: i += feed_path(next, left, events); break;
            case state::size_body: i += feed_size(next, left, events); break;
            case state::checksum_digits: i += feed_checksum(next, left, events); break;
            case state::block_letters: i += feed_letters(next, left, events); break;
            case state::end_body:
                if (*next == 0) {
                    ++i;
                    accept();
                    state_ = state::after_end;
                    events.end_message();
                } else {
                    reject(parse_error::bad_end, false, events);
                }
                break;
            case state::after_end:
                if (*next == 0) {
                    ++message_bytes_;
                    ++i;
                }
                state_ = state::ground;
                break;
        }
    }
}

void stream_parser::finish(stream_parser_events& events) { release(events); }

std::size_t stream_parser::held_bytes() const {
    switch (state_) {
        case state::ground:
        case state::after_end: return 0;
        case state::escape: return 1;
        case state::introducer: return 2;
        case state::family: return 3;
        case state::path_body: return MESSAGE_HEADER_LENGTH + path_length_;
        case state::size_body:
        case state::checksum_digits: return MESSAGE_HEADER_LENGTH + digit_count_;
        case state::block_letters:
            return MESSAGE_HEADER_LENGTH + digit_count_ + 1 + 2 * block_length_ + (have_half_letter_ ? 1 : 0);
        case state::end_body: return MESSAGE_HEADER_LENGTH;
    }
    return 0;
}

std::size_t stream_parser::feed_prefix(const unsigned char* bytes, stream_parser_events& events) {
    const unsigned char byte = bytes[0];
    if (state_ == state::escape) {
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
    const message_form* form = std::find_if(std::begin(MESSAGE_FORMS), std::end(MESSAGE_FORMS),
                                            [byte](const message_form& candidate) { return candidate.code == byte; });
    if (form == std::end(MESSAGE_FORMS)) {  // an unknown code: not one of ours
        release(events);
        return 0;
    }
    form_ = form;
    digit_count_ = 0;
    number_ = 0;
    path_length_ = 0;
    state_ = form->first_state;
    return 1;
}

std::size_t stream_parser::feed_path(const unsigned char* bytes, std::size_t length, stream_parser_events& events) {
    const auto* nul = static_cast<const unsigned char*>(std::memchr(bytes, 0, length));
    const std::size_t body = nul != nullptr ? static_cast<std::size_t>(nul - bytes) : length;
    const std::size_t room = MAX_PATH_LENGTH - path_length_;
    const std::size_t kept = std::min(body, room);
    std::memcpy(path_.data() + path_length_, bytes, kept);
    path_length_ += kept;
    if (body > room) {
        reject(parse_error::path_too_long, false, events);
        return room;
    }
    if (nul == nullptr) return body;
    accept();
    events.path_message(std::string_view(path_.data(), path_length_));
    return body + 1;
}

std::size_t stream_parser::feed_size(const unsigned char* bytes, std::size_t length, stream_parser_events& events) {
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = bytes[i];
        if (is_digit(byte)) {
            if (digit_count_ == form_->max_digits || !append_digit(number_, byte, form_->max_number)) {
                reject(parse_error::size_too_large, false, events);
                return i;
            }
            ++digit_count_;
            continue;
        }
        if (byte != 0) {
            reject(parse_error::bad_size, false, events);
            return i;
        }
        if (digit_count_ == 0) {
            reject(parse_error::bad_size, true, events);
        } else {
            accept();
            events.size_message(number_);
        }
        return i + 1;
    }
    return length;
}

std::size_t stream_parser::feed_checksum(const unsigned char* bytes, std::size_t length, stream_parser_events& events) {
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = bytes[i];
        if (is_digit(byte) && digit_count_ < form_->max_digits && append_digit(number_, byte, form_->max_number)) {
            ++digit_count_;
            continue;
        }
        if (byte == ' ' && digit_count_ > 0) {
            state_ = state::block_letters;
            block_length_ = 0;
            letter_sum_ = 0;
            have_half_letter_ = false;
            return i + 1;
        }
        // A NUL ends the broken message; any other byte is scanned again.
        const bool ends_message = byte == 0;
        reject(parse_error::bad_checksum, ends_message, events);
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
            reject(parse_error::bad_letter, false, events);
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
        finish_block(events);
        return i + 1;
    }
    if (!is_letter(byte)) {
        reject(parse_error::bad_letter, false, events);
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
    reject(parse_error::bad_letter, false, events);
    return i + 1;
}

void stream_parser::finish_block(stream_parser_events& events) {
    if (block_length_ == 0) {
        reject(parse_error::empty_block, true, events);
    } else if (letter_sum_ != number_) {
        reject(parse_error::checksum_mismatch, true, events);
    } else {
        accept();
        events.block_message(block_.data(), block_length_);
    }
}

void stream_parser::accept() {
    message_bytes_ += held_bytes() + 1;
    state_ = state::ground;
}

void stream_parser::reject(parse_error error, bool ended_by_nul, stream_parser_events& events) {
    release(events);
    if (ended_by_nul) {
        static constexpr unsigned char nul = 0;
        events.pass_through(&nul, 1);
    }
    events.rejected_message(form_->kind, error);
}

// Gives back the held bytes exactly as they came: the prefix and code, the digits (zero padded
// to their count), then the path as kept or the letters encoded again from the decoded bytes.
void stream_parser::release(stream_parser_events& events) {
    const state held = state_;
    state_ = state::ground;
    std::size_t prefix_length = sizeof MESSAGE_PREFIX;
    unsigned char code = 0;
    switch (held) {
        case state::ground:
        case state::after_end: return;
        case state::escape: prefix_length = 1; break;
        case state::introducer: prefix_length = 2; break;
        case state::family: break;
        default: code = form_->code; break;
    }
    std::array<unsigned char, MESSAGE_HEADER_LENGTH + MAX_SIZE_DIGITS + 1> head{};
    std::memcpy(head.data(), MESSAGE_PREFIX, prefix_length);
    std::size_t length = prefix_length;
    if (code != 0) head[length++] = code;
    if (held == state::size_body || held == state::checksum_digits || held == state::block_letters) {
        std::uint64_t value = number_;
        for (std::size_t k = digit_count_; k > 0; --k) {
            head[length + k - 1] = static_cast<unsigned char>('0' + value % 10);
            value /= 10;
        }
        length += digit_count_;
    }
    if (held == state::block_letters) head[length++] = ' ';
    events.pass_through(head.data(), length);

    if (held == state::path_body && path_length_ > 0) {
        events.pass_through(reinterpret_cast<const unsigned char*>(path_.data()), path_length_);
    }
    if (held == state::block_letters) {
        constexpr std::size_t PIECE = 2048;
        std::array<unsigned char, 2 * PIECE> letters;
        for (std::size_t at = 0; at < block_length_; at += PIECE) {
            const std::size_t count = std::min(PIECE, block_length_ - at);
            encode_letters(block_.data() + at, count, letters.data());
            events.pass_through(letters.data(), 2 * count);
        }
        if (have_half_letter_) events.pass_through(&half_letter_, 1);
    }
}

}  // namespace pushfile::receive
