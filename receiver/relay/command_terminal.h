// The command's terminal while a file arrives. A sender run without a terminal of its own (ssh
// without -t) reads its answers through whatever reads this terminal, and when that is in line
// mode the answers wait for a newline that never comes, echoed on the screen meanwhile.
#pragma once

#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>

#include "common/owned_fd.h"
#include "receiver/relay/handler.h"

namespace pushfile::receive {

class command_terminal_mode final : public command_terminal {
public:
    explicit command_terminal_mode(int master_fd) : master_fd_(master_fd) {}
    ~command_terminal_mode() { end_pause(); }
    command_terminal_mode(const command_terminal_mode&) = delete;
    command_terminal_mode& operator=(const command_terminal_mode&) = delete;

    void hold_for_transfer() override;
    void release_after_transfer() override;
    void drop_unread_and_release() override;

    // The relay calls these around every write to the command (all_written: nothing is left
    // queued), and after_input_write(true) on its turns while a release is pending. A release
    // waits until nothing is left queued, since answers written after the line mode is back would
    // wait for a newline again, and until what was written has reached the command's side.
    void before_input_write();
    // Called on every turn of the relay, so the common case (nothing to put back) stays inline.
    void after_input_write(bool all_written) {
        if (release_due_ || awaiting_our_mode_) settle_after_input_write(all_written);
    }
    bool release_pending() const override { return release_due_; }
    bool take_bottom_row() override;
    void give_bottom_row_back() override;
    std::string foreground_folder() const override;
    // The user's window has this size now (after SIGWINCH): the command's follows it, less the row
    // taken while one is.
    void window_changed(const winsize& size);
    // The terminal is closed: nothing more to put back.
    void closed() {
        end_pause();
        master_fd_ = -1;
    }

private:
    void settle_after_input_write(bool all_written);
    void apply_hold();
    void restore();
    void end_pause();

    int master_fd_;
    bool held_ = false;
    bool hold_due_ = false;  // at the next write
    bool release_due_ = false;
    // Released while a program had a mode of its own set: ours comes back over once it shows again.
    bool awaiting_our_mode_ = false;
    monotonic_clock::time_point release_due_since_{};
    // While the last answers are written and the mode put back, the command's output is paused
    // (through this descriptor of its side, while held), so that nothing it runs next can find the mode unsettled.
    owned_fd paused_side_;
    termios found_{};  // as the transfer found it
    termios set_{};    // as the transfer left it, to tell whether the command changed it since
    bool row_taken_ = false;
    winsize full_size_{};  // while a row is taken: the size it is given back with
};

}  // namespace pushfile::receive
