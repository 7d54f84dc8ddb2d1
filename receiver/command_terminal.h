// The command's terminal while a file arrives. A sender run without a terminal of its own (ssh
// without -t) reads its answers through whatever reads this terminal, and when that is in line
// mode the answers wait for a newline that never comes, echoed on the screen meanwhile.
#pragma once

#include <termios.h>

#include "receiver/relay.h"

namespace pushfile::receive {

class command_terminal_mode final : public command_terminal {
public:
    explicit command_terminal_mode(int master_fd) : master_fd_(master_fd) {}

    void hold_for_transfer() override;
    void release_after_transfer() override;

    // The relay calls this whenever nothing is left queued for the command: a release waits for
    // that, since answers written after the line mode is back would wait for a newline again.
    void input_written();
    // The terminal is closed: nothing more to put back.
    void closed() { master_fd_ = -1; }

private:
    int master_fd_;
    bool held_ = false;
    bool release_due_ = false;
    termios found_{};  // as the transfer found it
    termios set_{};    // as the transfer left it, to tell whether the command changed it since
};

}  // namespace pushfile::receive
