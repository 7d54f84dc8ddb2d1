#include "receiver/session/upload_pacer.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <deque>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

namespace {

using namespace pushfile;
using namespace pushfile::receive;

struct typed_bytes final : input_sink {
    void append(const unsigned char*, std::size_t length) override { size += length; }
    void discard_queued() override {}
    void drop_all() override {}
    std::size_t size = 0;
};

// Makes empty files, or folder ends without end, or one file's data frames without end.
struct maker final : upload_pacer::frame_maker, upload_pacer::acknowledgement_events {
    explicit maker(upload_pacer& frames) : pacer(frames) {}
    bool make_frame() override {
        char* frame = pacer.frame_buffer();
        const std::uint64_t sequence = pacer.next_sequence();
        if (folders) {
            pacer.prepared(frame_type::folder_end, format_empty_frame(frame_type::folder_end, sequence, frame));
            return true;
        }
        if (data && pacer.current_file() != nullptr) {
            if (!pacer.may_send_data()) return false;
            pacer.prepared(frame_type::data, MAX_FRAME_LENGTH, UPLOAD_BLOCK_SIZE);
        } else if (pacer.current_file() != nullptr) {
            pacer.prepared(frame_type::file_end, format_empty_frame(frame_type::file_end, sequence, frame), 0, true);
        } else if (pacer.may_announce_file()) {
            pacer.add_file("f", 0, false);
            pacer.prepared(frame_type::file, format_empty_frame(frame_type::file, sequence, frame));
        } else {
            return false;
        }
        return true;
    }
    void data_acknowledged(upload_file&, monotonic_clock::time_point) override {}
    void file_end_acknowledged(upload_file&, monotonic_clock::time_point) override { ++saved; }
    upload_pacer& pacer;
    bool folders = true;
    bool data = false;
    int saved = 0;
};

constexpr std::size_t ROOM = std::size_t{1} << 20;

// The room and the window are held to by the session's and the end-to-end tests; the rings only
// fill with more files in flight than those have.
TEST(upload_pacer_test, frames_and_files_in_flight_stay_within_their_rings) {
    typed_bytes input;
    upload_pacer pacer(input);
    maker frames(pacer);
    pacer.restart();
    // Frames that wait for nothing stop at the ring of frames in flight.
    pacer.type_frames(ROOM, frames);
    EXPECT_EQ(pacer.sequence(), MAX_FRAMES_IN_FLIGHT);
    EXPECT_EQ(pacer.unacknowledged_bytes(), input.size);

    // Empty files: no more than the ring of files until the oldest are acknowledged.
    pacer.restart();
    frames.folders = false;
    pacer.type_frames(ROOM, frames);
    EXPECT_EQ(pacer.sequence(), 2 * MAX_FILES_IN_FLIGHT);
    pacer.acknowledged(3, monotonic_clock::now(), frames);
    EXPECT_EQ(frames.saved, 1);
    pacer.type_frames(ROOM, frames);
    EXPECT_EQ(pacer.sequence(), 2 * MAX_FILES_IN_FLIGHT + 2) << "one file was done with";
}

// A link of a rate and a round trip is kept busy from the fourth round trip on (the window
// triples each round trip from two frames), and the frames do not then pile up on the way (in an
// sshd, where they cost its CPU) beyond a few of its round trips or a few frames.
TEST(upload_pacer_test, bytes_in_flight_keep_the_link_busy_and_no_more) {
    using std::chrono::duration, std::chrono::milliseconds;
    for (const auto& [rate, round_trip, run] : {std::tuple{30e6, milliseconds(1), milliseconds(1000)},
                                                std::tuple{20e6, milliseconds(150), milliseconds(3000)}}) {
        typed_bytes input;
        upload_pacer pacer(input);
        maker frames(pacer);
        frames.folders = false;
        frames.data = true;
        pacer.restart();
        const monotonic_clock::time_point start = monotonic_clock::now(), busy_from = start + 4 * round_trip;
        const auto sending =
            std::chrono::duration_cast<monotonic_clock::duration>(duration<double>(MAX_FRAME_LENGTH / rate));
        std::deque<std::pair<std::uint64_t, monotonic_clock::time_point>> acknowledgements;  // sequence, when
        monotonic_clock::time_point link_free = start;
        double idle_seconds = 0, most_in_flight = 0;
        for (monotonic_clock::time_point now = start; now < start + run; now += std::chrono::microseconds(50)) {
            for (; !acknowledgements.empty() && acknowledgements.front().second <= now; acknowledgements.pop_front())
                pacer.acknowledged(acknowledgements.front().first, now, frames);
            const std::uint64_t typed_before = pacer.sequence();
            pacer.type_frames(ROOM, frames, now);
            for (std::uint64_t sequence = typed_before + 1; sequence <= pacer.sequence(); ++sequence) {
                if (now > std::max(link_free, busy_from))
                    idle_seconds += duration<double>(now - std::max(link_free, busy_from)).count();
                link_free = std::max(link_free, now) + sending;
                acknowledgements.emplace_back(sequence, link_free + round_trip);
            }
            if (now >= start + run / 2)
                most_in_flight = std::max(most_in_flight, static_cast<double>(pacer.bytes_in_flight()));
        }
        // A frame's round trip takes its sending too.
        const double round_trip_bytes = rate * duration<double>(round_trip + sending).count();
        EXPECT_LE(idle_seconds, 0.01 * duration<double>(run).count()) << rate;
        EXPECT_LE(
            most_in_flight,
            std::max<double>(MIN_BYTES_IN_FLIGHT, 2.0 * ROUND_TRIPS_IN_FLIGHT * round_trip_bytes) + MAX_FRAME_LENGTH)
            << rate;
    }
}

}  // namespace
