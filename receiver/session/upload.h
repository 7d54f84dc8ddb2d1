// The receiver's side of an upload. pullfile, on the remote host, asks for files; the user names
// them at a prompt of ours, and their bytes go to pullfile as frames typed into the command's
// input (transfer/upload_frames.h), never more data frames unacknowledged than the answer window
// allows, so that the pace follows the link's measured rate and round trip.
// Memory is bounded whatever the files: one frame, one block of file bytes, a ring of the frames
// in flight and one of the files they belong to, and a folder walk's fixed buffers.
#pragma once

#include <sys/stat.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/folder_walk.h"
#include "common/owned_fd.h"
#include "common/summary_list.h"
#include "receiver/relay/handler.h"
#include "receiver/relay/output_scanner.h"
#include "receiver/session/progress.h"
#include "receiver/session/upload_consent.h"
#include "receiver/session/typed_echo.h"
#include "receiver/session/upload_prompt.h"
#include "receiver/session/upload_selection.h"
#include "transfer/answer_window.h"
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

// Files that may be in flight at once, each with its name kept for its outcome line.
inline constexpr std::size_t MAX_FILES_IN_FLIGHT = 16;
// Frames in flight: the data frames the window allows, each file's first and last, and the few
// frames that belong to no file.
inline constexpr std::size_t MAX_FRAMES_IN_FLIGHT = answer_window::MAX_BLOCKS + 2 * MAX_FILES_IN_FLIGHT + 4;
// An Esc key alone is told from the start of a key's sequence by the quiet after it.
inline constexpr std::chrono::milliseconds ESCAPE_KEY_WAIT{50};
// A paste that went this quiet without its end marker is over.
inline constexpr std::chrono::milliseconds PASTE_END_WAIT{1000};

class upload_engine {
public:
    // Lines go through progress; the bracketed paste switch to screen (the command's output queue,
    // to keep its place among that output); frames to command_input.
    upload_engine(progress_display& progress, byte_sink& screen, input_sink& command_input, upload_options options);
    ~upload_engine();
    upload_engine(const upload_engine&) = delete;
    upload_engine& operator=(const upload_engine&) = delete;

    void command_started(command_terminal& terminal) { terminal_ = &terminal; }

    // pullfile's messages. pullfile_reads: the highest version of the frames it reads
    // (parse_upload_request()). A request that comes while a download's file is open is answered at
    // once, but its prompt waits for show_waiting_prompt() after that file: a progress line would
    // cover it, and the keys are the download's until then.
    void request(std::string_view folder, unsigned pullfile_reads, monotonic_clock::time_point now,
                 bool download_open = false);
    void show_waiting_prompt(monotonic_clock::time_point now);
    void acknowledged(std::uint64_t sequence, monotonic_clock::time_point now);
    void file_failed(std::uint64_t file_sequence, std::string_view reason, monotonic_clock::time_point now);
    void ended(std::uint64_t status);
    // The command's output on its way to the screen: what is not echo of frames goes there.
    void output_shown(const unsigned char* bytes, std::size_t length, monotonic_clock::time_point now);
    // Output held back to see whether it is echo of frames; output_quiet() lets go of it.
    bool output_held() const { return echo_.holding(); }
    void output_quiet(monotonic_clock::time_point now);

    // From the request to pullfile's end: the command's terminal held.
    bool active() const { return stage_ != stage::idle; }
    // From the prompt on: the keyboard is the upload's.
    bool takes_keys() const { return active() && stage_ != stage::waiting; }
    bool waiting_to_prompt() const { return stage_ == stage::waiting; }
    // The prompt is on the screen: the command's output must not cover it.
    bool prompting() const { return stage_ == stage::prompting; }
    void keyboard(const unsigned char* bytes, std::size_t length, monotonic_clock::time_point now);
    void keyboard_ended();
    bool wants_ticks() const;
    void tick(monotonic_clock::time_point now);
    // The command's input queue has free bytes of room: the frames due go in, whole.
    void command_input_room(std::size_t free);
    // The command's output ended (reason null) or the receiver stops (reason says why).
    void output_ended(const char* reason);

private:
    enum class stage : unsigned char {
        idle,
        refusing,   // R typed; pullfile's end comes next
        waiting,    // P typed; the prompt waits for a download's file to end
        prompting,  // P typed; the user names the files
        sending,    // frames go out as the window and the queue allow
        closing,    // the last frame (Z, N or C) is due or typed; pullfile's end comes next
    };

    // A frame typed and not yet acknowledged.
    struct frame_record {
        std::uint64_t sequence = 0;
        frame_type type = frame_type::nothing;
        std::size_t data_length = 0;  // D: the file bytes it carries
        std::uint64_t end = 0;        // where it ends among all bytes typed in this upload
        std::size_t file = 0;         // D, E, X: its file's slot
    };

    // A file announced and not yet done with: its file frame's sequence names it in pullfile's
    // messages.
    struct file_record {
        std::uint64_t file_sequence = 0;
        std::uint64_t last_sequence = 0;  // of its newest frame
        std::string name;                 // as sent
        std::uint64_t size = 0;
        std::uint64_t acknowledged = 0;  // bytes
        bool in_folder = false;          // told of in the summary only
        bool closed = false;             // no more frames of it will be typed
        bool failed = false;             // its outcome was told already
    };

    // The file being read and sent.
    struct open_file {
        owned_fd fd;  // not valid for a file that could not be read: it is given up at once
        std::uint64_t sent = 0;
        std::size_t slot = 0;
    };

