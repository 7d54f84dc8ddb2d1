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
// An answer goes ahead of its query only while the query came within this share of escape-time
// after the answer before ended, and when escape-time leaves room for the session's ticks, which
// end an answer that no query met within half of it.
constexpr int AHEAD_CYCLE_SHARE = 3;
constexpr std::chrono::milliseconds LEAST_ESCAPE_TIME_AHEAD{300};

void append_base64(std::vector<unsigned char>& text, const unsigned char* bytes, std::size_t count) {
    const std::size_t at = text.size();
    text.resize(at + base64_length(count));
    base64_encode(bytes, count, reinterpret_cast<char*>(text.data() + at));
}

}  // namespace

void clipboard_channel::reset(monotonic_clock::time_point now) {
    abandon();
    if (!token_.empty()) ours_until_ = now + CLIPBOARD_QUERIES_OURS_AFTER;
    carrying_ = answer_open_ = query_pending_ = cycle_running_ = false;
    token_.clear();
    retype_ = {};
    waiting_ = {};
    frame_ends_ = {};
    sent_ = {};
    answer_ = {};
    answer_ends_ = {};
    answer_written_ = 0;
    cycle_ = monotonic_clock::duration::max();
}

bool clipboard_channel::start(std::size_t chunk, std::string_view token, bool ahead) {
    if (chunk < MIN_CLIPBOARD_CHUNK || chunk > MAX_CLIPBOARD_CHUNK || token.size() != CLIPBOARD_TOKEN_LENGTH) {
        return false;
    }
    // Again while answers go: the next answer carries the new chunk.
    chunk_ = chunk;
    token_.assign(token);
    ahead_ = ahead;
    waiting_.reserve(chunk_);
    answer_.reserve(chunk_);
    carrying_ = true;
    return true;
}

void clipboard_channel::stop() {
    if (!carrying_) return;
    carrying_ = query_pending_ = cycle_running_ = false;
    // An answer being written is ended whole: tmux takes it for the query it has out, if any, and
    // can then ask again; pullfile no longer reads answers. The answers pullfile may not have had
    // go again, typed, ahead of the frames waiting, as the command's input has room.
    if (answer_open_) {
        append_base64(retype_, answer_.data() + answer_written_, answer_.size() - answer_written_);
        retype_.push_back(CLIPBOARD_ANSWER_END);
    }
    retype_.insert(retype_.end(), sent_.begin(), sent_.end());
    if (answer_open_) retype_.insert(retype_.end(), answer_.begin() + static_cast<std::ptrdiff_t>(token_.size()), answer_.end());
    retype_.insert(retype_.end(), waiting_.begin(), waiting_.end());
    answer_open_ = false;
    sent_.clear();
    answer_.clear();
    answer_ends_.clear();
    waiting_.clear();
    frame_ends_.clear();
}

void clipboard_channel::abandon() {
    if (!answer_open_) return;
    keys_.append(BROKEN_END, sizeof BROKEN_END);
    answer_open_ = false;
}

bool clipboard_channel::take_query(monotonic_clock::time_point now) {
    if (!carrying_) return !token_.empty() || now < ours_until_;
    if (cycle_running_) cycle_ = now - ended_at_;
    cycle_running_ = false;
    // pullfile asks as an answer reaches it: the one before the open one arrived.
    sent_.clear();
    if (answer_open_ && !answer_ending_) {
        answer_asked_ = answer_ending_ = true;
        return true;
    }
    if (!query_pending_) query_at_ = now;
    query_pending_ = true;
    return true;
}

std::size_t clipboard_channel::room(std::size_t keys_free) const {
    if (!carrying_) return retype_.empty() ? keys_free : 0;
    return chunk_ - token_.size() - std::min(waiting_.size(), chunk_ - token_.size());
}

monotonic_clock::duration clipboard_channel::escape_time_floor() const {
    return std::chrono::milliseconds(chunk_ / CHUNK_BYTES_PER_ESCAPE_MS);
}

