#include "receiver/relay/line_queue.h"

namespace pushfile::receive {

line_queue::line_queue(std::size_t capacity)
    : capacity_(capacity),
      texts_(capacity),
      entry_capacity_(capacity / (LINE_OVERHEAD + 1)),
      entries_(std::make_unique<entry[]>(entry_capacity_)) {}

bool line_queue::push(std::uint64_t due, std::string_view text) {
    if (text.empty()) return true;
    if (free_space() < LINE_OVERHEAD + text.size()) return false;
    // The room bounds the count: a line takes at least LINE_OVERHEAD + 1.
    entries_[(first_ + count_) % entry_capacity_] = {due, text.size()};
    ++count_;
    used_ += LINE_OVERHEAD + text.size();
    texts_.append(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return true;
}

line_queue::line line_queue::front() const {
    const entry& oldest = entries_[first_];
    return {oldest.due, {reinterpret_cast<const char*>(texts_.data()), oldest.length}};
}

void line_queue::pop() {
    const entry& oldest = entries_[first_];
    texts_.consume(oldest.length);
    used_ -= LINE_OVERHEAD + oldest.length;
    first_ = (first_ + 1) % entry_capacity_;
    --count_;
}

}  // namespace pushfile::receive
