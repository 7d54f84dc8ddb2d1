// The receiver's name and its own exit statuses; with them, for the receiver's code, the failure
// messages' form and the clock, which the transfer core shares.
#pragma once

#include <cstdlib>
#include <functional>

#include "common/clock.h"
#include "common/failure.h"

namespace pushfile::receive {

// The clock by its short name also where only this namespace is used (the tests).
using pushfile::monotonic_clock;

// Looks up an environment variable: nullptr when it is not set. Parts that read the environment
// take one, so that tests can give them an environment of their own.
using environment_lookup = std::function<const char*(const char* name)>;
// The process's own environment.
inline const char* process_environment(const char* name) { return std::getenv(name); }

// The name messages use, whatever path the program was started by.
inline constexpr const char* PROGRAM_NAME = "pushfile-receive";

// Apart from these the receiver exits with its command's status, or 128 + N for signal N. Its own
// failures use the statuses that tools which run commands (env, timeout) keep for theirs.
inline constexpr int EXIT_BAD_USAGE = 125;     // a bad option or DIR
inline constexpr int EXIT_NOT_RUNNABLE = 126;  // the command was found but cannot run
inline constexpr int EXIT_NOT_FOUND = 127;     // the command was not found
inline constexpr int EXIT_RELAY_FAILED = 255;  // no pseudo-terminal, standard output gone, ...

}  // namespace pushfile::receive
