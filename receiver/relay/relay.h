// Runs a command on a new pseudo-terminal and relays bytes between it and the user's terminal.
// What the command writes passes through a stream_handler, which may keep some of it back (what it
// looks for) and may answer the command as if typed on its keyboard.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "receiver/relay/handler.h"

namespace pushfile::receive {

class command_input_queue;
class screen_writer;

// Runs command (argv style, non-empty) and relays until it has ended and all its output has been
// handled. When standard input is a terminal, copies its settings and window size to the new
// pseudo-terminal, puts it in raw mode and restores it on every way out (SIGTERM, SIGHUP
// included). When it is not, relays it as it comes and, at its end, keeps relaying output.
// The user's screen is written through screen, where the receiver's own lines are queued too
// (see screen_writer.h), so that everything appears in order; the command's keyboard through
// command_input. handler was made with screen.command_output() and command_input.
// Returns false when the command could not be started: *err says why, and *exit_status is the
// status to exit with. Otherwise *exit_status is the command's exit status, 128 + N when signal N
// ended it or the receiver, or EXIT_RELAY_FAILED when the relay itself failed (the handler was
// told why through output_ended()).
bool run_relay(const std::vector<std::string>& command, stream_handler& handler, screen_writer& screen,
               command_input_queue& command_input, int* exit_status, std::string* err);

}  // namespace pushfile::receive
