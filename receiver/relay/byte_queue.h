// Bounded byte queues between the stream handler and the descriptors the relay writes to. None of
// them grows: what does not fit is dropped by a rule each queue states.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "receiver/relay/handler.h"

namespace pushfile::receive {

// A fixed-capacity byte buffer; room is made by moving the unread bytes to the front.
class byte_buffer {
public:
    explicit byte_buffer(std::size_t capacity);

    std::size_t size() const { return end_ - start_; }
    bool empty() const { return end_ == start_; }
    std::size_t free_space() const { return capacity_ - size(); }
    const unsigned char* data() const { return bytes_.get() + start_; }

    // Appends as much as fits; returns how much that was.
    std::size_t append(const unsigned char* bytes, std::size_t length);
    void consume(std::size_t length);
    // Drops all but the first length bytes.
    void keep_first(std::size_t length);

private:
    std::unique_ptr<unsigned char[]> bytes_;
    std::size_t capacity_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

// What one write of a queue did.
enum class write_outcome {
    done,     // everything queued was written
    partial,  // some or none was taken; the descriptor is full for now
    failed,   // the descriptor failed (the command's side is gone): what was queued is dropped
};

// Room kept in the command's input queue for the handler's answers while keystrokes fill it.
inline constexpr std::size_t ANSWER_RESERVE = 4096;
inline constexpr std::size_t COMMAND_INPUT_CAPACITY = 2 * COMMAND_READ_SIZE + ANSWER_RESERVE;

// The command's keyboard: keystrokes and the handler's answers, in order. An append is kept
// whole or dropped whole: half an answer would reach a sender as a broken reply. Answers pile up
// only when the command does not read them (output that merely looks like a transfer, a file
// being shown), so dropping them is right, and waiting would stall the relay for good.
class command_input_queue final : public input_sink {
public:
    // With the room the relay needs: a read of keystrokes and ANSWER_RESERVE more.
    command_input_queue() : command_input_queue(COMMAND_INPUT_CAPACITY) {}
    explicit command_input_queue(std::size_t capacity) : buffer_(capacity) {}

    void append(const unsigned char* bytes, std::size_t length) override;
    // Drops what is queued, except the rest of an append already partly written.
    void discard_queued() override;
    // Drops everything, the rest of a partly written append too.
    void drop_all() override { consumed(buffer_.size()); }

    bool empty() const { return buffer_.empty(); }
    std::size_t free_space() const { return buffer_.free_space(); }
    // One write of everything queued, so that an answer goes out in one piece whenever the
    // descriptor has room for it.
    write_outcome write_to(int fd);

private:
    void consumed(std::size_t length);

    // The ends of the queued appends, oldest first, as counts of bytes ever appended; when the
    // list is full the newest two appends count as one, which only ever keeps more on discard.
    static constexpr std::size_t MAX_TRACKED_APPENDS = 64;

    byte_buffer buffer_;
    std::uint64_t appended_ = 0;
    std::uint64_t written_ = 0;
    // The end of the last append written completely: the head is inside an append when the
    // written count has passed it.
    std::uint64_t last_whole_end_ = 0;
    std::uint64_t append_ends_[MAX_TRACKED_APPENDS]{};
    std::size_t first_end_ = 0;
    std::size_t end_count_ = 0;
};

}  // namespace pushfile::receive
