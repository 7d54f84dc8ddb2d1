#include "transfer/answer_window.h"

#include <chrono>

#include <gtest/gtest.h>

#include "common/protocol.h"

namespace {

using namespace pushfile;
using namespace pushfile;
using std::chrono::milliseconds;

// Full blocks arrive every interval from the start of a file; then the window is asked how many
// answers may be owed with bytes_left still to come.
struct window_case {
    const char* what;
    int blocks;
    milliseconds interval;
    std::uint64_t bytes_left;
    std::uint64_t allowed;
};

TEST(answer_window, allows_what_the_blocks_so_far_and_the_link_rate_earn) {
    constexpr std::uint64_t plenty = std::uint64_t{1000} * BLOCK_SIZE;
    const window_case cases[] = {
        {"opens at two before any block", 0, milliseconds(0), plenty, 2},
        {"grows by two a block while the rate is unsettled", 3, milliseconds(10), plenty, 8},
        {"never owes the block that may complete the file", 3, milliseconds(10), 2 * BLOCK_SIZE, 1},
        {"owes nothing when one block is left", 0, milliseconds(0), BLOCK_SIZE, 0},
        {"a part-block more counts as a block", 0, milliseconds(0), BLOCK_SIZE + 1, 1},
        {"a slow link keeps a second's worth", 2, milliseconds(500), plenty, 2},
        {"however slow, one block stays owed", 2, milliseconds(2000), plenty, 1},
        {"never above 4 MiB ahead", 60, milliseconds(1), plenty, (std::uint64_t{4} << 20) / BLOCK_SIZE},
    };
    for (const window_case& c : cases) {
        answer_window window;
        window.restart();
        const pushfile::monotonic_clock::time_point start{};
        for (int block = 1; block <= c.blocks; ++block) {
            window.block_arrived(BLOCK_SIZE, static_cast<std::uint64_t>(block) * BLOCK_SIZE,
                                 start + (block - 1) * c.interval);
        }
        EXPECT_EQ(window.answers_allowed(c.bytes_left), c.allowed) << c.what;
    }
}

}  // namespace
