// Finds the transfer messages in a command's output. Fed whatever chunks the reads return, it
// passes ordinary output on as spans of the caller's chunks, holds back at most a three-byte
// message prefix, and checks each message as far as the format allows: digits, letters, the
// block checksum and every length limit. Memory is fixed whatever the input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/protocol.h"

namespace pushfile::receive {

enum class message_kind { path, size, block, end };

enum class parse_error {
    path_too_long,      // no NUL within the longest path a message can carry
    bad_size,           // a size that is empty or holds something other than decimal digits
    size_too_large,     // a size beyond 64 bits
    bad_checksum,       // a block checksum that is empty, not decimal or beyond 32 bits
    bad_letter,         // a byte other than '@'..'O' among a block's letters
    odd_letter_count,   // letters that do not pair up into bytes
    empty_block,        // a block message without letters
    block_too_long,     // more letters than a block can hold
    checksum_mismatch,  // the letters do not add up to the checksum sent
    bad_end,            // an end message with a body
};

// A short description for people, e.g. "a block's checksum does not match".
const char* describe(parse_error error);

class stream_parser_events {
public:
    // Ordinary output, in order: every byte that is not part of a message.
    virtual void pass_through(const unsigned char* bytes, std::size_t length) = 0;
    virtual void path_message(std::string_view path) = 0;
    // UNKNOWN_SIZE when the sender could not find the size.
    virtual void size_message(std::uint64_t size) = 0;
    // The decoded bytes of a block whose letters and checksum were verified.
    virtual void block_message(const unsigned char* bytes, std::size_t length) = 0;
    virtual void end_message() = 0;
    // A message that began but broke the format. A NUL that ends a bad message belongs to it; any
    // other byte that broke it is not part of the message and is parsed again as ordinary output
    // (it may open the next message).
    virtual void rejected_message(message_kind kind, parse_error error) = 0;

protected:
    ~stream_parser_events() = default;
};

// The longest path a message can carry: the message, its NUL included, fits MESSAGE_BUFFER_SIZE.
inline constexpr std::size_t MAX_PATH_LENGTH = MESSAGE_BUFFER_SIZE - 5;
inline constexpr std::size_t MAX_SIZE_DIGITS = 20;
inline constexpr std::size_t MAX_CHECKSUM_DIGITS = 10;

class stream_parser {
public:
    void feed(const unsigned char* bytes, std::size_t length, stream_parser_events& events);
    // The output has ended: a held prefix is released as ordinary output, and an unfinished
    // message is dropped (reported as nothing: the caller knows the output ended mid-message
    // when in_message() was true).
    void finish(stream_parser_events& events);
    // Whether the parser is inside a message (a prefix held, or a message partly read).
    bool in_message() const { return state_ != state::ground && state_ != state::after_end; }
    // Bytes consumed as parts of messages, accepted or rejected, since the start.
    std::uint64_t message_bytes() const { return message_bytes_; }

private:
    enum class state {
        ground,
        escape,      // ESC seen
        introducer,  // ESC '}' seen
        family,      // ESC '}' 'f' seen: the code comes next
        path_body,
        size_body,
        checksum_digits,
        block_letters,
        end_body,
        after_end,  // the zero byte that follows an end message may come
    };

    // Each returns the number of bytes it consumed from the chunk.
    std::size_t feed_prefix(const unsigned char* bytes, std::size_t length, stream_parser_events& events);
    std::size_t feed_path(const unsigned char* bytes, std::size_t length, stream_parser_events& events);
    std::size_t feed_size(const unsigned char* bytes, std::size_t length, stream_parser_events& events);
    std::size_t feed_checksum(const unsigned char* bytes, std::size_t length, stream_parser_events& events);
    std::size_t feed_letters(const unsigned char* bytes, std::size_t length, stream_parser_events& events);
    void finish_block(stream_parser_events& events);
    void reject(message_kind kind, parse_error error, stream_parser_events& events);
    void release_prefix(stream_parser_events& events);

    state state_ = state::ground;
    std::uint64_t message_bytes_ = 0;
    std::size_t digit_count_ = 0;
    std::uint64_t number_ = 0;
    std::size_t path_length_ = 0;
    std::size_t block_length_ = 0;
    std::uint64_t letter_sum_ = 0;
    // The first letter of a pair whose second letter has not arrived yet.
    bool have_half_letter_ = false;
    unsigned char half_letter_ = 0;
    std::array<char, MAX_PATH_LENGTH> path_{};
    std::array<unsigned char, BLOCK_SIZE> block_{};
};

}  // namespace pushfile::receive
