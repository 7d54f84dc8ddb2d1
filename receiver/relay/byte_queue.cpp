#include "receiver/relay/byte_queue.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pushfile::receive {

byte_buffer::byte_buffer(std::size_t capacity)
    : bytes_(std::make_unique_for_overwrite<unsigned char[]>(capacity)), capacity_(capacity) {}

std::size_t byte_buffer::append(const unsigned char* bytes, std::size_t length) {
    if (capacity_ - end_ < length && start_ > 0) {
        std::memmove(bytes_.get(), bytes_.get() + start_, size());
        end_ -= start_;
        start_ = 0;
    }
    const std::size_t taken = std::min(length, capacity_ - end_);
    if (taken > 0) std::memcpy(bytes_.get() + end_, bytes, taken);
    end_ += taken;
    return taken;
}

void byte_buffer::keep_first(std::size_t length) {
    end_ = start_ + std::min(length, size());
    if (start_ == end_) start_ = end_ = 0;
}

void byte_buffer::consume(std::size_t length) {
    start_ += std::min(length, size());
    if (start_ == end_) start_ = end_ = 0;
}

void command_input_queue::append(const unsigned char* bytes, std::size_t length) {
    if (length == 0 || buffer_.free_space() < length) return;
    buffer_.append(bytes, length);
    appended_ += length;
    if (end_count_ == MAX_TRACKED_APPENDS) {
        append_ends_[(first_end_ + end_count_ - 1) % MAX_TRACKED_APPENDS] = appended_;
    } else {
        append_ends_[(first_end_ + end_count_++) % MAX_TRACKED_APPENDS] = appended_;
    }
}

void command_input_queue::consumed(std::size_t length) {
    buffer_.consume(length);
    written_ += length;
    while (end_count_ > 0 && append_ends_[first_end_] <= written_) {
        last_whole_end_ = append_ends_[first_end_];
        first_end_ = (first_end_ + 1) % MAX_TRACKED_APPENDS;
        --end_count_;
    }
}

void command_input_queue::discard_queued() {
    const bool inside_an_append = written_ != last_whole_end_ && end_count_ > 0;
    const std::size_t keep = inside_an_append ? static_cast<std::size_t>(append_ends_[first_end_] - written_) : 0;
    buffer_.keep_first(keep);
    appended_ = written_ + keep;
    end_count_ = keep > 0 ? 1 : 0;
    if (keep == 0) last_whole_end_ = written_;
}

write_outcome command_input_queue::write_to(int fd) {
    if (buffer_.empty()) return write_outcome::done;
    const ssize_t written = write(fd, buffer_.data(), buffer_.size());
    if (written > 0) {
        consumed(static_cast<std::size_t>(written));
        return buffer_.empty() ? write_outcome::done : write_outcome::partial;
    }
    if (written < 0 && (errno == EAGAIN || errno == EINTR)) return write_outcome::partial;
    consumed(buffer_.size());
    return write_outcome::failed;
}

}  // namespace pushfile::receive
