#include "common/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace pushfile {
namespace {

// Every message: ESC } f, its code, then its body as format makes it, cut to fit the buffer with
// its NUL. Returns the text as it lies in the buffer: snprintf reports the uncut length, which a
// cut path exceeds.
[[gnu::format(printf, 3, 4)]] std::size_t format_message(char* buffer, unsigned char code, const char* format, ...) {
    const char head[] = {static_cast<char>(ESCAPE), static_cast<char>(INTRODUCER), static_cast<char>(FAMILY),
                         static_cast<char>(code)};
    std::memcpy(buffer, head, sizeof head);
    std::va_list body;
    va_start(body, format);
    std::vsnprintf(buffer + sizeof head, MESSAGE_BUFFER_SIZE - sizeof head, format, body);
    va_end(body);
    return std::strlen(buffer);
}

}  // namespace

std::size_t format_path_message(char* buffer, const char* path) {
    return format_message(buffer, CODE_PATH, "%s", path);
}

std::size_t format_size_message(char* buffer, std::uint64_t size) {
    return format_message(buffer, CODE_SIZE, "%llu", static_cast<unsigned long long>(size));
}

std::size_t format_block_header(char* buffer, std::int32_t checksum) {
    return format_message(buffer, CODE_BLOCK, "%i ", checksum);
}

std::size_t format_end_message(char* buffer) { return format_message(buffer, CODE_END, "%s", ""); }

std::size_t format_upload_request(char* buffer, const char* folder) {
    return format_message(buffer, CODE_UPLOAD_REQUEST, "%s", folder);
}

std::size_t format_upload_ack(char* buffer, std::uint64_t sequence) {
    return format_message(buffer, CODE_UPLOAD_ACK, "%llu", static_cast<unsigned long long>(sequence));
}

std::size_t format_upload_failed(char* buffer, std::uint64_t file_sequence, const char* reason) {
    return format_message(buffer, CODE_UPLOAD_FAILED, "%llu %s", static_cast<unsigned long long>(file_sequence),
                          reason);
}

std::size_t format_upload_end(char* buffer, int status) {
    return format_message(buffer, CODE_UPLOAD_END, "%d", status);
}

}  // namespace pushfile
