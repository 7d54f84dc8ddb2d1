// The name the receiver's lines begin with, and the statuses it exits with when the command it
// relays cannot run or the relay itself fails: the relay reports both, the layers above it too.
#pragma once

namespace pushfile::receive {

// The name messages use, whatever path the program was started by.
inline constexpr const char* PROGRAM_NAME = "pushfile-receive";

// Apart from these the receiver exits with its command's status, or 128 + N for signal N. Its own
// failures use the statuses that tools which run commands (env, timeout) keep for theirs.
inline constexpr int EXIT_BAD_USAGE = 125;     // a bad option or DIR
inline constexpr int EXIT_NOT_RUNNABLE = 126;  // the command was found but cannot run
inline constexpr int EXIT_NOT_FOUND = 127;     // the command was not found
inline constexpr int EXIT_RELAY_FAILED = 255;  // no pseudo-terminal, standard output gone, ...

}  // namespace pushfile::receive
