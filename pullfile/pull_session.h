// One upload as pullfile follows it: the frames read from the terminal, the files saved through a
// file sink, and the messages back (acknowledgements, files not saved). Knows nothing of the
// terminal or of signals, so that it runs on any pair of descriptors.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_hash.h"
#include "common/protocol.h"
#include "common/summary_list.h"
#include "transfer/file_sink.h"
#include "transfer/upload_frames.h"

namespace pushfile::pull {

inline constexpr const char* PROGRAM_NAME = "pullfile";

// Every file chosen was saved.
inline constexpr int EXIT_ALL_SAVED = 0;
// Nothing was sent, uploads are refused, or some file was not saved or was given up.
inline constexpr int EXIT_NOT_ALL_SAVED = 1;
// The transfer broke: a broken frame, a lost one, the input cut, cancelled, no receiver.
inline constexpr int EXIT_BROKEN = 255;

// Where the session's messages go, each whole: its text and the NUL that ends it.
class message_output {
public:
    // Returns false when the message could not be written; the run ends then.
    virtual bool send(const char* message, std::size_t length) = 0;

protected:
    ~message_output() = default;
};

struct pull_options {
    // --skip-identical: a file of the same name, size and time is offered whole, and stays.
    bool skip_identical = false;
    // --replace: a file whose name is taken replaces the regular file there (the sink renames over it).
    bool replace = false;
};

class pull_session final : private frame_events {
public:
    // folder: the directory sink saves in, as the summary names it.
    pull_session(file_sink& sink, message_output& output, std::string folder, pull_options options = {});

    // Bytes read from the terminal. Frames complete in them are handled at once; then the last
    // frame handled is acknowledged. Nothing is read once over().
    void feed(const unsigned char* bytes, std::size_t length);
    // The content of a clipboard answer after its token: whole frames, data frames raw from
    // version 5 on.
    void feed_answer(const unsigned char* bytes, std::size_t length);
    // Nothing came for a while in the middle of an upload: the last acknowledgement goes again,
    // once until more comes.
    // A tmux between drops what a pane passes on when its client falls behind, and a receiver
    // that missed it would wait for it for ever; one that had it takes it as nothing new.
    void input_quiet();
    bool in_upload() const { return answered_ && !over(); }
    // The version of the frames the receiver writes, from its first frame.
    std::uint64_t receiver_version() const { return format_version_; }
    // A frame after the first came: the user answered the receiver's prompt.
    bool past_the_prompt() const { return last_sequence_ > 1; }
    // Data came typed in dense characters.
    bool typed_dense() const { return typed_dense_; }
    // Frames that came already may come again (typed once more after a clipboard answer that
    // seemed lost): they are passed over.
    void frames_may_repeat() { frames_may_repeat_ = true; }
    // The input ended (or could not be read: why says so); a file in progress is dropped.
    void input_ended(const std::string& why);
    // The run is stopped from outside (a signal); a file in progress is dropped.
    void stop(const std::string& why);

    // Whether a frame has come: until then a key or noise gives up.
    bool answered() const { return answered_; }
    // Whether the input ended before any frame came: nobody answered.
    bool unanswered() const { return !answered_ && end_ == ending::input_ended; }
    bool over() const { return end_ != ending::none; }
    int exit_status() const;
    // The one line that tells how the run went, without the program's name.
    std::string summary() const;

private:
    enum class ending : unsigned char {
        none,
        done,
        cancelled,
        nothing_chosen,
        refused,
        other_version,  // the receiver writes frames of another version
        gave_up,
        input_ended,
        output_failed,
        stopped,
    };
    enum class file_state : unsigned char { none, receiving, skipping };

    void frame_received(const upload_frame& frame) override;
    void frame_broken(frame_error error) override;
    void stray_bytes(const unsigned char* bytes, std::size_t length) override;

    void begin_file(const upload_frame& frame);
    // Version 3: what is held of the file a Q names, answered at once and remembered.
    void answer_query(const upload_frame& frame);
    // The upload broke while a file was in progress: from version 3 on, what was written of it is
    // kept as a partial file; else it is removed.
    void keep_or_drop_file();
    void enter_folder(const upload_frame& frame);
    // The folder on top of the stack gets its mode and time: its files are in.
    void leave_folder();
    void leave_every_folder();
    void write_data(const upload_frame& frame);
    void end_file(const upload_frame& frame);
    void file_given_up();
    // A frame of a file whose file frame never came.
    void orphan_frame(std::uint64_t sequence);
    // A broken or lost frame: the file it belongs to is never saved, and the run ends broken.
    void upload_broke(const std::string& what);
    void file_failed(std::uint64_t file_sequence, std::string_view name, const std::string& reason);
    void finish(ending end);
    void drop_file_in_progress();
    // Sends the message formatted in message_ (text_length: without its NUL).
    void send(std::size_t text_length);
    void acknowledge();

