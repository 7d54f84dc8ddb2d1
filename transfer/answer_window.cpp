#include "transfer/answer_window.h"

#include <algorithm>
#include <chrono>

#include "common/protocol.h"

namespace pushfile {
namespace {

// The window opens with two blocks and grows by two per block that arrives, which triples it once
// per round trip (measured: at 150 ms a 20 MB file over 20 MB/s moved at 0.75 of the short link's
// rate, against 0.67 when it only doubled), as long as the link keeps up: the bytes it covers stay
// within what the link has been seen to carry in WINDOW_HORIZON, so that a refusal or Ctrl-C takes
// effect soon even on a slow serial line, and never above MAX_BYTES_AHEAD.
constexpr std::uint64_t INITIAL_WINDOW = 2;
constexpr std::uint64_t MIN_WINDOW = 1;
constexpr std::uint64_t WINDOW_GROWTH = 2;
constexpr auto WINDOW_HORIZON = std::chrono::seconds(1);
// Below this the rate seen so far says too little to limit the window.
constexpr auto RATE_SETTLES_AFTER = std::chrono::milliseconds(100);

std::uint64_t blocks_for(std::uint64_t bytes) { return bytes / BLOCK_SIZE + (bytes % BLOCK_SIZE != 0 ? 1 : 0); }

}  // namespace

void answer_window::restart() { blocks_ = INITIAL_WINDOW; }

// The link's rate is measured from the first block on: before it, the link was idle for a round
// trip, waiting for the answer to the size.
void answer_window::block_arrived(std::size_t block_length, std::uint64_t received, monotonic_clock::time_point now) {
    if (received == block_length) {
        flow_started_at_ = now;
        bytes_before_flow_ = received;
    }
    std::uint64_t window = blocks_ + WINDOW_GROWTH;
    const auto elapsed = now - flow_started_at_;
    if (elapsed >= RATE_SETTLES_AFTER) {
        const double seconds = std::chrono::duration<double>(elapsed).count();
        const double bytes_per_horizon = static_cast<double>(received - bytes_before_flow_) / seconds *
                                         std::chrono::duration<double>(WINDOW_HORIZON).count();
        window = std::min(window, std::max(MIN_WINDOW, static_cast<std::uint64_t>(bytes_per_horizon) / BLOCK_SIZE));
    }
    blocks_ = std::min(window, MAX_BLOCKS);
}

// Blocks are at most BLOCK_SIZE bytes, so the bytes left need at least blocks_for(bytes_left) more
// blocks, and all but the last of those cannot complete the file.
std::uint64_t answer_window::answers_allowed(std::uint64_t bytes_left) const {
    return std::min(blocks_, blocks_for(bytes_left) - 1);
}

}  // namespace pushfile
