// Finds the transfer messages in a command's output. Fed whatever chunks the reads return, it
// passes ordinary output on as spans of the caller's chunks and holds back a message while it
// may still turn out to be one. Only a complete valid message is taken out of the output: a
// candidate that breaks, is rejected or is cut off by the end of the output is released, all of
// it and in order, so that the screen gets every other byte exactly as the command wrote it.
// Memory is fixed whatever the input: a held message is kept decoded (a path as it came, digits
// as their number and count, letters as the bytes they stand for) and turned back into the same
// bytes when it is released.
//
// What counts as a complete valid message, byte for byte (ESC is 0x1B, NUL is 0):
//   path   ESC } f r NAME NUL          NAME: 0..MAX_PATH_LENGTH bytes, none of them NUL
//   size   ESC } f s DIGITS NUL        DIGITS: 1..20 decimal digits, at most 2^64 - 1
//   block  ESC } f d DIGITS SP LETTERS NUL
//                                      DIGITS: 1..10 decimal digits, at most 2^31 - 1; LETTERS:
//                                      2..2*BLOCK_SIZE bytes '@'..'O', an even count, whose sum
//                                      is the number DIGITS spell
//   end    ESC } f x NUL [NUL]         the sender's extra zero byte belongs to it when it comes
//                                      directly after
// and pullfile's (the upload direction), each a number of 1..19 digits or a text as a path's:
//   request         ESC } f u FOLDER NUL
//   acknowledgement ESC } f a SEQUENCE NUL
//   file failed     ESC } f e SEQUENCE SP REASON NUL
//   end             ESC } f q STATUS NUL     STATUS: 1..3 digits, at most 255
//   clipboard       ESC } f c CHUNK SP TOKEN NUL  CHUNK: 1..7 digits; TOKEN: 16 lowercase hex
//                                            digits
//   have            ESC } f h QSEQ ';' HELD ';' HASH NUL, or ESC } f h QSEQ ';' 0 NUL
//                                            QSEQ, HELD: 1..19 and 1..20 digits, HELD above 0
//                                            with a HASH; HASH: 32 lowercase hex digits
// and tmux's query for its client's clipboard, which an upload may answer (clipboard_query()):
//   clipboard query ESC ] 52 ; ; ? and BEL, or ESC ] 52 ; ; ? and ESC and a backslash
// Leading zeros in DIGITS are allowed. A candidate begins at an ESC in ordinary output. It breaks
// at the first byte that cannot continue it: that byte is not part of it and is scanned again
// (it may open the next message). A candidate that reaches its NUL but fails a check (an empty
// size, a block with no letters, an odd letter count, a checksum that does not match) is
// released with its NUL. Candidates that got past ESC } f and a known code are reported as
// rejected messages; a bare prefix (ESC, ESC }, ESC } f, or an unknown code) is not.
// The grammar above is the parser's table of message forms (message_forms.cpp): one row per kind,
// its body as fields (message_field below).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/file_hash.h"
#include "common/protocol.h"

