#include "receiver/session/upload_pacer.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace pushfile::receive {
namespace {

// The rate is taken over a round trip at least, and never over less than this: at a few frames
// per millisecond, shorter spans would mostly measure when the acknowledgements happened to come.
constexpr auto SHORTEST_RATE_SPAN = std::chrono::milliseconds(10);
// The link is taken as full once the rate grew by less than a quarter over this many spans.
constexpr double RATE_GROWTH = 1.25;
constexpr int SPANS_WITHOUT_GROWTH = 3;

}  // namespace

void upload_pacer::restart() {
    if (!frame_) frame_ = std::make_unique_for_overwrite<char[]>(MAX_FRAME_LENGTH);
    pending_length_ = 0;
    sequence_ = acked_ = typed_ = 0;
    first_frame_ = frame_count_ = 0;
    first_file_ = file_count_ = 0;
    have_current_ = false;
    data_in_flight_ = bytes_acknowledged_ = 0;
    window_.restart();
    acknowledged_end_ = bytes_in_flight_limit_ = 0;
    shortest_round_trip_ = monotonic_clock::duration::max();
    rate_started_ = link_full_ = false;
    rate_count_ = 0;
    growth_mark_ = 0;
    spans_without_growth_ = 0;
}

void upload_pacer::prepared(frame_type type, std::size_t length, std::size_t data_length, bool ends_file) {
    pending_type_ = type;
    pending_length_ = length;
    pending_data_length_ = data_length;
    pending_ends_file_ = ends_file;
}

void upload_pacer::type_frames(std::size_t free, frame_maker& maker, monotonic_clock::time_point now) {
    typed_this_turn_ = 0;
    while (frame_count_ < MAX_FRAMES_IN_FLIGHT && (pending_length_ > 0 || maker.make_frame()) &&
           pending_length_ <= free) {
        free -= pending_length_;
        type_prepared_frame(now);
    }
    last_free_ = free;
}

void upload_pacer::type_prepared_frame(monotonic_clock::time_point now) {
    command_input_.append(reinterpret_cast<const unsigned char*>(frame_.get()), pending_length_);
    ++sequence_;
    ++typed_this_turn_;
    typed_ += pending_length_;
    last_typed_ = pending_type_;
    pending_length_ = 0;
    const bool of_a_file = pending_type_ == frame_type::file || pending_type_ == frame_type::data ||
                           pending_type_ == frame_type::file_end || pending_type_ == frame_type::given_up;
    frames_[(first_frame_ + frame_count_++) % MAX_FRAMES_IN_FLIGHT] = {
        sequence_, pending_type_, pending_data_length_, typed_, of_a_file ? current_ : 0, now};
    if (pending_type_ == frame_type::data) ++data_in_flight_;
    if (of_a_file) slot(current_).last_sequence = sequence_;
    if (pending_ends_file_) close_current_file();
}

bool upload_pacer::may_announce_file() {
    forget_done_files();
    return file_count_ < MAX_FILES_IN_FLIGHT;
}

upload_file& upload_pacer::add_file(std::string name, std::uint64_t size, bool in_folder) {
    current_ = first_file_ + file_count_++;
    have_current_ = true;
    upload_file& file = slot(current_);
    file.file_sequence = file.last_sequence = sequence_ + 1;
    file.name = std::move(name);
    file.size = size;
    file.start = file.acknowledged = 0;
    file.in_folder = in_folder;
    file.closed = file.failed = false;
    return file;
}

void upload_pacer::close_current_file() {
    if (have_current_) slot(current_).closed = true;
    have_current_ = false;
}

upload_file* upload_pacer::find_file(std::uint64_t file_sequence, bool* current) {
    for (std::size_t index = first_file_; index < first_file_ + file_count_; ++index) {
        if (slot(index).file_sequence != file_sequence) continue;
        *current = have_current_ && current_ == index;
        return &slot(index);
    }
    return nullptr;
}

bool upload_pacer::may_send_data() const {
    return data_in_flight_ < std::max<std::uint64_t>(window_.blocks(), 1) &&
           (bytes_in_flight_limit_ == 0 || bytes_in_flight() < bytes_in_flight_limit_);
}

