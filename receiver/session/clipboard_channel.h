// Where an upload's frames go: typed into the command's input, or, once pullfile asks for it from
// inside tmux (CODE_UPLOAD_CLIPBOARD), held here and written as answers to tmux's clipboard
// queries (transfer/clipboard_replies.h), each answer carrying whole frames after the token, up
// to pullfile's chunk. tmux takes an answer for the query it has out when the answer's end
// arrives, so with a pullfile that reads frames again (format version 5) the next answer goes out
// as soon as one ends, and only its end waits for the query: the round trip of the query is spent
// carrying frames, and data frames come raw (transfer/upload_frames.h), typed again as ever.
// An answer written ahead that no query meets in time is ended anyway; tmux may have dropped it
// or taken it for a query still on its way, and so the frames are typed from there on, its ones
// again. When pullfile asks for typed frames again (an answer missed tmux's escape-time and was
// typed as keys, or none came), the frames of the answers it may not have had and all that waits
// are typed. Memory is bounded by three chunks.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "receiver/relay/handler.h"

namespace pushfile::receive {

// A query with nothing to answer waits this long for frames; tmux gives up on one after 5 s.
inline constexpr std::chrono::milliseconds CLIPBOARD_QUERY_HOLD{1000};
// After an upload that answered queries, those still on their way are pullfile's, not the
// user's: none reaches the user's terminal, which could answer with the clipboard.
inline constexpr std::chrono::seconds CLIPBOARD_QUERIES_OURS_AFTER{6};

class clipboard_channel final : public input_sink {
public:
    explicit clipboard_channel(input_sink& keys) : keys_(keys) {}

    // A new upload: frames are typed.
    void reset(monotonic_clock::time_point now);
    // pullfile answers come from queries, chunk bytes at most, each starting with token; ahead:
    // it reads frames again, and an answer may go ahead of its query. False when the chunk is out
    // of bounds.
    bool start(std::size_t chunk, std::string_view token, bool ahead);
    // Typed frames again: the last answer's and those waiting are typed now.
    void stop();
    // pullfile is gone: an answer partly written is ended broken, so that tmux drops it.
    void abandon();
    bool carrying() const { return carrying_; }
    // Data frames go raw in answers now (format version 5): tmux's base64 is the only one on the
    // way. Typed again, they are typed as ever.
    bool takes_raw_data_frames() const { return carrying_ && ahead_; }

    // tmux asked for the clipboard: whether the query is ours to take (never passed on).
    bool take_query(monotonic_clock::time_point now);
    // Room for frames now; keys_free is the command's input queue's.
    std::size_t room(std::size_t keys_free) const;
    // Writes what is due of an answer, or of the frames typed again, as far as keys_free bytes of
    // the command's input allow; returns how many it wrote.
    std::size_t pump(std::size_t keys_free, monotonic_clock::time_point now);
    bool wants_ticks() const { return query_pending_ || (answer_open_ && !answer_ending_); }

    void append(const unsigned char* bytes, std::size_t length) override;
    // Frames waiting for a query go; an answer being written stays whole.
    void discard_queued() override;
    void drop_all() override;

private:
    // tmux waits at least this long for the rest of an answer: pullfile sizes its chunk by it.
    monotonic_clock::duration escape_time_floor() const;
    bool may_answer_ahead() const;
    void open_answer(bool asked, monotonic_clock::time_point now);
    // Whole frames that wait, into the open answer, as far as the chunk allows.
    void fill_answer();
    // An answer written ahead that no query met in time: the frames are typed from here on.
    void give_up_answers();
    // Up to keys_free bytes more of the answer's base64; returns what it took of the room.
    std::size_t continue_answer(std::size_t keys_free, monotonic_clock::time_point now);

    input_sink& keys_;
    bool carrying_ = false;
    std::size_t chunk_ = 0;
    std::string token_;
    // Frames no answer has taken yet, each appended whole, and where each ends: an answer carries
    // whole frames, so that typed frames sent again after a lost one start where a frame does.
    std::vector<unsigned char> waiting_;
    std::vector<std::size_t> frame_ends_;
    std::vector<unsigned char> retype_;  // frames to type again, as room comes
    // The frames of the last answer ended, until a query shows that pullfile had it: it asks
    // again as an answer reaches it.
    std::vector<unsigned char> sent_;
    std::vector<unsigned char> answer_;       // the token and frames of the open answer
    std::size_t answer_written_ = 0;          // bytes of answer_ written as base64
    bool answer_open_ = false;
    bool answer_ending_ = false;  // a query came for it: it ends once written
    bool ahead_ = false;
    bool given_up_ = false;  // for the rest of the upload
    bool query_pending_ = false;
    monotonic_clock::time_point query_at_{};
    monotonic_clock::time_point opened_at_{};
    // From an answer's end to the next query: a round trip and pullfile's start of a query. Only
    // while it is well within escape-time does an answer go ahead.
    bool cycle_running_ = false;
    monotonic_clock::time_point ended_at_{};
    monotonic_clock::duration cycle_ = monotonic_clock::duration::max();
    monotonic_clock::time_point ours_until_{};
};

}  // namespace pushfile::receive
