// Forwarding: run where the files should only pass through, typically on a jump host inside a
// tmux pane, with a receiver further out on the user's machine. Every complete valid transfer
// message in the command's output goes on to standard output, wrapped in tmux's passthrough when
// that is the terminal of this process's tmux pane (which would drop it otherwise); everything
// else passes through as it came. The answers come back from the receiver further out as keys and
// pass on to the command like every other key; so do an upload's frames, pullfile's messages going
// out like the sender's.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>

#include "receiver/relay/handler.h"
#include "transfer/stream_parser.h"

namespace pushfile::receive {

class message_forwarder final : public stream_handler, private stream_parser_events {
public:
    // Messages and ordinary output go to screen, the relay's screen queue.
    message_forwarder(bool wrap_for_tmux, byte_sink& screen);

    void command_started(command_terminal& terminal) override { command_terminal_ = &terminal; }
    void command_output(const unsigned char* bytes, std::size_t length) override;
    // Keys, answers among them, go to the command as they come.
    bool wants_keyboard() const override { return false; }
    void keyboard(const unsigned char*, std::size_t) override {}
    void keyboard_ended() override {}
    bool wants_ticks() const override { return parser_.in_message() || transfer_under_way_; }
    void tick(monotonic_clock::time_point now) override;
    void output_ended(const char* reason) override;

private:
    void pass_through(const unsigned char* bytes, std::size_t length) override;
    void path_message(std::string_view path) override;
    void size_message(std::uint64_t size) override;
    void block_message(const unsigned char* bytes, std::size_t length) override;
    void end_message() override;
    void upload_request(std::string_view folder) override;
    void upload_ack(std::uint64_t sequence) override;
    void upload_failed(std::uint64_t file_sequence, std::string_view reason) override;
    void upload_end(std::uint64_t status) override;
    void upload_have(std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash) override;
    void upload_keys(std::uint64_t dense) override;
    // pullfile's queries of its tmux's clipboard reach this forwarder's terminal: answers cannot
    // come back through the tmux this forwarder runs in, and that tmux, with set-clipboard on,
    // would answer with its paste buffer. During an upload they are dropped, and so is pullfile's
    // offer: the receiver types the frames, and pullfile, unanswered, goes back to them.
    bool clipboard_query() override { return upload_under_way_; }

    // A message is on its way: answers to it must reach the command at once.
    void transfer_message();
    // The message's text field as a C string.
    const char* terminated(std::string_view text);
    void forward(const char* head, std::size_t head_length, const unsigned char* tail, std::size_t tail_length);

    stream_parser parser_;
    byte_sink& screen_;
    command_terminal* command_terminal_ = nullptr;
    bool transfer_under_way_ = false;
    // From pullfile's request to its end: the frames come as the user picks files, at any pace.
    bool upload_under_way_ = false;
    monotonic_clock::time_point last_output_at_{};
    char head_[MESSAGE_BUFFER_SIZE]{};
    char text_[MESSAGE_BUFFER_SIZE]{};
    std::unique_ptr<unsigned char[]> letters_;
    std::unique_ptr<unsigned char[]> wrapped_;  // only when wrapping for tmux
};

}  // namespace pushfile::receive
