// The receiver's side of an upload. pullfile, on the remote host, asks for files; the user names
// them at a prompt of ours, and their bytes go to pullfile as frames typed into the command's
// input (transfer/upload_frames.h), never more data frames unacknowledged than the answer window
// allows, so that the pace follows the link's measured rate and round trip.
// Memory is bounded whatever the files: one frame, one block of file bytes, a ring of the frames
// in flight and one of the files they belong to (upload_pacer.h), and a folder walk's fixed
// buffers (upload_sources.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_hash.h"
#include "common/owned_fd.h"
#include "common/summary_list.h"
#include "receiver/relay/handler.h"
#include "receiver/session/clipboard_channel.h"
#include "receiver/session/progress.h"
#include "receiver/session/typed_echo.h"
#include "receiver/session/upload_consent.h"
#include "receiver/session/upload_pacer.h"
#include "receiver/session/upload_prompt.h"
#include "receiver/session/upload_prompt_view.h"
#include "receiver/session/upload_queries.h"
#include "receiver/session/upload_selection.h"
#include "receiver/session/upload_sources.h"
#include "transfer/stream_parser.h"
#include "transfer/upload_frames.h"

namespace pushfile::receive {

struct upload_options {
    bool refuse = false;  // --no-upload: every request is answered with a refusal
    // Relative paths at the prompt start here when the foreground's folder cannot be known.
    std::string working_folder = ".";
    std::string home;    // ~ at the prompt; empty when unknown
    bool quiet = false;  // only what failed, and a summary when something did
    // The keys come from a terminal, which can be asked to mark pasted text; not from a pipe.
    bool keyboard_is_terminal = false;
};

// An Esc key alone is told from the start of a key's sequence by the quiet after it.
inline constexpr std::chrono::milliseconds ESCAPE_KEY_WAIT{50};
// A paste that went this quiet without its end marker is over.
inline constexpr std::chrono::milliseconds PASTE_END_WAIT{1000};
// pullfile silent this long with frames in flight is told of once.
inline constexpr std::chrono::seconds UPLOAD_STALL_NOTICE{5};

// What the upload asks of the session that carries it.
class upload_host {
public:
    // A download's file is open: an upload's prompt waits for its end (a progress line would
    // cover it, and the keys are the download's until then).
    virtual bool download_open() const = 0;
    // When the command last wrote anything: the time of pullfile's messages, and the command is
    // quiet some time after it.
    virtual monotonic_clock::time_point last_output_at() const = 0;
    // pullfile asked for files: what the session has still to tell goes out ahead of the prompt.
    virtual void upload_requested() = 0;

protected:
    ~upload_host() = default;
};

// The relay's events as far as an upload needs them (the session hands each on: command_output()
// is the output on its way to the screen, what the transfer messages left of it), and pullfile's
// messages straight from the stream parser.
class upload_engine final : public stream_handler,
                            public upload_message_events,
                            private upload_pacer::frame_maker,
                            private upload_pacer::acknowledgement_events {
public:
    // Lines go through progress; the bracketed paste switch to screen (the command's output queue,
    // to keep its place among that output); frames to command_input.
    upload_engine(upload_host& host, progress_display& progress, byte_sink& screen, input_sink& command_input,
                  upload_options options);
    ~upload_engine();
    upload_engine(const upload_engine&) = delete;
    upload_engine& operator=(const upload_engine&) = delete;

    // pullfile's messages. The request's body holds the highest version of the frames pullfile
    // reads (parse_upload_request()). The first frame goes out at once; a prompt asked for while a
    // download's file is open waits for output_parsed() or tick() after that file.
    void upload_request(std::string_view body) override;
    void upload_ack(std::uint64_t sequence) override;
    void upload_failed(std::uint64_t file_sequence, std::string_view reason) override;
    // From version 3 on: what pullfile holds of the file its query frame named (upload_queries.h).
    void upload_have(std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash) override;
    void upload_end(std::uint64_t status) override;
    // From version 4 on, pullfile in tmux: frames in answers to its clipboard queries, or typed again.
    void upload_clipboard(std::uint64_t chunk, std::string_view token) override;
    void upload_keys(std::uint64_t dense) override;
    // tmux asked its client's terminal for the clipboard: whether the upload takes the query.
    bool clipboard_query();

    void command_started(command_terminal& terminal) override { terminal_ = &terminal; }
    // The command's output on its way to the screen: what is not echo of frames goes there.
    void command_output(const unsigned char* bytes, std::size_t length) override;
    // A chunk of output was parsed: a prompt that waited for a download's file may show.
    void output_parsed();
    // Output held back to see whether it is echo of frames is let go of once the command is quiet.
    void output_quiet(monotonic_clock::time_point now);
    // The prompt is on the screen: the command's output must not cover it.
    bool output_paused() const override { return stage_ == stage::prompting; }
    // From the prompt on: the keyboard is the upload's.
    bool wants_keyboard() const override { return active() && stage_ != stage::waiting; }
    void keyboard(const unsigned char* bytes, std::size_t length) override;
    void keyboard_ended() override;
    // The command's input queue has free bytes of room: the frames due go in, whole.
    void command_input_room(std::size_t free) override;
    bool wants_ticks() const override;
    void tick(monotonic_clock::time_point now) override;
    // The command's output ended (reason null) or the receiver stops (reason says why).
    void output_ended(const char* reason) override;

    // From the request to pullfile's end: the command's terminal held.
    bool active() const { return stage_ != stage::idle; }
    bool sending_or_closing() const { return stage_ == stage::sending || stage_ == stage::closing; }

private:
    enum class stage : unsigned char {
        idle,
        refusing,   // R typed; pullfile's end comes next
        waiting,    // P typed; the prompt waits for a download's file to end
        prompting,  // P typed; the user names the files
        sending,    // frames go out as the window and the queue allow
        closing,    // the last frame (Z, N or C) is due or typed; pullfile's end comes next
    };

    void show_waiting_prompt(monotonic_clock::time_point now);
    void show_prompt(monotonic_clock::time_point now);
    void prompt_keys(const unsigned char* bytes, std::size_t length, monotonic_clock::time_point now);
    void prompt_answered(upload_prompt::state state, monotonic_clock::time_point now);
    void line_entered(monotonic_clock::time_point now);
    void start_sending(monotonic_clock::time_point now);
    void leave_prompt();
    void tell_dropped_keys();

    // The next frame due, into the pacer; false when none is due yet.
    bool make_frame() override;
    bool make_query_frame();
    // From version 3 on: whether this turn ends here, for the queries typed to go out.
    bool walk_paused();
    bool make_file_frame();
    // The next path's item into *item; from version 3 on a file's only once its query is answered,
    // with what pullfile holds of it. False when it has to wait.
    bool next_item(upload_item* item, std::uint64_t* held, file_hash* held_hash);
    void look_ahead();
    void tell_skipped(const upload_item& item);
    // Where the current file's data starts: after what pullfile holds, if that is the same.
    std::uint64_t resume_point(upload_file& file, std::uint64_t held, const file_hash& held_hash);
    bool make_data_frame();
    void prepare_last_frame(frame_type type, std::uint64_t number = 0);
    void close_current();
    void fail_file(upload_file& file, std::string_view reason);
    void data_acknowledged(upload_file& file, monotonic_clock::time_point now) override;
    // An end frame is acknowledged once pullfile saved the file under its final name.
    void file_end_acknowledged(upload_file& file, monotonic_clock::time_point now) override;
    void show_file(upload_file& file, monotonic_clock::time_point now);

    // Ctrl-C while files go: the frames not written yet are dropped, then C.
    bool may_cancel() const;
    void cancel();
    // One of pullfile's messages came: it is there, and what the command writes is its again.
    void heard_from_pullfile() {
        last_heard_ = host_.last_output_at();
        doubt_pullfile_ = false;
        stall_told_ = false;
    }
    // Frames in flight and pullfile silent for long: the user learns of the ways out.
    void tell_of_a_stall(monotonic_clock::time_point now);
    // pullfile is gone or silent: the keyboard and the terminal go back to the command.
    void give_up(std::string_view why);
    // The frames pullfile has not read would reach what reads next: they are erased from its line,
    // and what it shows of them is left off the screen.
    void erase_unread_frames(bool unread);
    // Frames typed and not acknowledged may come back as echo from whatever reads them.
    void expect_echo();
    // What is said of echo left off the screen, or empty.
    std::string hidden_echo_text();
    void tell_hidden_echo();
    void end_upload();
    std::string summary_line(std::uint64_t status) const;

    upload_host& host_;
    progress_display& progress_;
    byte_sink& screen_;
    input_sink& command_input_;
    upload_options options_;
    command_terminal* terminal_ = nullptr;
    upload_prompt_view view_;
    // Leaves off the screen the frames a shell read and showed after pullfile was gone.
    echo_filter echo_;

    std::string folder_;  // pullfile's, escaped
    // The version of the frames this upload writes: the highest both sides read.
    unsigned format_version_ = FIRST_UPLOAD_FORMAT_VERSION;
    std::optional<upload_prompt> prompt_;
    upload_consent consent_;
    bool drop_told_ = false;      // the keys being dropped now were told of
    upload_selection selection_;  // what the line named, while it is confirmed
    monotonic_clock::time_point last_key_at_{};
    // The last message from pullfile, or the start of sending: a key after a long silence gives up.
    monotonic_clock::time_point last_heard_{};

    // What to send, and the file being read.
    upload_sources sources_;
    owned_fd current_;
    std::uint64_t current_sent_ = 0;
    // From version 3 on: the files after the current one, asked about ahead; the current file's
    // hash so far, from its first byte whatever its data's start.
    upload_queries queries_;
    file_hasher hasher_;
    std::unique_ptr<unsigned char[]> block_;
    // Frames go through it: typed, or in answers to tmux's clipboard queries.
    clipboard_channel channel_;
    upload_pacer pacer_;
    std::uint64_t shown_file_ = 0;  // the file sequence the progress line shows, or 0
    // Z, N or C, once due, and its sequence.
    frame_type final_frame_ = frame_type::nothing;
    std::uint64_t final_sequence_ = 0;

    // For the summary.
    std::uint64_t files_announced_ = 0;
    std::uint64_t files_saved_ = 0;
    std::uint64_t bytes_saved_ = 0;
    std::uint64_t files_resumed_ = 0;  // among those saved
    std::uint64_t files_skipped_ = 0;  // pullfile held them whole already
    summary_list failed_;

    stage stage_ = stage::idle;
    // Ctrl-C dropped what was queued; the room it made is seen at the next call.
    bool cancel_due_ = false;
    bool cancelled_ = false;
    // Output other than pullfile's messages came while frames were in flight: pullfile may be gone
    // and a shell reading the frames. None goes out until pullfile is heard from again.
    bool doubt_pullfile_ = false;
    bool stall_told_ = false;  // since pullfile's last message
    bool dense_keys_ = false;  // typed data frames in dense characters, as pullfile asked
};

}  // namespace pushfile::receive
