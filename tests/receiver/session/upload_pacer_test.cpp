#include "receiver/session/upload_pacer.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace {

using namespace pushfile;
using namespace pushfile::receive;

struct typed_bytes final : input_sink {
    void append(const unsigned char* bytes, std::size_t length) override {
        text.append(reinterpret_cast<const char*>(bytes), length);
    }
    void discard_queued() override {}
    void drop_all() override {}
    std::string text;
};

// Makes empty files, or folder ends without end.
struct maker final : upload_pacer::frame_maker, upload_pacer::acknowledgement_events {
    explicit maker(upload_pacer& frames) : pacer(frames) {}
    bool make_frame() override {
        char* frame = pacer.frame_buffer();
        const std::uint64_t sequence = pacer.next_sequence();
        if (folders) {
            pacer.prepared(frame_type::folder_end, format_empty_frame(frame_type::folder_end, sequence, frame));
            return true;
        }
        if (pacer.current_file() != nullptr) {
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
    EXPECT_EQ(pacer.unacknowledged_bytes(), input.text.size());

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

// The frames of one big file, typed into a link that takes rate bytes a second and acknowledges
// each frame a round trip after it went through.
struct link_model final : input_sink, upload_pacer::frame_maker, upload_pacer::acknowledgement_events {
    void append(const unsigned char*, std::size_t length) override { typed.push_back(length); }
    void discard_queued() override {}
    void drop_all() override {}
    bool make_frame() override {
        if (pacer->current_file() == nullptr) {
            pacer->add_file("f", std::uint64_t{1} << 40, false);
            pacer->prepared(frame_type::file, 100);
        } else if (pacer->may_send_data()) {
            pacer->prepared(frame_type::data, MAX_FRAME_LENGTH, UPLOAD_BLOCK_SIZE);
        } else {
            return false;
        }
        return true;
    }
    void data_acknowledged(upload_file&, monotonic_clock::time_point) override {}
    void file_end_acknowledged(upload_file&, monotonic_clock::time_point) override {}
    upload_pacer* pacer = nullptr;
    std::deque<std::size_t> typed;
};

// Whatever the link, the frames keep it busy from the fourth round trip on (the window triples
// each round trip from two frames); and once it is busy they do not pile up on the way (in an
// sshd's buffer, where they cost its CPU) beyond a few of its round trips or a few frames.
TEST(upload_pacer_test, bytes_in_flight_keep_the_link_busy_and_no_more) {
    using std::chrono::duration;
    using std::chrono::microseconds;
    using std::chrono::milliseconds;
    struct link {
        double bytes_per_second;
        milliseconds round_trip;
        milliseconds length;  // of the run
    };
    for (const link row :
         {link{30e6, milliseconds(1), milliseconds(1000)}, link{20e6, milliseconds(150), milliseconds(3000)},
          link{1e6, milliseconds(50), milliseconds(3000)}}) {
        SCOPED_TRACE(testing::Message() << row.bytes_per_second << " B/s, " << row.round_trip.count() << " ms");
        link_model model;
        upload_pacer pacer(model);
        model.pacer = &pacer;
        pacer.restart();
        const monotonic_clock::time_point start = monotonic_clock::now();
        const monotonic_clock::time_point busy_from = start + 4 * row.round_trip;
        // The frames typed and not acknowledged yet, each with when its acknowledgement comes.
        std::deque<std::pair<std::uint64_t, monotonic_clock::time_point>> acknowledgements;
        monotonic_clock::time_point link_free = start;
        double idle_seconds = 0;
        std::uint64_t most_in_flight = 0;
        for (monotonic_clock::time_point now = start; now < start + row.length; now += microseconds(50)) {
            std::uint64_t acknowledged = 0;
            while (!acknowledgements.empty() && acknowledgements.front().second <= now) {
                acknowledged = acknowledgements.front().first;
                acknowledgements.pop_front();
            }
            if (acknowledged != 0) pacer.acknowledged(acknowledged, now, model);
            std::uint64_t sequence = pacer.sequence();
            pacer.type_frames(ROOM, model, now);
            for (; !model.typed.empty(); model.typed.pop_front()) {
                if (now > std::max(link_free, busy_from)) {
                    idle_seconds += duration<double>(now - std::max(link_free, busy_from)).count();
                }
                const duration<double> sending(static_cast<double>(model.typed.front()) / row.bytes_per_second);
                link_free = std::max(link_free, now) + std::chrono::duration_cast<monotonic_clock::duration>(sending);
                acknowledgements.emplace_back(++sequence, link_free + row.round_trip);
            }
            if (now >= start + row.length / 2) most_in_flight = std::max(most_in_flight, pacer.bytes_in_flight());
        }
        EXPECT_LE(idle_seconds, 0.01 * duration<double>(row.length - 4 * row.round_trip).count());
        const double round_trip_bytes = row.bytes_per_second * duration<double>(row.round_trip).count();
        EXPECT_LE(static_cast<double>(most_in_flight),
                  std::max(static_cast<double>(MIN_BYTES_IN_FLIGHT), 2.0 * ROUND_TRIPS_IN_FLIGHT * round_trip_bytes) +
                      MAX_FRAME_LENGTH);
    }
}

}  // namespace
