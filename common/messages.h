// The text of each transfer message, as the sender writes it and a forwarder writes it again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/file_hash.h"
#include "common/protocol.h"

namespace pushfile {

// Each formatter writes the message text into a buffer of MESSAGE_BUFFER_SIZE bytes, cutting it
// to fit with its NUL, and returns the text length (the NUL not counted).
std::size_t format_path_message(char* buffer, const char* path);
std::size_t format_size_message(char* buffer, std::uint64_t size);
std::size_t format_block_header(char* buffer, std::int32_t checksum);
std::size_t format_end_message(char* buffer);

// pullfile's messages (protocol.h), the same way; a folder or reason is cut to fit.
std::size_t format_upload_request(char* buffer, const char* folder);
std::size_t format_upload_ack(char* buffer, std::uint64_t sequence);
std::size_t format_upload_failed(char* buffer, std::uint64_t file_sequence, const char* reason);
std::size_t format_upload_end(char* buffer, int status);
// held 0 leaves the hash out.
std::size_t format_upload_have(char* buffer, std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash);
std::size_t format_upload_clipboard(char* buffer, std::uint64_t chunk, const char* token);
std::size_t format_upload_keys(char* buffer, bool dense);

}  // namespace pushfile
