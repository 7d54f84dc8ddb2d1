// The escape messages that carry one file to the terminal, and the per-file conversation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/protocol.h"

namespace pushfile::send {

enum class transfer_outcome {
    completed,        // every message written; includes a file that could not be opened or read
    channel_failure,  // a write or a reply read did not go through
    refused_reply,    // the terminal answered with a first byte other than 'k'
};

// Each formatter writes the message text into a buffer of MESSAGE_BUFFER_SIZE bytes, cutting it
// to fit with its NUL, and returns the text length (the NUL not counted).
std::size_t format_path_message(char* buffer, const char* path);
std::size_t format_size_message(char* buffer, std::uint64_t size);
std::size_t format_block_header(char* buffer, std::int32_t checksum);
std::size_t format_end_message(char* buffer);

// Sends one file: path, size, acknowledged blocks, end. When the file cannot be opened or a read
// of it fails, the conversation still completes and *file_error receives the error number;
// otherwise *file_error is set to 0.
transfer_outcome send_file(const char* path, int* file_error);

// Whether the terminal has accepted anything in this run.
bool any_answer_accepted();

}  // namespace pushfile::send
