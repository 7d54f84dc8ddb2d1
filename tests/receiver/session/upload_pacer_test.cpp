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
        ++appends;
    }
    void discard_queued() override {}
    void drop_all() override {}
    std::string text;
    std::size_t appends = 0;
};

// Makes files of blocks of data, or, without files, folders without end.
struct maker final : upload_pacer::frame_maker, upload_pacer::acknowledgement_events {
    explicit maker(upload_pacer& frames) : pacer(frames) {}
    bool make_frame() override {
        char* frame = pacer.frame_buffer();
        const std::uint64_t sequence = pacer.next_sequence();
        if (folders) {
            pacer.prepared(frame_type::folder_end, format_empty_frame(frame_type::folder_end, sequence, frame));
            return true;
        }
        if (pacer.current_file() == nullptr) {
            if (!pacer.may_announce_file()) return false;
            pacer.add_file("f", blocks_per_file, false);
            sent = 0;
            pacer.prepared(frame_type::file, format_empty_frame(frame_type::file, sequence, frame));
        } else if (sent == blocks_per_file) {
            pacer.prepared(frame_type::file_end, format_empty_frame(frame_type::file_end, sequence, frame), 0, true);
        } else if (pacer.may_send_data()) {
            const unsigned char byte = 'd';
            pacer.prepared(frame_type::data, format_data_frame(sequence, &byte, 1, frame), 1);
            ++sent;
        } else {
            return false;
        }
        return true;
    }
    void data_acknowledged(upload_file& file, monotonic_clock::time_point) override { acked_bytes = file.acknowledged; }
    void file_end_acknowledged(upload_file&, monotonic_clock::time_point) override { ++saved; }
    upload_pacer& pacer;
    bool folders = true;
    std::uint64_t blocks_per_file = 0;
    std::uint64_t sent = 0;
    std::uint64_t acked_bytes = 0;
    int saved = 0;
};

constexpr std::size_t ROOM = std::size_t{1} << 20;

TEST(upload_pacer_test, frames_go_whole_within_the_room_the_window_and_the_rings) {
    typed_bytes input;
    upload_pacer pacer(input);
    maker frames(pacer);
    pacer.restart();
    // Frames that wait for nothing stop at the ring of frames in flight.
    pacer.type_frames(ROOM, frames);
    EXPECT_EQ(pacer.sequence(), MAX_FRAMES_IN_FLIGHT);
    EXPECT_EQ(pacer.unacknowledged_bytes(), input.text.size());

    pacer.restart();
    frames.folders = false;
    frames.blocks_per_file = 1000;
    pacer.type_frames(ROOM, frames);
    answer_window opened;
    opened.restart();
    const std::uint64_t window = opened.blocks();
    EXPECT_EQ(pacer.sequence(), 1 + window) << "the file frame, then the window's data frames";
    // A frame that does not fit the room waits whole.
    const std::size_t appends = input.appends;
    pacer.acknowledged(pacer.sequence(), monotonic_clock::now(), frames);
    EXPECT_EQ(frames.acked_bytes, window);
    pacer.type_frames(3, frames);
    EXPECT_EQ(input.appends, appends);
    EXPECT_TRUE(pacer.frame_pending());

    // Empty files: no more than the ring of files until the oldest are acknowledged.
    pacer.restart();
    frames.blocks_per_file = 0;
    pacer.type_frames(ROOM, frames);
    EXPECT_EQ(pacer.sequence(), 2 * MAX_FILES_IN_FLIGHT);
    pacer.acknowledged(3, monotonic_clock::now(), frames);
    EXPECT_EQ(frames.saved, 1);
    pacer.type_frames(ROOM, frames);
    EXPECT_EQ(pacer.sequence(), 2 * MAX_FILES_IN_FLIGHT + 2) << "one file was done with";
}

}  // namespace
