// The escape messages that carry one file to the terminal, and the per-file conversation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/owned_fd.h"
#include "common/protocol.h"

namespace pushfile::send {

enum class transfer_outcome {
    completed,        // every message written; includes a file that could not be opened or read in full
    channel_failure,  // a write did not go through
    no_reply,         // the reply read brought no whole reply: the end of input, an error, a lone byte
    refused_reply,    // the terminal answered with a first byte other than 'k'
};

// What went wrong with one file whose conversation still completed, and how much of it was sent.
struct file_fault {
    int error = 0;                     // the error number of a failed open or read
    bool ended_short = false;          // the reads ended before the file's known, announced size
    std::uint64_t bytes_sent = 0;      // file bytes sent in blocks
    std::uint64_t announced_size = 0;  // the size message's value (UNKNOWN_SIZE when unknown)

    bool any() const { return error != 0 || ended_short; }
};

// Sends one file: path, size, acknowledged blocks, end. When the file cannot be opened, a read of
// it fails, or its reads end before the size it announced, the conversation still completes (the
// same messages as for any file that ends there) and *fault tells which (fault->any()).
transfer_outcome send_file(const char* path, file_fault* fault);

// The same conversation for a file the caller has opened, announced as sent_path. file is invalid
// when the open failed with open_error: the path and the end are sent, as for send_file.
transfer_outcome send_opened_file(const char* sent_path, owned_fd file, int open_error, file_fault* fault);

// Whether the terminal has accepted anything in this run.
bool any_answer_accepted();

}  // namespace pushfile::send
