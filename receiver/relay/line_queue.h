// A bounded queue of whole lines, oldest first, each with a number its owner gives it (for the
// screen writer: how much output must be written before the line).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "receiver/relay/byte_queue.h"

namespace pushfile::receive {

class line_queue {
public:
    struct line {
        std::uint64_t due;
        std::string_view text;  // valid until the queue next changes
    };
    // Room counts a line as its text and LINE_OVERHEAD more (its entry), which bounds the number
    // of lines as well as their bytes.
    static constexpr std::size_t LINE_OVERHEAD = 16;

    // Room for lines that add up to capacity at most, overheads included. Holds capacity bytes
    // for the texts and an entry for each line of one byte that would fit, from the start.
    explicit line_queue(std::size_t capacity);

    bool empty() const { return count_ == 0; }
    std::size_t free_space() const { return capacity_ - used_; }
    // Queues the line whole, or returns false when it does not fit. An empty line takes no room
    // and is not queued.
    bool push(std::uint64_t due, std::string_view text);
    // The oldest line; the queue must not be empty.
    line front() const;
    void pop();

private:
    struct entry {
        std::uint64_t due;
        std::size_t length;
    };
    static_assert(sizeof(entry) <= LINE_OVERHEAD, "room counted for a line that is less than it takes");

    std::size_t capacity_;
    std::size_t used_ = 0;
    // The texts one after another, in the order of the entries.
    byte_buffer texts_;
    // A ring of entries, with room for as many as the capacity allows.
    std::size_t entry_capacity_;
    std::unique_ptr<entry[]> entries_;
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

}  // namespace pushfile::receive
