#include "receiver/relay/line_queue.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using pushfile::receive::line_queue;

}  // namespace

TEST(line_queue, keeps_lines_whole_and_in_order_within_its_room_round_after_round) {
    // Room for three one-byte lines. Each round fills it, then takes two: the ring of lines wraps.
    constexpr std::size_t ROOM = 3 * (line_queue::LINE_OVERHEAD + 1);
    line_queue queue(ROOM);
    std::string taken;
    char next = 'a';
    for (int round = 0; round < 4; ++round) {
        while (queue.push(static_cast<std::uint64_t>(next), std::string(1, next))) ++next;
        for (int i = 0; i < 2; ++i) {
            ASSERT_FALSE(queue.empty());
            EXPECT_EQ(queue.front().due, static_cast<std::uint64_t>(queue.front().text[0]));
            taken += queue.front().text;
            queue.pop();
        }
    }
    EXPECT_EQ(taken, "abcdefgh");
    for (; !queue.empty(); queue.pop()) taken += queue.front().text;
    EXPECT_EQ(taken, "abcdefghi");
    // The whole room holds one line, and not a byte more.
    EXPECT_FALSE(queue.push(0, std::string(ROOM - line_queue::LINE_OVERHEAD + 1, 'x')));
    EXPECT_TRUE(queue.push(0, std::string(ROOM - line_queue::LINE_OVERHEAD, 'x')));
}
