#include "receiver/session/clipboard_channel.h"

#include <algorithm>
#include <array>

#include "common/upload_encoding.h"
#include "transfer/clipboard_replies.h"

namespace pushfile::receive {
namespace {

// An answer's base64 goes out in pieces of at most this many characters (a multiple of 4).
constexpr std::size_t PIECE_CHARACTERS = 16384;
// Ends an answer so that tmux cannot decode it, and drops it.
constexpr unsigned char BROKEN_END[] = {'!', CLIPBOARD_ANSWER_END};

}  // namespace

void clipboard_channel::reset(monotonic_clock::time_point now) {
    abandon();
    if (!token_.empty()) ours_until_ = now + CLIPBOARD_QUERIES_OURS_AFTER;
    carrying_ = answer_open_ = query_pending_ = false;
    token_.clear();
    retype_ = {};
    waiting_ = {};
    frame_ends_ = {};
    answer_ = {};
    answer_written_ = 0;
}

bool clipboard_channel::start(std::size_t chunk, std::string_view token) {
    if (chunk < MIN_CLIPBOARD_CHUNK || chunk > MAX_CLIPBOARD_CHUNK || token.size() != CLIPBOARD_TOKEN_LENGTH) {
        return false;
    }
    // Again while answers go: the next answer carries the new chunk.
    chunk_ = chunk;
    token_.assign(token);
    waiting_.reserve(chunk_);
    answer_.reserve(chunk_);
    carrying_ = true;
    return true;
}

void clipboard_channel::stop() {
    if (!carrying_) return;
    carrying_ = query_pending_ = false;
    // An answer being written is ended broken; the last answer did not arrive whole, and its
    // frames go again, typed, ahead of those waiting: as the command's input has room.
    if (answer_open_) retype_.insert(retype_.end(), BROKEN_END, BROKEN_END + sizeof BROKEN_END);
    answer_open_ = false;
    if (answer_.size() > token_.size()) retype_.insert(retype_.end(), answer_.begin() + static_cast<std::ptrdiff_t>(token_.size()), answer_.end());
    retype_.insert(retype_.end(), waiting_.begin(), waiting_.end());
    answer_.clear();
    waiting_.clear();
    frame_ends_.clear();
}

void clipboard_channel::abandon() {
    if (!answer_open_) return;
    keys_.append(BROKEN_END, sizeof BROKEN_END);
    answer_open_ = false;
}

bool clipboard_channel::take_query(monotonic_clock::time_point now) {
    if (carrying_) {
        if (!query_pending_) query_at_ = now;
        query_pending_ = true;
        return true;
    }
    return !token_.empty() || now < ours_until_;
}

std::size_t clipboard_channel::room(std::size_t keys_free) const {
    if (!carrying_) return retype_.empty() ? keys_free : 0;
    return chunk_ - token_.size() - std::min(waiting_.size(), chunk_ - token_.size());
}

std::size_t clipboard_channel::pump(std::size_t keys_free, monotonic_clock::time_point now) {
    // Frames typed again come first, ahead of any answer: pullfile may ask for answers again at
    // once, and reads what comes in order.
    const std::size_t typed = std::min(keys_free, retype_.size());
    keys_.append(retype_.data(), typed);
    retype_.erase(retype_.begin(), retype_.begin() + static_cast<std::ptrdiff_t>(typed));
    if (!carrying_ || !retype_.empty()) return typed;
    keys_free -= typed;
    const std::size_t free_before = keys_free;
    if (!answer_open_ && query_pending_ && (!waiting_.empty() || now - query_at_ >= CLIPBOARD_QUERY_HOLD) &&
        keys_free > CLIPBOARD_ANSWER_HEAD.size()) {
        begin_answer();
        keys_free -= CLIPBOARD_ANSWER_HEAD.size();
    }
    if (answer_open_) keys_free -= continue_answer(keys_free);
    return typed + free_before - keys_free;
}

void clipboard_channel::begin_answer() {
    std::size_t frames = 0;
    while (frames < frame_ends_.size() && frame_ends_[frames] <= chunk_ - token_.size()) ++frames;
    const std::size_t taken = frames == 0 ? 0 : frame_ends_[frames - 1];
    frame_ends_.erase(frame_ends_.begin(), frame_ends_.begin() + static_cast<std::ptrdiff_t>(frames));
    for (std::size_t& end : frame_ends_) end -= taken;
    answer_.assign(token_.begin(), token_.end());
    answer_.insert(answer_.end(), waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(taken));
    waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(taken));
    answer_written_ = 0;
    answer_open_ = true;
    query_pending_ = false;
    keys_.append(reinterpret_cast<const unsigned char*>(CLIPBOARD_ANSWER_HEAD.data()), CLIPBOARD_ANSWER_HEAD.size());
}

std::size_t clipboard_channel::continue_answer(std::size_t keys_free) {
    std::array<char, PIECE_CHARACTERS> text;  // written before it is read
    std::size_t used = 0;
    while (answer_open_) {
        const std::size_t left = answer_.size() - answer_written_;
        const std::size_t characters_room = std::min(keys_free - used, text.size()) / 4 * 4;
        // Whole groups of 3 but for the last piece, whose padding ends the base64.
        std::size_t take = std::min(left, characters_room / 4 * 3);
        if (take < left) take -= take % 3;
        if (take == 0 && left > 0) break;
        const std::size_t characters = base64_encode(answer_.data() + answer_written_, take, text.data());
        keys_.append(reinterpret_cast<const unsigned char*>(text.data()), characters);
        used += characters;
        answer_written_ += take;
        if (answer_written_ == answer_.size()) {
            if (keys_free - used < 1) break;
            keys_.append(&CLIPBOARD_ANSWER_END, 1);
            ++used;
            answer_open_ = false;
        }
    }
    return used;
}

void clipboard_channel::append(const unsigned char* bytes, std::size_t length) {
    if (!carrying_) return keys_.append(bytes, length);
    waiting_.insert(waiting_.end(), bytes, bytes + length);
    frame_ends_.push_back(waiting_.size());
}

void clipboard_channel::discard_queued() {
    // Frames typed again go whole, a cancel's C after them.
    if (!retype_.empty()) return;
    if (carrying_) {
        waiting_.clear();
        frame_ends_.clear();
        return;
    }
    keys_.discard_queued();
}

void clipboard_channel::drop_all() {
    retype_ = {};
    waiting_.clear();
    frame_ends_.clear();
    keys_.drop_all();
    abandon();
}

}  // namespace pushfile::receive
