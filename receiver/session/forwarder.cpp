#include "receiver/session/forwarder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/letters.h"
#include "common/messages.h"
#include "common/multiplexer.h"

namespace pushfile::receive {

message_forwarder::message_forwarder(bool wrap_for_tmux, byte_sink& screen)
    : screen_(screen), letters_(std::make_unique_for_overwrite<unsigned char[]>(LETTER_BUFFER_SIZE)) {
    if (wrap_for_tmux) wrapped_ = std::make_unique_for_overwrite<unsigned char[]>(TMUX_WRAPPED_MESSAGE_SIZE);
}

void message_forwarder::command_output(const unsigned char* bytes, std::size_t length) {
    last_output_at_ = monotonic_clock::now();
    parser_.feed(bytes, length, *this);
}

void message_forwarder::tick(monotonic_clock::time_point now) {
    const auto quiet = now - last_output_at_;
    if (transfer_under_way_ && !upload_under_way_ && quiet >= QUIET_SENDER_LIMIT) {
        // The sender is gone: the command's keys are the user's again.
        transfer_under_way_ = false;
        if (command_terminal_ != nullptr) command_terminal_->release_after_transfer();
    }
    if (!transfer_under_way_ && quiet >= QUIET_BEFORE_RELEASE && parser_.in_message()) parser_.finish(*this);
}

void message_forwarder::output_ended(const char* /*reason*/) {
    parser_.finish(*this);
    transfer_under_way_ = upload_under_way_ = false;
    command_terminal_ = nullptr;  // closed with the output
}

void message_forwarder::pass_through(const unsigned char* bytes, std::size_t length) { screen_.append(bytes, length); }

void message_forwarder::transfer_message() {
    // A sender behind ssh without -t reads its answers through the command's terminal; it stays
    // held until the transfer is over, so once at its first message is enough.
    if (!transfer_under_way_ && command_terminal_ != nullptr) command_terminal_->hold_for_transfer();
    transfer_under_way_ = true;
}

void message_forwarder::path_message(std::string_view path) {
    transfer_message();
    // The parser takes no longer path than fits a message with its NUL.
    std::array<char, MAX_PATH_LENGTH + 1> name{};
    std::memcpy(name.data(), path.data(), path.size());
    forward(head_, format_path_message(head_, name.data()) + 1, nullptr, 0);
}

void message_forwarder::size_message(std::uint64_t size) {
    transfer_message();
    forward(head_, format_size_message(head_, size) + 1, nullptr, 0);
}

void message_forwarder::block_message(const unsigned char* bytes, std::size_t length) {
    transfer_message();
    // The letters are verified against their checksum, so encoding the bytes again gives them back.
    const auto checksum = static_cast<std::int32_t>(encode_letters(bytes, length, letters_.get()));
    letters_[2 * length] = 0;
    forward(head_, format_block_header(head_, checksum), letters_.get(), 2 * length + 1);
}

void message_forwarder::end_message() {
    // With the zero byte a sender writes after it.
    const std::size_t length = format_end_message(head_);
    head_[length] = 0;
    head_[length + 1] = 0;
    forward(head_, length + 2, nullptr, 0);
    if (upload_under_way_) return;
    transfer_under_way_ = false;
    if (command_terminal_ != nullptr) command_terminal_->release_after_transfer();
}

const char* message_forwarder::terminated(std::string_view text) {
    // The parser takes no longer text than fits a message with its NUL.
    const std::size_t length = std::min(text.size(), sizeof text_ - 1);
    std::memcpy(text_, text.data(), length);
    text_[length] = '\0';
    return text_;
}

// pullfile reads the frames through the command's terminal until it ends, however long its user
// takes to choose: the terminal stays held from its request to its end.
void message_forwarder::upload_request(std::string_view folder) {
    transfer_message();
    upload_under_way_ = true;
    forward(head_, format_upload_request(head_, terminated(folder)) + 1, nullptr, 0);
}

void message_forwarder::upload_ack(std::uint64_t sequence) {
    transfer_message();
    forward(head_, format_upload_ack(head_, sequence) + 1, nullptr, 0);
}

void message_forwarder::upload_failed(std::uint64_t file_sequence, std::string_view reason) {
    transfer_message();
    forward(head_, format_upload_failed(head_, file_sequence, terminated(reason)) + 1, nullptr, 0);
}

void message_forwarder::upload_have(std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash) {
    transfer_message();
    forward(head_, format_upload_have(head_, query_sequence, held, hash) + 1, nullptr, 0);
}

// Dense keys cost every tmux on the way less, this forwarder's too.
void message_forwarder::upload_keys(std::uint64_t dense) {
    transfer_message();
    forward(head_, format_upload_keys(head_, dense != 0) + 1, nullptr, 0);
}

void message_forwarder::upload_end(std::uint64_t status) {
    // The parser's numbers go up to 2^64 - 1; an exit status is 0..255.
    forward(head_, format_upload_end(head_, static_cast<int>(std::min<std::uint64_t>(status, 255))) + 1, nullptr, 0);
    upload_under_way_ = transfer_under_way_ = false;
    if (command_terminal_ != nullptr) command_terminal_->release_after_transfer();
}

// One message, whole, in one append: tmux passes a wrapped message on only in one piece.
void message_forwarder::forward(const char* head, std::size_t head_length, const unsigned char* tail,
                                std::size_t tail_length) {
    if (!wrapped_) {
        screen_.append(reinterpret_cast<const unsigned char*>(head), head_length);
        if (tail_length > 0) screen_.append(tail, tail_length);
        return;
    }
    const std::size_t length =
        wrap_for_tmux(head, head_length, tail, tail_length, wrapped_.get(), TMUX_WRAPPED_MESSAGE_SIZE);
    screen_.append(wrapped_.get(), length);
}

}  // namespace pushfile::receive
