#include "receiver/session/clipboard_channel.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/upload_encoding.h"
#include "transfer/clipboard_replies.h"
#include "transfer/upload_frames.h"

namespace pushfile::receive {
namespace {

// An answer's base64 goes out in pieces of at most this many characters (a multiple of 4).
constexpr std::size_t PIECE_CHARACTERS = 16384;
// Ends an answer so that tmux cannot decode it, and drops it.
constexpr unsigned char BROKEN_END[] = {'!', CLIPBOARD_ANSWER_END};
// An answer goes ahead of its query only while the query came within this share of escape-time
// after the answer before ended, and when escape-time leaves room for the session's ticks, which
// end an answer that no query met within three quarters of it (tmux, taking in the first answer
// of the largest size, was seen to keep a query back for 280 ms).
constexpr int AHEAD_CYCLE_SHARE = 3;
constexpr std::chrono::milliseconds LEAST_ESCAPE_TIME_AHEAD{300};

void append_base64(std::vector<unsigned char>& text, const unsigned char* bytes, std::size_t count) {
    const std::size_t at = text.size();
    text.resize(at + base64_length(count));
    base64_encode(bytes, count, reinterpret_cast<char*>(text.data() + at));
}

// Frames of answers, typed again: raw data frames as typed ones.
void append_typed(std::vector<unsigned char>& text, const unsigned char* frames, std::size_t length) {
    static std::array<char, MAX_FRAME_LENGTH> typed;
    for (std::size_t at = 0; at < length;) {
        upload_frame frame;
        frame_error error{};
        if (const std::size_t raw = read_raw_data_frame(frames + at, length - at, &frame, &error); raw > 0) {
            const std::size_t typed_length = format_data_frame(frame.sequence, frame.data, frame.length, typed.data());
            text.insert(text.end(), typed.data(), typed.data() + typed_length);
            at += raw;
        } else {
            const auto* end = static_cast<const unsigned char*>(std::memchr(frames + at, '.', length - at));
            const std::size_t frame_length = end == nullptr ? length - at : static_cast<std::size_t>(end - frames) + 1 - at;
            text.insert(text.end(), frames + at, frames + at + frame_length);
            at += frame_length;
        }
    }
}

}  // namespace

void clipboard_channel::reset(monotonic_clock::time_point now) {
    abandon();
    if (!token_.empty()) ours_until_ = now + CLIPBOARD_QUERIES_OURS_AFTER;
    carrying_ = answer_open_ = query_pending_ = cycle_running_ = given_up_ = false;
    token_.clear();
    retype_ = {};
    waiting_ = {};
    frame_ends_ = {};
    sent_ = {};
    answer_ = {};
    answer_written_ = 0;
    cycle_ = monotonic_clock::duration::max();
}

bool clipboard_channel::start(std::size_t chunk, std::string_view token, bool ahead) {
    if (given_up_) return true;  // typed for the rest of the upload, as said
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
    append_typed(retype_, sent_.data(), sent_.size());
    if (answer_open_) append_typed(retype_, answer_.data() + token_.size(), answer_.size() - token_.size());
    append_typed(retype_, waiting_.data(), waiting_.size());
    answer_open_ = false;
    sent_.clear();
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
    if (!carrying_) return !token_.empty() || now < ours_until_;
    if (cycle_running_) cycle_ = now - ended_at_;
    cycle_running_ = false;
    // pullfile asks as an answer reaches it: the one before the open one arrived.
    sent_.clear();
    if (answer_open_ && !answer_ending_) {
        answer_ending_ = true;
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
            if (now - opened_at_ >= escape_time_floor() * 3 / 4) {
                give_up_answers();
                return typed + free_before - keys_free;
            }
        }
        keys_free -= continue_answer(keys_free, now);
        if (answer_open_) break;
    }
    return typed + free_before - keys_free;
}

void clipboard_channel::open_answer(bool asked, monotonic_clock::time_point now) {
    answer_.assign(token_.begin(), token_.end());
    answer_written_ = 0;
    answer_open_ = true;
    answer_ending_ = asked;
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
    frame_ends_.erase(frame_ends_.begin(), frame_ends_.begin() + static_cast<std::ptrdiff_t>(frames));
    for (std::size_t& end : frame_ends_) end -= taken;
    answer_.insert(answer_.end(), waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(taken));
    waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(taken));
}

void clipboard_channel::give_up_answers() {
    // tmux took the answer for a query on its way here, or dropped it: which, nothing tells, and a
    // query that came after might then be one tmux has no more. From here on the frames are typed,
    // the answers' ones again.
    stop();
    given_up_ = true;
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
