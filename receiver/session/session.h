// One receiving session: follows the transfer messages found in the command's output, saves each
// file through the sink, answers the sender, and tells the user what happened. pullfile's
// messages go to the upload engine, which sends files the other way.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "receiver/relay/handler.h"
#include "receiver/session/burst_summary.h"
#include "receiver/session/progress.h"
#include "receiver/session/upload.h"
#include "transfer/answer_window.h"
#include "transfer/file_sink.h"
#include "transfer/stream_parser.h"

namespace pushfile::receive {

struct session_options {
    std::string directory = ".";            // shown in the outcome lines
    bool ask = false;                       // ask before each file: save, skip or refuse
    std::optional<std::uint64_t> max_size;  // refuse files larger than this
    // Answer blocks before they arrive, so that a long link is not idle for a round trip per
    // block. Off: one answer per message, sent when the message has arrived.
    bool answer_ahead = true;
    bool quiet = false;  // a burst of files with folders is summed up only when some failed
    upload_options upload;  // pullfile's requests for files from this side
};

// Keys typed during a file that are kept for the command; the rest are dropped.
inline constexpr std::size_t MAX_KEPT_KEYS = 4096;

class transfer_session final : public stream_handler, private stream_parser_events, private upload_host {
public:
    // Ordinary output goes to screen, answers to command_input: the queues the relay writes.
    transfer_session(file_sink& sink, progress_display& progress, session_options options, byte_sink& screen,
                     input_sink& command_input);

    // The relay's events go to the upload too (upload.h); pullfile's messages go to it from the
    // parser.
    void command_started(command_terminal& terminal) override {
        command_terminal_ = &terminal;
        upload_.command_started(terminal);
    }
    void command_output(const unsigned char* bytes, std::size_t length) override;
    // While --ask waits for an answer, or the upload prompt for paths, what the command writes (a
    // sender's hint that it is waiting) would cover the question.
    bool output_paused() const override { return phase_ == phase::asking || upload_.output_paused(); }
    bool wants_keyboard() const override;
    void keyboard(const unsigned char* bytes, std::size_t length) override;
    void keyboard_ended() override;
    void command_input_room(std::size_t free) override { upload_.command_input_room(free); }
    bool wants_ticks() const override;
    void tick(monotonic_clock::time_point now) override;
    void output_ended(const char* reason) override;

private:
    enum class phase {
        idle,       // between files
        announced,  // a path came; its size (or its end) comes next
        asking,     // waiting for the user's answer before the first reply
        receiving,  // blocks are coming
        skipping,   // blocks are coming and dropped: the user chose to skip the file
        committed,  // every announced byte came and the file is saved; its end, or more data
                    // if it grew, comes next
        refusing,   // the file failed: refuse what is left of it
    };

    // What the answer to a size or block message was, when it went out before the message came.
    enum class answered_ahead { no, accepted, refused };

    void pass_through(const unsigned char* bytes, std::size_t length) override;
    void path_message(std::string_view path) override;
    void size_message(std::uint64_t size) override;
    void block_message(const unsigned char* bytes, std::size_t length) override;
    void end_message() override;
    void rejected_message(message_kind kind, parse_error error) override;
    bool hide_broken_block(std::size_t length) override;
    bool clipboard_query() override { return upload_.clipboard_query(); }
    bool download_open() const override { return file_open(); }
    monotonic_clock::time_point last_output_at() const override { return last_output_at_; }
    void upload_requested() override;
    // What is said of the remains of a broken block left off the screen, then forgets them.
    std::string hidden_block_text();
    void finish_held_output();

    void start_file(answered_ahead answered);
    void fail_file(const std::string& reason);
    void tell_failure(const std::string& reason);
    void decline(const std::string& reason);
    void reply(bool accepted);
    bool file_in_progress() const;
    // In progress, or saved with its end message still to come.
    bool file_open() const;
    // Its size was answered: the sender waits for an answer to each block.
    bool blocks_under_way() const { return phase_ == phase::receiving || phase_ == phase::skipping; }
    void give_up_file(const std::string& reason);
    // The user gave up on the file (Ctrl-C, or a key while the sender was quiet): the answers
    // under way are written off, and the keyboard goes back to the command. A cancel refuses at
    // once, ahead of the keys kept.
    enum class sender_told : bool { at_its_next_message, now };
    void abandon_file(const std::string& reason, sender_told told);
    void forget_answers_ahead();
    // The file is given up: its answers still queued or unread by the command are taken back.
    void take_back_answers();
    // Keys typed while a file is open wait, in order, for the command once it is over, like a
    // terminal's type-ahead.
    void keep_keys(const unsigned char* bytes, std::size_t length);
    void deliver_kept_keys();
    void deliver_kept_keys_when_due(monotonic_clock::time_point now);
    // A sender quiet this long in the middle of a file is told of once.
    static constexpr std::chrono::seconds STALL_NOTICE_AFTER{5};
    void tell_of_a_stall(monotonic_clock::time_point now);
    void report_saved();
    // Line mode of the command's terminal stays off while an answer may still be needed.
    void settle_command_terminal();
    // Stray and broken messages are told about once per stretch of output, with a count.
    void note_ignored(const std::string& text);
    void show_ignored();
    void show_summary();

    answered_ahead take_answer();
    void refuse(answered_ahead answered);
    void accept(answered_ahead answered);
    void send_answers_ahead();
    void count_blocks_from();
    void skip_file();
    std::string over_the_limit(std::uint64_t size) const;
    void drop_stale_answers();
    bool grow_saved_file(const unsigned char* bytes, std::size_t length);
    void receive_block(const unsigned char* bytes, std::size_t length, answered_ahead answered);

    file_sink& sink_;
    progress_display& progress_;
    session_options options_;
    stream_parser parser_;
    byte_sink& screen_;
    input_sink& command_input_;
    command_terminal* command_terminal_ = nullptr;
    phase phase_ = phase::idle;
    std::string sent_path_;
    std::uint64_t announced_size_ = 0;
    std::uint64_t received_ = 0;  // bytes of the file in progress, saved or skipped

    // Answers that went out for size and block messages that have not come yet, in the order the
    // sender reads them: accepts first, then at most one refusal (nothing goes out after it: the
    // sender stops there). Written off when the file ends, is given up, or a new one begins: a
    // sender that starts afresh has thrown away what it did not read.
    std::uint64_t accepts_ahead_ = 0;
    bool refusal_ahead_ = false;
    // This file's refusal went out: nothing of it is answered any more.
    bool refusal_written_ = false;
    // The file being skipped was told about already: it could not be saved where its path says.
    bool skip_reported_ = false;
    // How many blocks of the file in progress may be answered before they come.
    answer_window window_;
    monotonic_clock::time_point last_output_at_{};
    bool stall_told_ = false;  // since the sender's last output
    // Bytes of broken blocks left off the screen, not told about yet.
    std::uint64_t hidden_block_bytes_ = 0;
    std::uint64_t ignored_count_ = 0;
    std::string first_ignored_;
    // Without a keyboard left, --ask cannot be answered: every file is declined.
    bool keyboard_open_ = true;
    burst_summary summary_;
    std::array<unsigned char, MAX_KEPT_KEYS> kept_keys_{};
    std::size_t kept_length_ = 0;
    bool kept_keys_overflowed_ = false;
    monotonic_clock::time_point file_closed_at_{};
    std::optional<monotonic_clock::time_point> cancelled_at_;
    upload_engine upload_;
};

}  // namespace pushfile::receive
