// Starting the command on a new pseudo-terminal of its own, and telling apart why it could not
// run: the shell's statuses 126 (found, not runnable) and 127 (not found).
#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

#include "common/owned_fd.h"

namespace pushfile::receive {

struct started_command {
    pid_t pid = -1;      // leads a session of its own, so its process group is -pid
    owned_fd master;     // non-blocking, close-on-exec, above the standard descriptors
};

// Runs command (argv style, non-empty) with the new terminal as its controlling terminal and
// standard descriptors, started with settings and size when given. Returns once the command
// runs (exec succeeded), or could not be run: then false, with the status to exit with in
// *failure_status (126, 127, or 255 for a failure of our own) and why in *err.
bool start_on_new_terminal(const std::vector<std::string>& command, const termios* settings, const winsize* size,
                           started_command* started, int* failure_status, std::string* err);

}  // namespace pushfile::receive