    void show_prompt(monotonic_clock::time_point now);
    void prompt_keys(const unsigned char* bytes, std::size_t length, monotonic_clock::time_point now);
    void prompt_answered(upload_prompt::state state, monotonic_clock::time_point now);
    void line_entered(monotonic_clock::time_point now);
    void start_sending(monotonic_clock::time_point now);
    void leave_prompt();
    void draw_prompt();
    void restore_paste_mode();

    // Puts the next frame due into the frame buffer; false when none is due yet.
    bool prepare_frame();
    bool prepare_file_frame();
    bool prepare_data_frame();
    void prepare_last_frame(frame_type type, std::uint64_t number = 0);
    void type_prepared_frame();
    // What goes next: a file opened, or a folder of a walk entered or left (frames of version 2).
    // unsendable: a file named, or found in a folder named, that cannot be read (unsendable_why_
    // says why): pullfile is told of it as a file given up, so that it counts what was not saved.
    enum class next_item : unsigned char { none, file, unsendable, folder_entered, folder_left };
    // The next file to send, opened, with its status; none when every path was gone through.
    next_item next_file(int* fd, std::string* name, struct stat* status, bool* in_folder);
    next_item next_folder_file(int* fd, std::string* name, struct stat* status);
    void close_current();
    file_record& slot(std::size_t index) { return files_[index % MAX_FILES_IN_FLIGHT]; }
    file_record& current_slot() { return slot(current_.slot); }
    void fail_file(file_record& file, std::string_view reason);
    void file_saved(file_record& file, monotonic_clock::time_point now);
    void show_file(file_record& file, monotonic_clock::time_point now);
    void forget_done_files();

    // Ctrl-C while files go: the frames not written yet are dropped, then C.
    bool may_cancel() const;
    void cancel();
    void finish_cancel(std::size_t free);
    // pullfile is gone or silent: the keyboard and the terminal go back to the command.
    void give_up(std::string_view why);
    // Frames typed and not acknowledged may come back as echo from whatever reads them.
    void expect_echo();
    // What is said of echo left off the screen, or empty.
    std::string hidden_echo_text();
    void end_upload();
    std::string summary_line(std::uint64_t status) const;

    progress_display& progress_;
    byte_sink& screen_;
    input_sink& command_input_;
    upload_options options_;
    command_terminal* terminal_ = nullptr;
    // The command's output as shown: whether the command has pasted text marked.
    output_scanner paste_mode_;
    // Leaves off the screen the frames a shell read and showed after pullfile was gone.
    echo_filter echo_;

    std::string folder_;  // pullfile's, escaped
    // The version of the frames this upload writes: the highest both sides read.
    unsigned format_version_ = FIRST_UPLOAD_FORMAT_VERSION;
    std::optional<upload_prompt> prompt_;
    upload_consent consent_;
    bool drop_told_ = false;  // the keys being dropped now were told of
    upload_selection selection_;  // what the line named, while it is confirmed
    monotonic_clock::time_point last_key_at_{};
    // The last message from pullfile, or the start of sending: a key after a long silence gives up.
    monotonic_clock::time_point last_heard_{};

    // What to send: the paths given, the one being walked, and the file being read.
    std::vector<std::string> paths_;
    std::size_t next_path_ = 0;
    std::unique_ptr<folder_walk> walk_;
    open_file current_;
    std::string unsendable_why_;

    // The frame buffer holds a frame not typed yet while pending_length_ is not 0.
    std::unique_ptr<char[]> frame_;
    std::unique_ptr<unsigned char[]> block_;
    std::size_t pending_length_ = 0;
    std::size_t pending_data_length_ = 0;

    std::uint64_t sequence_ = 0;  // of the last frame typed
    std::uint64_t acked_ = 0;     // the last sequence acknowledged
    std::uint64_t typed_ = 0;     // bytes typed in this upload
    std::size_t last_free_ = 0;   // the input queue's room after our last append
    std::size_t free_before_cancel_ = 0;
    std::uint64_t final_sequence_ = 0;

    std::array<frame_record, MAX_FRAMES_IN_FLIGHT> frames_{};
    std::size_t first_frame_ = 0;
    std::size_t frame_count_ = 0;
    std::uint64_t data_in_flight_ = 0;  // D frames typed, not acknowledged
    answer_window window_;
    std::uint64_t bytes_acknowledged_ = 0;

    std::array<file_record, MAX_FILES_IN_FLIGHT> files_{};
    std::size_t first_file_ = 0;  // slots count up; files_[n % MAX_FILES_IN_FLIGHT]
    std::size_t file_count_ = 0;
    std::uint64_t shown_file_ = 0;  // the file sequence the progress line shows, or 0

    // For the summary.
    std::uint64_t files_announced_ = 0;
    std::uint64_t files_saved_ = 0;
    std::uint64_t bytes_saved_ = 0;
    summary_list failed_;

    stage stage_ = stage::idle;
    frame_type pending_type_ = frame_type::nothing;
    frame_type last_typed_ = frame_type::nothing;
    // Z, N or C, once due; final_sequence_ is its sequence.
    frame_type final_frame_ = frame_type::nothing;
    bool paste_mode_set_ = false;
    bool have_current_ = false;
    bool pending_ends_file_ = false;
    // Ctrl-C dropped what was queued; the room it made (from free_before_cancel_) is seen at the
    // next call.
    bool cancel_due_ = false;
    bool cancelled_ = false;
    // Output other than pullfile's messages came while frames were in flight: pullfile may be gone
    // and a shell reading the frames. None goes out until pullfile is heard from again.
    bool doubt_pullfile_ = false;
};

}  // namespace pushfile::receive
