// pullfile's way into its tmux pane that is faster than typed keys: answers to tmux's clipboard
// queries (transfer/clipboard_replies.h). Whether this tmux offers it is found out once, at the
// start, without asking the user anything: a tmux of 3.3 to 3.6 (from 3.7 refresh-client -l
// takes no pane), an escape-time that leaves an answer time to arrive, one client attached to the
// session (with more, tmux might ask a real terminal, which would answer with the user's
// clipboard) and a client terminal that tmux believes has a clipboard. The queries are asked
// with `tmux refresh-client -l PANE`, one at a time: tmux sends the pane one answer per query.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <string>

#include "common/clock.h"
#include "transfer/clipboard_replies.h"

namespace pushfile::pull {

// What tmux says of itself, from `tmux display -p` in the pane.
struct tmux_facts {
    int major = 0;
    int minor = 0;
    long escape_time_ms = 0;
    long clients_attached = 0;
    bool client_has_clipboard = false;
};

// The next answer's size after answers of this one that took answer_took at best from query to
// answer, and took_at_half at half the size (0: unknown): twice as large while they come within a
// quarter of escape-time, up to largest, and past LARGE_CLIPBOARD_CHUNK only where doubling them
// did not make them take half as long again: where the round trip is what each waits on, not
// tmux, whose cost of taking an answer grows faster than the answer.
inline constexpr std::size_t LARGE_CLIPBOARD_CHUNK = std::size_t{512} << 10;
std::size_t next_clipboard_chunk(std::size_t chunk, std::size_t largest, monotonic_clock::duration answer_took,
                                 monotonic_clock::duration took_at_half, std::chrono::milliseconds escape_time);

// Reads "VERSION|ESCAPE-TIME|SESSION-ATTACHED|CLIENT-TERMFEATURES"; false when it is not that.
bool parse_tmux_facts(const std::string& line, tmux_facts* facts);
// The most an answer may carry with this tmux, or 0 (with *why_not) when answers cannot carry
// frames. An answer has to arrive whole within escape-time of its first byte, at the link's rate.
std::size_t largest_clipboard_chunk(const tmux_facts& facts, std::string* why_not);

class tmux_clipboard {
public:
    // Whether this pane's tmux can carry the frames; *why_not says why not, for a person.
    bool probe(std::string* why_not);
    // What an answer carries now: a quarter of the largest at first, then as next_clipboard_chunk()
    // says after each answer, half after one that was lost.
    std::size_t chunk() const { return chunk_; }
    bool grow(monotonic_clock::duration answer_took);
    bool shrink();
    const char* token() const { return token_.data(); }

    // Asks tmux for one answer; false when the query could not be started.
    bool ask(monotonic_clock::time_point now);
    bool asking() const { return asking_; }
    monotonic_clock::time_point asked_at() const { return asked_at_; }
    // An answer came: the next query may go.
    void answered() { asking_ = false; }
    // Collects the queries that ended.
    void reap();

private:
    std::string pane_;
    std::size_t chunk_ = 0;
    std::size_t largest_chunk_ = 0;
    monotonic_clock::duration fastest_ = monotonic_clock::duration::max();  // answer at this chunk
    monotonic_clock::duration fastest_at_half_{0};
    std::chrono::milliseconds escape_time_{0};
    std::array<char, CLIPBOARD_TOKEN_LENGTH + 1> token_{};
    bool asking_ = false;
    monotonic_clock::time_point asked_at_{};
    std::array<pid_t, 8> children_{};
};

}  // namespace pushfile::pull
