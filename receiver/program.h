// The receiver's name, its own exit statuses, the form of its failure messages, and its clock.
#pragma once

#include <chrono>
#include <string>

namespace pushfile::receive {

// Every wait, timeout and rate of the receiver is measured on this clock.
using monotonic_clock = std::chrono::steady_clock;

// The name messages use, whatever path the program was started by.
inline constexpr const char* PROGRAM_NAME = "pushfile-receive";

// Apart from these the receiver exits with its command's status, or 128 + N for signal N. Its own
// failures use the statuses that tools which run commands (env, timeout) keep for theirs.
inline constexpr int EXIT_BAD_USAGE = 125;     // a bad option or DIR
inline constexpr int EXIT_NOT_RUNNABLE = 126;  // the command was found but cannot run
inline constexpr int EXIT_NOT_FOUND = 127;     // the command was not found
inline constexpr int EXIT_RELAY_FAILED = 255;  // no pseudo-terminal, standard output gone, ...

// "what: why" from an error number the caller saved before building what: anything that
// allocates may change errno.
std::string failure_text(const std::string& what, int error_number);

}  // namespace pushfile::receive