namespace pushfile {

enum class message_kind : unsigned char { path, size, block, end, upload_request, upload_ack, upload_failed, upload_end,
                                        upload_have, upload_clipboard, upload_keys };

enum class parse_error : unsigned char {
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
    bad_upload_message, // one of pullfile's messages with a body that is not its form's
};

// A short description for people, e.g. "a block's checksum does not match".
const char* describe(parse_error error);

// pullfile's messages, which whatever follows an upload takes. Each does nothing unless overridden.
class upload_message_events {
public:
    // pullfile's messages (protocol.h): a request for files to be saved in folder, the sequence
    // number of the last frame it handled, a file it did not save (by its file frame's sequence
    // number) and why, and its end with its exit status.
    virtual void upload_request(std::string_view folder) { (void)folder; }
    virtual void upload_ack(std::uint64_t sequence) { (void)sequence; }
    virtual void upload_failed(std::uint64_t file_sequence, std::string_view reason) {
        (void)file_sequence;
        (void)reason;
    }
    virtual void upload_end(std::uint64_t status) { (void)status; }
    // The answer to a query frame: held bytes of that file are there, with their hash (zero when
    // held is 0).
    virtual void upload_have(std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash) {
        (void)query_sequence, (void)held, (void)hash;
    }
    // From version 4 on: the frames may come in answers to tmux's clipboard queries, each at most
    // chunk bytes and starting with token; chunk 0: typed again.
    virtual void upload_clipboard(std::uint64_t chunk, std::string_view token) { (void)chunk, (void)token; }
    virtual void upload_keys(std::uint64_t dense) { (void)dense; }

protected:
    ~upload_message_events() = default;
};

// What the parser finds. Every message event does nothing unless overridden.
class stream_parser_events : public upload_message_events {
public:
    // Ordinary output, in order: every byte that is not part of a complete valid message,
    // including the bytes of held candidates once they turn out not to be one.
    virtual void pass_through(const unsigned char* bytes, std::size_t length) = 0;
    virtual void path_message(std::string_view path) { (void)path; }
    // UNKNOWN_SIZE when the sender could not find the size.
    virtual void size_message(std::uint64_t size) { (void)size; }
    // The decoded bytes of a block whose letters and checksum were verified.
    virtual void block_message(const unsigned char* bytes, std::size_t length) {
        (void)bytes;
        (void)length;
    }
    virtual void end_message() {}
    // pullfile's messages go to the upload events given at construction, if any.
    void upload_request(std::string_view folder) override {
        if (upload_ != nullptr) upload_->upload_request(folder);
    }
    void upload_ack(std::uint64_t sequence) override {
        if (upload_ != nullptr) upload_->upload_ack(sequence);
    }
    void upload_failed(std::uint64_t file_sequence, std::string_view reason) override {
        if (upload_ != nullptr) upload_->upload_failed(file_sequence, reason);
    }
    void upload_end(std::uint64_t status) override {
        if (upload_ != nullptr) upload_->upload_end(status);
    }
    void upload_have(std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash) override {
        if (upload_ != nullptr) upload_->upload_have(query_sequence, held, hash);
    }
    void upload_keys(std::uint64_t dense) override {
        if (upload_ != nullptr) upload_->upload_keys(dense);
    }
    void upload_clipboard(std::uint64_t chunk, std::string_view token) override {
        if (upload_ != nullptr) upload_->upload_clipboard(chunk, token);
    }
    // A message that began but broke the format. Its bytes have just been passed through, or
    // left out when hide_broken_block() said so.
    virtual void rejected_message(message_kind kind, parse_error error) {
        (void)kind;
        (void)error;
    }
    // A block message broke after its checksum, the space and many letters (which output that
    // only looks like a message seldom has): whether to leave its length held bytes (header,
    // checksum, letters, and the NUL that ended it, if one did) out of the ordinary output. A few
    // letters that came in the read that broke it, after the read before it, are passed through
    // after rejected_message() all the same: they may be the start of what the command printed
    // after a sender was killed ("Killed").
    virtual bool hide_broken_block(std::size_t length) {
        (void)length;
        return false;
    }
    // tmux asked its client's terminal for the clipboard: whether the query is taken out of the
    // output (an upload answers it); one not taken is passed through whole, to the terminal.
    virtual bool clipboard_query() { return false; }

protected:
    explicit stream_parser_events(upload_message_events* upload = nullptr) : upload_(upload) {}
    ~stream_parser_events() = default;

private:
    upload_message_events* upload_;
};

// A sender writes each message in one go, so a candidate still unfinished when the output has
// been quiet this long is no message: outside a transfer it is let go of, so that the screen
// never waits for the rest of something that only looked like a message.
inline constexpr std::chrono::milliseconds QUIET_BEFORE_RELEASE{500};
// Answers come back within a round trip, so output this quiet in the middle of a transfer means
// that its sender is most likely gone (killed, or reading a terminal that gives it nothing).
inline constexpr std::chrono::milliseconds QUIET_SENDER_LIMIT{1000};

// The longest path a message can carry: the message, its NUL included, fits MESSAGE_BUFFER_SIZE.
inline constexpr std::size_t MAX_PATH_LENGTH = MESSAGE_BUFFER_SIZE - 5;
// The most digits a number field has: a size's, up to 2^64 - 1.
inline constexpr std::size_t MAX_SIZE_DIGITS = 20;
inline constexpr std::size_t MAX_CHECKSUM_DIGITS = 10;
// The most bytes the parser holds back between feeds: the longest block message but its NUL.
// One feed or finish() passes through at most this many bytes more than it was given.
inline constexpr std::size_t MAX_RELEASE_BYTES = 4 + MAX_CHECKSUM_DIGITS + 1 + 2 * BLOCK_SIZE;

// The parts a message's body is made of. A body is at most two fields and its NUL; a number
// with a field after it ends at a space, text and letters run to the NUL. Letters add up to the
// number before them.
enum class message_field : unsigned char { none, text, number, letters };

// Each message kind's code, body and limits: one row per kind in the parser's table.
struct message_form;

class stream_parser {
public:
    void feed(const unsigned char* bytes, std::size_t length, stream_parser_events& events);
    // The output has ended: whatever is held is released as ordinary output. An unfinished
    // message is not reported: the caller knows the output ended mid-message when in_message()
    // was true.
    void finish(stream_parser_events& events);
    // Whether the parser holds a candidate (a prefix, or a message partly read).
    bool in_message() const { return state_ != state::ground && state_ != state::after_message; }
    // How many bytes fed so far are held back, neither passed through nor part of a message yet:
    // the last ones fed, which finish() would pass through as they came.
    std::size_t held_bytes() const;

private:
    enum class state {
        ground,
        escape,         // ESC seen
        introducer,     // ESC '}' seen
        family,         // ESC '}' 'f' seen: the code comes next
        text,           // in a text field
        number,         // in a number field
        letters,        // in a letters field
        empty_body,     // a message without fields: its NUL comes next
        after_message,  // a NUL that belongs to the message just ended may come
        query,          // ESC and query_matched_ bytes of CLIPBOARD_QUERY after it seen
        query_escape,   // the whole query but its ESC '\' ending, of which the ESC came
    };

