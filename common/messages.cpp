#include "common/messages.h"

#include <cstdio>
#include <cstring>

namespace pushfile {
namespace {

// The text as it lies in the buffer: a formatter reports the untruncated length, which a cut
// path exceeds.
std::size_t text_length(const char* buffer) { return std::strlen(buffer); }

}  // namespace

std::size_t format_path_message(char* buffer, const char* path) {
    std::snprintf(buffer, MESSAGE_BUFFER_SIZE, "%c%c%c%c%s", ESCAPE, INTRODUCER, FAMILY, CODE_PATH, path);
    return text_length(buffer);
}

std::size_t format_size_message(char* buffer, std::uint64_t size) {
    std::snprintf(buffer, MESSAGE_BUFFER_SIZE, "%c%c%c%c%llu", ESCAPE, INTRODUCER, FAMILY, CODE_SIZE,
                  static_cast<unsigned long long>(size));
    return text_length(buffer);
}

std::size_t format_block_header(char* buffer, std::int32_t checksum) {
    std::snprintf(buffer, MESSAGE_BUFFER_SIZE, "%c%c%c%c%i ", ESCAPE, INTRODUCER, FAMILY, CODE_BLOCK, checksum);
    return text_length(buffer);
}

std::size_t format_end_message(char* buffer) {
    std::snprintf(buffer, MESSAGE_BUFFER_SIZE, "%c%c%c%c", ESCAPE, INTRODUCER, FAMILY, CODE_END);
    return text_length(buffer);
}

std::size_t format_upload_request(char* buffer, const char* folder) {
    std::snprintf(buffer, MESSAGE_BUFFER_SIZE, "%c%c%c%c%s", ESCAPE, INTRODUCER, FAMILY, CODE_UPLOAD_REQUEST, folder);
    return text_length(buffer);
}

std::size_t format_upload_ack(char* buffer, std::uint64_t sequence) {
    std::snprintf(buffer, MESSAGE_BUFFER_SIZE, "%c%c%c%c%llu", ESCAPE, INTRODUCER, FAMILY, CODE_UPLOAD_ACK,
                  static_cast<unsigned long long>(sequence));
    return text_length(buffer);
}

std::size_t format_upload_failed(char* buffer, std::uint64_t file_sequence, const char* reason) {
    std::snprintf(buffer, MESSAGE_BUFFER_SIZE, "%c%c%c%c%llu %s", ESCAPE, INTRODUCER, FAMILY, CODE_UPLOAD_FAILED,
                  static_cast<unsigned long long>(file_sequence), reason);
    return text_length(buffer);
}

std::size_t format_upload_end(char* buffer, int status) {
    std::snprintf(buffer, MESSAGE_BUFFER_SIZE, "%c%c%c%c%d", ESCAPE, INTRODUCER, FAMILY, CODE_UPLOAD_END, status);
    return text_length(buffer);
}

}  // namespace pushfile
