#include "pushfile/terminal.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "remote/no_answer.h"
#include "remote/raw_terminal.h"
#include "remote/standard_streams.h"

namespace pushfile::send {
namespace {

// Long enough for a slow serial line's second byte, short enough that a lone key still ends the
// transfer at once to a person.
constexpr int SECOND_REPLY_BYTE_WAIT_MS = 200;

const char* no_answer_notice = nullptr;
// Only the first reply of a run can come before any answer was accepted: a refusal ends the run.
bool awaiting_first_reply = true;

// Descriptor 0 ready for input, its end or an error: >0 ready, 0 timed out, <0 failed. The ending
// signals end the sender in their handler, so an interrupted wait only goes on.
int wait_for_input(int timeout_ms) {
    int ready;
    while ((ready = remote::wait_for(STDIN_FILENO, POLLIN, timeout_ms, nullptr)) < 0 && errno == EINTR) {}
    return ready;
}

}  // namespace

ssize_t read_reply(unsigned char reply[2]) {
    if (awaiting_first_reply) {
        awaiting_first_reply = false;
        if (no_answer_notice != nullptr && wait_for_input(remote::NO_ANSWER_DELAY_MS) == 0)
            remote::write_error_line(no_answer_notice, true);
    }
    const ssize_t count = read(STDIN_FILENO, reply, 2);
    if (count != 1 || wait_for_input(SECOND_REPLY_BYTE_WAIT_MS) <= 0) return count;
    return read(STDIN_FILENO, reply + 1, 1) == 1 ? 2 : 1;
}

void set_no_answer_notice(const char* notice) { no_answer_notice = notice; }

}  // namespace pushfile::send