void upload_pacer::acknowledged(std::uint64_t sequence, monotonic_clock::time_point now,
                                acknowledgement_events& events) {
    if (sequence <= acked_ || sequence > sequence_) return;
    acked_ = sequence;
    while (frame_count_ > 0 && frames_[first_frame_].sequence <= sequence) {
        const frame_record record = frames_[first_frame_];
        first_frame_ = (first_frame_ + 1) % MAX_FRAMES_IN_FLIGHT;
        --frame_count_;
        limit_bytes_in_flight(record, now);
        if (record.type == frame_type::data) {
            --data_in_flight_;
            bytes_acknowledged_ += record.data_length;
            // The window grows with the blocks acknowledged and follows the rate they come at.
            window_.block_arrived(record.data_length, bytes_acknowledged_, now);
            upload_file& file = slot(record.file);
            file.acknowledged += record.data_length;
            events.data_acknowledged(file, now);
        } else if (record.type == frame_type::file_end) {
            events.file_end_acknowledged(slot(record.file), now);
        }
    }
    forget_done_files();
}

// The limit is a few round trips at the best rate of the last few spans of a round trip or more.
// It starts once the link is full, when frames begin to wait on the way or the rate stops
// growing: until then the window alone holds the frames back while it triples each round trip,
// which a limit from the start slowed down (20 MB over a link of 150 ms took 0.17 s longer).
void upload_pacer::limit_bytes_in_flight(const frame_record& acknowledged, monotonic_clock::time_point now) {
    acknowledged_end_ = acknowledged.end;
    // A time from before the frame was typed is from some other clock: it tells nothing.
    if (now < acknowledged.typed_at) return;
    const auto round_trip = now - acknowledged.typed_at;
    shortest_round_trip_ = std::min(shortest_round_trip_, round_trip);
    // Frames that wait on the way as long again as the shortest round trip: the link is full.
    if (rate_started_ && round_trip > 2 * shortest_round_trip_) link_full_ = true;
    if (!rate_started_) {
        // From the first data on: before it, pullfile may have waited for the user at the prompt.
        if (acknowledged.type != frame_type::data) return;
        rate_started_ = true;
        rate_from_ = now;
        rate_from_end_ = acknowledged.end;
        return;
    }
    const auto span = now - rate_from_;
    if (span < std::max<monotonic_clock::duration>(shortest_round_trip_, SHORTEST_RATE_SPAN)) return;
    const double rate =
        static_cast<double>(acknowledged.end - rate_from_end_) / std::chrono::duration<double>(span).count();
    rate_from_ = now;
    rate_from_end_ = acknowledged.end;
    rates_[rate_count_++ % rates_.size()] = rate;
    if (!link_full_) {
        if (rate >= growth_mark_ * RATE_GROWTH) {
            growth_mark_ = rate;
            spans_without_growth_ = 0;
        } else if (++spans_without_growth_ == SPANS_WITHOUT_GROWTH) {
            link_full_ = true;
        }
        if (!link_full_) return;
    }
    const double best_rate = *std::max_element(rates_.begin(), rates_.begin() + std::min(rate_count_, rates_.size()));
    const double shortest = std::chrono::duration<double>(shortest_round_trip_).count();
    const auto limit = static_cast<std::uint64_t>(static_cast<double>(ROUND_TRIPS_IN_FLIGHT) * best_rate * shortest);
    bytes_in_flight_limit_ = std::max(limit, MIN_BYTES_IN_FLIGHT);
}

// Files go in order, so the oldest are done with first.
void upload_pacer::forget_done_files() {
    while (file_count_ > 0 && slot(first_file_).closed && acked_ >= slot(first_file_).last_sequence) {
        ++first_file_;
        --file_count_;
    }
}

void upload_pacer::drop_unwritten() {
    free_before_drop_ = last_free_;
    command_input_.discard_queued();
    pending_length_ = 0;
}

// Only our frames went into the queue since the drop: the room it gained is what was dropped.
void upload_pacer::take_back_dropped(std::size_t free) {
    typed_ -= std::min<std::uint64_t>(free > free_before_drop_ ? free - free_before_drop_ : 0, typed_);
    // The frames dropped are the newest; pullfile never saw them, and the next frame follows the
    // last one it will see.
    while (frame_count_ > 0) {
        const frame_record& newest = frames_[(first_frame_ + frame_count_ - 1) % MAX_FRAMES_IN_FLIGHT];
        if (newest.end <= typed_) break;
        if (newest.type == frame_type::data) --data_in_flight_;
        sequence_ = newest.sequence - 1;
        --frame_count_;
    }
    while (file_count_ > 0 && slot(first_file_ + file_count_ - 1).file_sequence > sequence_) --file_count_;
    for (std::size_t index = first_file_; index < first_file_ + file_count_; ++index) {
        slot(index).last_sequence = std::min(slot(index).last_sequence, sequence_);
    }
}

std::uint64_t upload_pacer::unacknowledged_bytes() const {
    if (frame_count_ == 0) return 0;
    const frame_record& oldest = frames_[first_frame_];
    return typed_ - oldest.end + std::min<std::uint64_t>(oldest.end, MAX_FRAME_LENGTH);
}

}  // namespace pushfile::receive