    // Each returns the number of bytes it consumed from the chunk.
    std::size_t feed_prefix(const unsigned char* bytes, stream_parser_events& events);
    std::size_t feed_text(const unsigned char* bytes, std::size_t length, stream_parser_events& events);
    std::size_t feed_number(const unsigned char* bytes, std::size_t length, stream_parser_events& events);
    std::size_t feed_letters(const unsigned char* bytes, std::size_t length, stream_parser_events& events);
    std::size_t feed_empty_body(const unsigned char* bytes, stream_parser_events& events);
    std::size_t feed_query(const unsigned char* bytes, stream_parser_events& events);
    // The query came whole, ended by ending (BEL, or ESC '\').
    void query_complete(std::string_view ending, stream_parser_events& events);
    // Moves to the form's field at index, or, past the last, to the end of an empty body.
    void enter_field(std::size_t index);
    message_field current_field() const;
    bool last_field() const;
    // The body's NUL came: checks what only the whole message shows, then reports it.
    void complete(stream_parser_events& events);
    // The candidate is not a message: releases it, with the NUL that ended it when ended_by_nul.
    // breaking_byte: the byte that broke a block's letters, if one did.
    void reject(parse_error error, bool ended_by_nul, stream_parser_events& events, unsigned char breaking_byte = 0);
    void release(stream_parser_events& events);
    void release_number(stream_parser_events& events) const;
    void release_letters(stream_parser_events& events) const;
    // The letters held from the index first on, as they came.
    void release_letters_from(std::size_t first, stream_parser_events& events) const;
    std::size_t letter_count() const { return 2 * block_length_ + (have_half_letter_ ? 1 : 0); }
    // Enough of a block's letters are held to be recognisably a sender's: what is left of it after
    // a break may be hidden instead of shown.
    bool holds_block_remains() const;
    // For a block broken in its letters: whether the events hid it; kept_letters of its last
    // letters are passed through after it.
    bool hide_block_remains(std::size_t kept_letters, parse_error error, bool ended_by_nul,
                            stream_parser_events& events);

    state state_ = state::ground;
    std::size_t query_matched_ = 0;
    // The form of the message held, once its code has come, and the field being read.
    const message_form* form_ = nullptr;
    std::size_t field_index_ = 0;
    // What the fields hold so far; a form has at most one field of each kind.
    std::size_t digit_count_ = 0;
    std::uint64_t number_ = 0;
    std::size_t text_length_ = 0;
    std::size_t block_length_ = 0;
    std::uint64_t letter_sum_ = 0;
    // The first letter of a pair whose second letter has not arrived yet.
    // Letters held when the current feed began, or NOT_IN_LETTERS when the block's letters
    // began within it.
    std::size_t letters_before_feed_ = 0;
    bool have_half_letter_ = false;
    unsigned char half_letter_ = 0;
    std::array<char, MAX_PATH_LENGTH> text_{};
    std::array<unsigned char, BLOCK_SIZE> block_{};
};

}  // namespace pushfile