    file_sink& sink_;
    message_output& output_;
    std::string folder_;
    frame_reader reader_;
    char message_[MESSAGE_BUFFER_SIZE] = {};

    ending end_ = ending::none;
    bool answered_ = false;
    bool broken_ = false;
    std::string break_reason_;  // the first break's
    std::string end_reason_;    // input_ended(), stop(), a failed output
    std::uint64_t last_sequence_ = 0;
    std::uint64_t handled_ = 0;  // acknowledged once it passes acknowledged_
    std::uint64_t acknowledged_ = 0;
    bool quiet_acknowledged_ = false;  // since the last input
    bool frames_may_repeat_ = false;
    bool typed_dense_ = false;
    // The first frame not seen at the last break outside a file: the file frame lost, if a file's
    // data comes next.
    std::uint64_t lost_from_ = 0;
    // The receiver's, from its P frame; without one, nothing of version 3 is taken for granted.
    std::uint64_t format_version_ = FOLDERS_UPLOAD_FORMAT_VERSION;
    pull_options options_;

    // What was offered for the latest queries, a fixed table: the receiver asks at most
    // UPLOAD_QUERIES_AHEAD files ahead, so an older answer's file has come or been passed over.
    struct offer {
        std::string name;  // as sent
        std::uint64_t size = 0;
        mode_and_time attributes;
        std::uint64_t held = 0;
        file_hash hash;
        bool identical = false;
    };
    std::array<offer, UPLOAD_QUERIES_AHEAD + 4> offers_;
    std::size_t next_offer_ = 0;
    // The latest offer of the start an F of version 3 names, of that very file; null if none.
    const offer* offer_of(const upload_frame& frame) const;
    // F of version 3 from a start above 0, a partial file's (offered: its offer, or null): false
    // when the file failed.
    bool resume_file(const upload_frame& frame, const offer* offered);
    // The last folder asked about that holds no partial file: no upload breaks within a run, so it
    // gets none while this one lasts.
    bool clean_folder_known_ = false;
    dev_t clean_folder_device_ = 0;
    ino_t clean_folder_inode_ = 0;
    std::unique_ptr<unsigned char[]> held_buffer_;  // HELD_READ_SIZE bytes, for reading held files
    file_hasher hasher_;                            // of the file in progress, from its first byte

    // The folders of a tree entered and not yet left, outermost first. Each one's path is the
    // start of the next one's, so the path of the innermost holds them all: the stack is bounded
    // by the length of one path.
    struct folder_entered {
        std::size_t path_length = 0;  // of its path, in folders_path_
        bool made = false;            // by this upload: only those get the mode and time sent
        dev_t device = 0;
        ino_t inode = 0;
        mode_and_time attributes;
    };
    std::vector<folder_entered> folders_;
    std::string folders_path_;  // the innermost's, beneath the folder

    file_state file_ = file_state::none;
    std::uint64_t file_sequence_ = 0;
    std::uint64_t file_size_ = 0;
    std::uint64_t file_received_ = 0;
    std::string file_name_;  // as sent, at most MAX_UPLOAD_NAME bytes
    mode_and_time file_attributes_;
    std::uint64_t file_start_ = 0;  // the bytes kept of a partial file, or the whole identical file's
    bool file_identical_ = false;   // nothing is written: the file there stays
    file_hash file_offered_hash_;   // of an identical file

    unsigned saved_ = 0;
    std::uint64_t saved_bytes_ = 0;
    summary_list renamed_;
    summary_list not_saved_;
    summary_list without_mode_;       // saved, but their mode and time could not be set
    std::string dropped_name_;        // the file in progress when the run ended
    std::uint64_t dropped_kept_ = 0;  // bytes of it kept as a partial file
    unsigned resumed_ = 0;
    std::uint64_t resumed_at_ = 0;  // the last one's start
    unsigned skipped_identical_ = 0;
    unsigned replaced_ = 0;
    unsigned failed_check_ = 0;
};

}  // namespace pushfile::pull
