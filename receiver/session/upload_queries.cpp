#include "receiver/session/upload_queries.h"

#include <algorithm>
#include <utility>

namespace pushfile::receive {

void upload_queries::clear() {
    while (!empty()) pop();
    first_ = asked_ = answered_ = 0;
}

void upload_queries::push(upload_item item) {
    upload_query& query = slot(count_++);
    query = {};
    query.item = std::move(item);
}

upload_item upload_queries::pop() {
    upload_query& query = front();
    upload_item item = std::move(query.item);
    query = {};  // its descriptor, if the item was not taken, closes here
    first_ = (first_ + 1) % ring_.size();
    --count_;
    if (asked_ > 0) --asked_;
    if (answered_ > 0) --answered_;
    return item;
}

upload_query* upload_queries::next_to_ask() {
    for (; asked_ < count_; ++asked_) {
        upload_query& query = slot(asked_);
        if (query.item.what == upload_item::kind::file && query.sequence == 0) return &query;
    }
    return nullptr;
}

bool upload_queries::front_ready() {
    if (empty()) return false;
    const upload_query& query = front();
    return query.item.what != upload_item::kind::file || query.answered;
}

// Answers come in the order of the queries, but one that names no query of ours is pullfile's
// mistake: nothing of it is used.
upload_queries::answer_outcome upload_queries::answer(std::uint64_t query_sequence, std::uint64_t held,
                                                      const file_hash& hash, const upload_query** query_answered) {
    // Past the items answered, and those that are no files, the next query is the one due.
    while (answered_ < count_ && (slot(answered_).answered || slot(answered_).item.what != upload_item::kind::file)) {
        ++answered_;
    }
    for (std::size_t index = answered_; index < count_; ++index) {
        upload_query& query = slot(index);
        if (query.sequence != query_sequence || query_sequence == 0) continue;
        if (query.answered) return answer_outcome::unknown;
        query.answered = true;
        *query_answered = &query;
        if (held > query.item.size) return answer_outcome::beyond_end;
        query.held = held;
        query.hash = hash;
        return answer_outcome::taken;
    }
    return answer_outcome::unknown;
}

bool hash_file_start(const owned_fd& file, std::uint64_t count, std::uint64_t size, unsigned char* block,
                     file_hasher& hasher, std::string* error) {
    for (std::uint64_t done = 0; done < count;) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(UPLOAD_BLOCK_SIZE, count - done));
        if (!read_block(file, block, wanted, done, size, error)) return false;
        hasher.update(block, wanted);
        done += wanted;
    }
    return true;
}

}  // namespace pushfile::receive
