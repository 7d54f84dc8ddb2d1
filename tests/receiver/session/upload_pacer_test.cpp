#include "receiver/session/upload_pacer.h"

#include <cstddef>
#include <string>

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

}  // namespace
