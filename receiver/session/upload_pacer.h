// The frames of an upload in flight: each typed into the command's input whole, and only while
// the queue has room for it, never more data frames unacknowledged than the answer window allows,
// and never more frames or files in flight than the rings below hold. What the frames say is the
// engine's; when and whether they go is decided here, without a terminal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "receiver/program.h"
#include "receiver/relay/handler.h"
#include "transfer/answer_window.h"
#include "transfer/upload_frames.h"

namespace pushfile::receive {

// Files that may be in flight at once, each with its name kept for its outcome line. Small files
// (and files skipped as identical) go at the link's pace only while a round trip's worth of them
// can be in flight: sixteen held a thousand 20 KB files to sixteen a round trip, 3.5 s at 50 ms.
inline constexpr std::size_t MAX_FILES_IN_FLIGHT = UPLOAD_QUERIES_AHEAD;
// Frames in flight: the data frames the window allows, each file's first and last, the queries
// about the files ahead (from version 3 on), and the few frames that belong to no file.
inline constexpr std::size_t MAX_FRAMES_IN_FLIGHT =
    answer_window::MAX_BLOCKS + 2 * MAX_FILES_IN_FLIGHT + UPLOAD_QUERIES_AHEAD + 4;
// Once the link is full, data frames stop while more bytes are in flight than it carries in this
// many of the shortest round trips seen, at the best rate acknowledgements came back at lately
// (and never fewer than MIN_BYTES_IN_FLIGHT). The answer window alone grows towards megabytes on any fast link, a short
// one too, and what the link cannot take at once waits on the way: an sshd holding its session's
// two MiB for a terminal copies that whole buffer again for nearly every packet that comes (50 MB
// over loopback ssh: 1.2 s of its CPU, 0.36 s with a few blocks in flight, and no slower).
inline constexpr std::uint64_t ROUND_TRIPS_IN_FLIGHT = 4;
inline constexpr std::uint64_t MIN_BYTES_IN_FLIGHT = 4 * MAX_FRAME_LENGTH;

// A file announced and not yet done with: its file frame's sequence names it in pullfile's
// messages.
struct upload_file {
    std::uint64_t file_sequence = 0;
    std::uint64_t last_sequence = 0;  // of its newest frame
    std::string name;                 // as sent
    std::uint64_t size = 0;
    std::uint64_t start = 0;         // where its data starts: pullfile held the bytes before
    std::uint64_t acknowledged = 0;  // bytes, start counted
    bool in_folder = false;          // told of in the summary only
    bool closed = false;             // no more frames of it will be typed
    bool failed = false;             // its outcome was told already
};

class upload_pacer {
public:
    // Puts the next frame due with prepared(); false when none is due yet.
    class frame_maker {
    public:
        virtual bool make_frame() = 0;

    protected:
        ~frame_maker() = default;
    };
    // What acknowledgements tell of the files, oldest first.
    class acknowledgement_events {
    public:
        virtual void data_acknowledged(upload_file& file, monotonic_clock::time_point now) = 0;
        virtual void file_end_acknowledged(upload_file& file, monotonic_clock::time_point now) = 0;

    protected:
        ~acknowledgement_events() = default;
    };

    explicit upload_pacer(input_sink& command_input) : command_input_(command_input) {}

    // A new upload: nothing in flight, the window at its start.
    void restart();

    // The next frame is formatted into frame_buffer() with next_sequence(), then handed over here.
    // A frame that ends the current file closes it once typed.
    char* frame_buffer() { return frame_.get(); }
    std::uint64_t next_sequence() const { return sequence_ + 1; }
    void prepared(frame_type type, std::size_t length, std::size_t data_length = 0, bool ends_file = false);
    bool frame_pending() const { return pending_length_ > 0; }
    frame_type pending_type() const { return pending_type_; }
    void drop_pending() { pending_length_ = 0; }

    // Frames from maker go in while they fit in free bytes of the queue and in the rings; now is
    // when they are typed, for the round trips.
    void type_frames(std::size_t free, frame_maker& maker, monotonic_clock::time_point now = monotonic_clock::now());
    // Frames typed so far by the type_frames() call under way (or the last one).
    std::size_t frames_typed_this_turn() const { return typed_this_turn_; }

