// The keys typed while a transfer runs: kept for the command until the file is over, Ctrl-C
// cancelling the file, and the answers to --ask's question.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "receiver/session/session.h"

namespace pushfile::receive {
namespace {

constexpr unsigned char INTERRUPT_KEY = 0x03;  // Ctrl-C cancels a file while it arrives
// A Ctrl-C this soon after one that cancelled a file goes to the command.
constexpr std::chrono::seconds REPEATED_INTERRUPT{2};
// Keys kept during a file go to the command once no next file has begun for this long.
constexpr std::chrono::milliseconds KEYS_AFTER_FILE_END{300};

}  // namespace

// While a file arrives, keystrokes would reach the sender as replies and break the transfer, so
// they wait until the file is over; Ctrl-C cancels the file instead, and once the sender has gone
// quiet the next key gives up on the file and goes to the command.
// During an upload, keys are the upload's: the prompt's, or held back from the frames it types.
bool transfer_session::wants_keyboard() const { return upload_.wants_keyboard() || file_open() || kept_length_ > 0; }

void transfer_session::keyboard(const unsigned char* bytes, std::size_t length) {
    if (length == 0) return;
    const auto now = monotonic_clock::now();
    if (upload_.wants_keyboard()) {
        upload_.keyboard(bytes, length);
        return;
    }
    const auto* interrupt = static_cast<const unsigned char*>(std::memchr(bytes, INTERRUPT_KEY, length));
    if (phase_ == phase::asking) {
        switch (bytes[0]) {
            case 'y':
            case 'Y':
                progress_.answered("yes");
                start_file(answered_ahead::no);
                break;
            case 'n':
            case 'N':
                progress_.answered("skip");
                skip_file();
                break;
            case 'q':
            case 'Q':
            case INTERRUPT_KEY:
                progress_.answered("no");
                decline("declined");
                break;
            default: break;  // the question stays until one of its answers comes
        }
    } else if (!file_open()) {
        // Keys kept from a file that just ended still wait for a sender's next file; a Ctrl-C is
        // for the command, and does not wait.
        keep_keys(bytes, length);
        if (interrupt != nullptr) deliver_kept_keys();
    } else if (interrupt != nullptr) {
        // A second Ctrl-C soon after a cancel is for the command: one that keeps printing
        // things that look like a file must still be stoppable.
        const bool repeated = cancelled_at_ && now - *cancelled_at_ < REPEATED_INTERRUPT;
        keep_keys(bytes, static_cast<std::size_t>(interrupt - bytes));
        abandon_file("cancelled", sender_told::now);
        cancelled_at_ = now;
        const unsigned char* rest = repeated ? interrupt : interrupt + 1;
        command_input_.append(rest, static_cast<std::size_t>(bytes + length - rest));
    } else if (now - last_output_at_ >= QUIET_SENDER_LIMIT) {
        // The key itself reaches a sender still waiting as its answer, and ends its run.
        abandon_file("given up: the sender sent nothing for a while and a key was pressed",
                     sender_told::at_its_next_message);
        command_input_.append(bytes, length);
    } else {
        keep_keys(bytes, length);
    }
    settle_command_terminal();
}

void transfer_session::keep_keys(const unsigned char* bytes, std::size_t length) {
    const std::size_t kept = std::min(length, kept_keys_.size() - kept_length_);
    if (kept > 0) std::memcpy(kept_keys_.data() + kept_length_, bytes, kept);
    kept_length_ += kept;
    if (kept < length && !kept_keys_overflowed_) {
        kept_keys_overflowed_ = true;
        progress_.notice("keys typed during the transfer beyond the first " + human_size(MAX_KEPT_KEYS) +
                         " were dropped");
    }
}

void transfer_session::deliver_kept_keys() {
    command_input_.append(kept_keys_.data(), kept_length_);
    kept_length_ = 0;
    kept_keys_overflowed_ = false;
}

// A sender names its next file right after the end of the one before, and would take keys
// written in between as its answers; they go once it has had time to, and once the command's
// terminal is back in its own mode, where the command reads them as typed.
void transfer_session::deliver_kept_keys_when_due(monotonic_clock::time_point now) {
    if (kept_length_ == 0 || file_open() || now - file_closed_at_ < KEYS_AFTER_FILE_END) return;
    if (command_terminal_ != nullptr && command_terminal_->release_pending()) return;
    deliver_kept_keys();
}

void transfer_session::keyboard_ended() {
    keyboard_open_ = false;
    upload_.keyboard_ended();
    if (phase_ != phase::asking) return;
    decline("no answer can come: the keyboard input has ended");
    settle_command_terminal();
}

// Only while asking: the size message is still unanswered then.
void transfer_session::decline(const std::string& reason) {
    fail_file(reason);
    refuse(answered_ahead::no);
}

}  // namespace pushfile::receive
