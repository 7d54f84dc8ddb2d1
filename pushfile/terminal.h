// Descriptor 0 as the channel of the terminal's replies; the messages go out through
// remote/standard_streams.h, and descriptor 0's terminal is raw for the run (remote/raw_terminal.h).
#pragma once

#include <sys/types.h>

namespace pushfile::send {

// Reads one reply from descriptor 0: one read of up to two bytes and, when it brings only one,
// a brief wait for the second, since a serial line may deliver them apart. Returns 2 for a whole
// reply, 1 for a byte with nothing after it, 0 at the end of input, or a negative value on error.
// The first call of the run writes the notice set below when nothing comes for a few seconds,
// then goes on waiting.
ssize_t read_reply(unsigned char reply[2]);

// The line (without its line end) that the first reply read writes to standard error when the
// terminal stays silent; none when null. Kept by pointer: it must outlive the run.
void set_no_answer_notice(const char* notice);

}  // namespace pushfile::send