bool clipboard_channel::may_answer_ahead() const {
    return ahead_ && !query_pending_ && !waiting_.empty() && escape_time_floor() >= LEAST_ESCAPE_TIME_AHEAD &&
           cycle_ <= escape_time_floor() / AHEAD_CYCLE_SHARE;
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
    // An answer that ends makes way for the next at once.
    for (int pass = 0; pass < 2; ++pass) {
        if (!answer_open_) {
            if (keys_free <= CLIPBOARD_ANSWER_HEAD.size()) break;
            if (query_pending_ && (!waiting_.empty() || now - query_at_ >= CLIPBOARD_QUERY_HOLD)) {
                open_answer(true, now);
            } else if (may_answer_ahead()) {
                open_answer(false, now);
            } else {
                break;
            }
            keys_free -= CLIPBOARD_ANSWER_HEAD.size();
        }
        if (!answer_ending_) {
            fill_answer();
            if (now - opened_at_ >= escape_time_floor() / 2) end_unasked_answer();
        }
        keys_free -= continue_answer(keys_free, now);
        if (answer_open_) break;
    }
    return typed + free_before - keys_free;
}

void clipboard_channel::open_answer(bool asked, monotonic_clock::time_point now) {
    answer_.assign(token_.begin(), token_.end());
    answer_ends_.clear();
    answer_written_ = 0;
    answer_open_ = true;
    answer_asked_ = answer_ending_ = asked;
    if (asked) query_pending_ = false;
    opened_at_ = now;
    fill_answer();
    keys_.append(reinterpret_cast<const unsigned char*>(CLIPBOARD_ANSWER_HEAD.data()), CLIPBOARD_ANSWER_HEAD.size());
}

void clipboard_channel::fill_answer() {
    std::size_t frames = 0;
    while (frames < frame_ends_.size() && answer_.size() + frame_ends_[frames] <= chunk_) ++frames;
    if (frames == 0) return;
    const std::size_t taken = frame_ends_[frames - 1];
    for (std::size_t k = 0; k < frames; ++k) answer_ends_.push_back(answer_.size() + frame_ends_[k]);
    frame_ends_.erase(frame_ends_.begin(), frame_ends_.begin() + static_cast<std::ptrdiff_t>(frames));
    for (std::size_t& end : frame_ends_) end -= taken;
    answer_.insert(answer_.end(), waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(taken));
    waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(taken));
}

void clipboard_channel::end_unasked_answer() {
    answer_ending_ = true;
    // Until a query comes in good time again, answers wait for theirs.
    cycle_ = monotonic_clock::duration::max();
    const auto frames_at = answer_.begin() + static_cast<std::ptrdiff_t>(token_.size());
    const std::size_t carried = answer_.size() - token_.size();
    waiting_.insert(waiting_.begin(), frames_at, answer_.end());
    for (std::size_t& end : frame_ends_) end += carried;
    std::vector<std::size_t> ends;
    ends.reserve(answer_ends_.size() + frame_ends_.size());
    for (const std::size_t end : answer_ends_) ends.push_back(end - token_.size());
    ends.insert(ends.end(), frame_ends_.begin(), frame_ends_.end());
    frame_ends_ = std::move(ends);
}

std::size_t clipboard_channel::continue_answer(std::size_t keys_free, monotonic_clock::time_point now) {
    std::array<char, PIECE_CHARACTERS> text;  // written before it is read
    std::size_t used = 0;
    while (answer_open_) {
        const std::size_t left = answer_.size() - answer_written_;
        const std::size_t characters_room = std::min(keys_free - used, text.size()) / 4 * 4;
        // Whole groups of 3 but for the last piece of an answer that ends, whose padding ends
        // the base64; one written ahead may grow yet.
        std::size_t take = std::min(left, characters_room / 4 * 3);
        if (take < left || !answer_ending_) take -= take % 3;
        if (take == 0 && (left > 0 || !answer_ending_)) break;
        const std::size_t characters = base64_encode(answer_.data() + answer_written_, take, text.data());
        keys_.append(reinterpret_cast<const unsigned char*>(text.data()), characters);
        used += characters;
        answer_written_ += take;
        if (answer_written_ == answer_.size() && answer_ending_) {
            if (keys_free - used < 1) break;
            keys_.append(&CLIPBOARD_ANSWER_END, 1);
            ++used;
            answer_open_ = false;
            // An answer ended unasked carries nothing pullfile counts on: its frames wait again.
            if (!answer_asked_) break;
            sent_.assign(answer_.begin() + static_cast<std::ptrdiff_t>(token_.size()), answer_.end());
            ended_at_ = now;
            cycle_running_ = true;
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
