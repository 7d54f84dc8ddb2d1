// How many blocks of a file may be answered before they arrive, so that a long link is not idle
// for a round trip per block. Pure: it is told what arrived and when, and reads no clock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/clock.h"
#include "common/protocol.h"

namespace pushfile {

class answer_window {
public:
    // The window never covers more than this many bytes, nor more blocks than this.
    static constexpr std::uint64_t MAX_BYTES_AHEAD = std::uint64_t{4} << 20;
    static constexpr std::uint64_t MAX_BLOCKS = MAX_BYTES_AHEAD / BLOCK_SIZE;

    // A file's blocks begin: none came yet.
    void restart();
    // A block of block_length bytes arrived at now; received counts the file's bytes so far, this
    // block's included.
    void block_arrived(std::size_t block_length, std::uint64_t received, monotonic_clock::time_point now);
    // How many answers may be owed ahead of blocks when bytes_left (more than zero) are still to
    // come. Never the block that may complete the file: its answer says the file is stored.
    std::uint64_t answers_allowed(std::uint64_t bytes_left) const;
    // The window itself, in blocks: for a side that sends blocks, how many may be unacknowledged.
    // At least 1 once restarted.
    std::uint64_t blocks() const { return blocks_; }

private:
    std::uint64_t blocks_ = 0;
    // When the file's data began to flow (its first block), and how much that block brought.
    monotonic_clock::time_point flow_started_at_{};
    std::uint64_t bytes_before_flow_ = 0;
};

}  // namespace pushfile
