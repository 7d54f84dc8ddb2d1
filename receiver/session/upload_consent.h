// When keys at the upload prompt count. The remote host sees every key the user types (their
// echo) and may time its request so that the prompt appears while the user types for the remote
// shell, without looking: those keys must neither start nor shape an upload. So keys count only
// once the user has stopped and the prompt has been on the screen for a moment; a line that keys
// shaped is sent only after the user has seen what it names and answered y after a pause; a
// paste (which a terminal marks, and typing never makes) needs no answer. Pure logic over the
// times keys came at.
#pragma once

#include <chrono>
#include <cstddef>

#include "common/clock.h"

namespace pushfile::receive {

// Keys that come closer together than this are one stream, typed without stopping to look.
inline constexpr std::chrono::milliseconds KEYS_STREAM_GAP{750};

class upload_consent {
public:
    // What a read of keys does.
    enum class verdict {
        take,     // the keys are the user's answer to what is on the screen
        drop,     // typed before the user could have looked: dropped, counted
        cancel,   // Ctrl-C or a lone Esc: the user sends nothing, whenever they come
        confirm,  // y, alone and after a pause, while a confirmation is asked for
        edit,     // any other key after a pause while a confirmation is asked for: the line again
        ignore,   // a terminal's reply (a string sequence), no key at all
    };

    // The prompt appeared on the screen at now.
    void shown(monotonic_clock::time_point now);
    // A read of keys at the prompt.
    verdict keys(const unsigned char* bytes, std::size_t length, monotonic_clock::time_point now);
    // The line names these files, shown for the user to confirm from now on.
    void ask_to_confirm(monotonic_clock::time_point now);
    bool confirming() const { return confirming_; }

private:
    bool quiet_since(monotonic_clock::time_point since, monotonic_clock::time_point now) const {
        return now - since >= KEYS_STREAM_GAP;
    }

    bool visible_ = false;
    bool open_ = false;  // keys edit the line
    bool confirming_ = false;
    // The last read of keys, or when the prompt or the question appeared if later.
    monotonic_clock::time_point last_keys_at_{};
    bool dropped_any_ = false;  // since the prompt appeared
};

}  // namespace pushfile::receive
