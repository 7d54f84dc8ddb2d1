#include "common/messages.h"

#include <cstdio>
#include <cstring>

namespace pushfile {
namespace {

constexpr std::size_t HEAD_LENGTH = 4;
constexpr std::size_t BODY_ROOM = MESSAGE_BUFFER_SIZE - HEAD_LENGTH;

// Writes every message's head, ESC } f and its code, and returns where its body goes (BODY_ROOM
// bytes, the NUL included: a body that does not fit is cut).
char* body_after_head(char* buffer, unsigned char code) {
    const char head[HEAD_LENGTH] = {static_cast<char>(ESCAPE), static_cast<char>(INTRODUCER), static_cast<char>(FAMILY),
                                    static_cast<char>(code)};
    std::memcpy(buffer, head, HEAD_LENGTH);
    return buffer + HEAD_LENGTH;
}

// The text as it lies in the buffer: snprintf reports the uncut length, which a cut body exceeds.
std::size_t text_length(const char* buffer) { return std::strlen(buffer); }

}  // namespace

std::size_t format_path_message(char* buffer, const char* path) {
    std::snprintf(body_after_head(buffer, CODE_PATH), BODY_ROOM, "%s", path);
    return text_length(buffer);
}

std::size_t format_size_message(char* buffer, std::uint64_t size) {
    std::snprintf(body_after_head(buffer, CODE_SIZE), BODY_ROOM, "%llu", static_cast<unsigned long long>(size));
    return text_length(buffer);
}

std::size_t format_block_header(char* buffer, std::int32_t checksum) {
    std::snprintf(body_after_head(buffer, CODE_BLOCK), BODY_ROOM, "%i ", checksum);
    return text_length(buffer);
}

std::size_t format_end_message(char* buffer) {
    *body_after_head(buffer, CODE_END) = '\0';
    return text_length(buffer);
}

std::size_t format_upload_request(char* buffer, const char* folder) {
    std::snprintf(body_after_head(buffer, CODE_UPLOAD_REQUEST), BODY_ROOM, "%s", folder);
    return text_length(buffer);
}

std::size_t format_upload_ack(char* buffer, std::uint64_t sequence) {
    std::snprintf(body_after_head(buffer, CODE_UPLOAD_ACK), BODY_ROOM, "%llu",
                  static_cast<unsigned long long>(sequence));
    return text_length(buffer);
}

std::size_t format_upload_failed(char* buffer, std::uint64_t file_sequence, const char* reason) {
    std::snprintf(body_after_head(buffer, CODE_UPLOAD_FAILED), BODY_ROOM, "%llu %s",
                  static_cast<unsigned long long>(file_sequence), reason);
    return text_length(buffer);
}

std::size_t format_upload_end(char* buffer, int status) {
    std::snprintf(body_after_head(buffer, CODE_UPLOAD_END), BODY_ROOM, "%d", status);
    return text_length(buffer);
}

std::size_t format_upload_clipboard(char* buffer, std::uint64_t chunk, const char* token) {
    std::snprintf(body_after_head(buffer, CODE_UPLOAD_CLIPBOARD), BODY_ROOM, "%llu %s",
                  static_cast<unsigned long long>(chunk), token);
    return text_length(buffer);
}

std::size_t format_upload_keys(char* buffer, bool dense) {
    std::snprintf(body_after_head(buffer, CODE_UPLOAD_KEYS), BODY_ROOM, "%d", dense ? 1 : 0);
    return text_length(buffer);
}

std::size_t format_upload_have(char* buffer, std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash) {
    char* body = body_after_head(buffer, CODE_UPLOAD_HAVE);
    const int length = std::snprintf(body, BODY_ROOM, "%llu;%llu", static_cast<unsigned long long>(query_sequence),
                                     static_cast<unsigned long long>(held));
    if (held > 0 && length > 0) {
        char* hex = body + length;
        *hex++ = ';';
        format_file_hash(hash, hex);
        hex[FILE_HASH_HEX_LENGTH] = '\0';
    }
    return text_length(buffer);
}

}  // namespace pushfile