    // Whether a next file may be announced: its slot is free once the oldest are done with.
    bool may_announce_file();
    // The file announced by the next frame; it is the current file until a frame ends it.
    upload_file& add_file(std::string name, std::uint64_t size, bool in_folder);
    upload_file* current_file() { return have_current_ ? &slot(current_) : nullptr; }
    // No more of the current file is typed.
    void close_current_file();
    // The file in flight that frame named, or null; current says whether it is the current one.
    upload_file* find_file(std::uint64_t file_sequence, bool* current);
    // Whether another data frame is within the window and the bytes in flight.
    bool may_send_data() const;

    // pullfile handled every frame up to sequence; acknowledgements are cumulative.
    void acknowledged(std::uint64_t sequence, monotonic_clock::time_point now, acknowledgement_events& events);

    // Ctrl-C: what is queued and not written yet is dropped, but for the rest of a frame partly
    // written. How much was dropped shows in the room the queue has at the next call: those frames
    // are taken back, so that the next one follows the last pullfile will see.
    void drop_unwritten();
    void take_back_dropped(std::size_t free);

    std::uint64_t sequence() const { return sequence_; }  // of the last frame typed
    std::uint64_t last_acknowledged() const { return acked_; }
    frame_type last_typed() const { return last_typed_; }
    bool frames_in_flight() const { return frame_count_ > 0; }
    // Bytes typed from the start of the oldest frame not acknowledged on (of that frame, at most a
    // whole one).
    std::uint64_t unacknowledged_bytes() const;
    // Bytes typed after the last frame acknowledged.
    std::uint64_t bytes_in_flight() const { return typed_ > acknowledged_end_ ? typed_ - acknowledged_end_ : 0; }

private:
    // A frame typed and not yet acknowledged.
    struct frame_record {
        std::uint64_t sequence = 0;
        frame_type type = frame_type::nothing;
        std::size_t data_length = 0;  // D: the file bytes it carries
        std::uint64_t end = 0;        // where it ends among all bytes typed in this upload
        std::size_t file = 0;         // D, E, X: its file's slot
        monotonic_clock::time_point typed_at{};
    };

    upload_file& slot(std::size_t index) { return files_[index % MAX_FILES_IN_FLIGHT]; }
    void type_prepared_frame(monotonic_clock::time_point now);
    void forget_done_files();
    void limit_bytes_in_flight(const frame_record& acknowledged, monotonic_clock::time_point now);

    input_sink& command_input_;
    std::unique_ptr<char[]> frame_;
    // The frame buffer holds a frame not typed yet while pending_length_ is not 0.
    std::size_t pending_length_ = 0;
    std::size_t pending_data_length_ = 0;
    frame_type pending_type_ = frame_type::nothing;
    bool pending_ends_file_ = false;
    frame_type last_typed_ = frame_type::nothing;

    std::uint64_t sequence_ = 0;
    std::uint64_t acked_ = 0;
    std::uint64_t typed_ = 0;  // bytes typed in this upload
    std::size_t last_free_ = 0;  // the input queue's room after our last append
    std::size_t typed_this_turn_ = 0;
    std::size_t free_before_drop_ = 0;

    std::array<frame_record, MAX_FRAMES_IN_FLIGHT> frames_{};
    std::size_t first_frame_ = 0;
    std::size_t frame_count_ = 0;
    std::uint64_t data_in_flight_ = 0;  // D frames typed, not acknowledged
    answer_window window_;
    std::uint64_t bytes_acknowledged_ = 0;
    // Where the last frame acknowledged ends among the bytes typed, and the limit on the bytes
    // typed after it.
    std::uint64_t acknowledged_end_ = 0;
    std::uint64_t bytes_in_flight_limit_ = 0;  // 0: none yet
    monotonic_clock::duration shortest_round_trip_ = monotonic_clock::duration::max();
    // The rate is measured from here to the next acknowledgement at least a round trip later.
    bool rate_started_ = false;
    monotonic_clock::time_point rate_from_{};
    std::uint64_t rate_from_end_ = 0;
    // The rates of the last spans, bytes a second; the best rate before the last growth, and the
    // spans since.
    std::array<double, 8> rates_{};
    std::size_t rate_count_ = 0;
    double growth_mark_ = 0;
    int spans_without_growth_ = 0;
    bool link_full_ = false;

    std::array<upload_file, MAX_FILES_IN_FLIGHT> files_{};
    std::size_t first_file_ = 0;  // slots count up; files_[n % MAX_FILES_IN_FLIGHT]
    std::size_t file_count_ = 0;
    std::size_t current_ = 0;
    bool have_current_ = false;
};

}  // namespace pushfile::receive
