// What pullfile already holds of a file it is asked about: a partial file kept when an earlier
// upload broke, or (with --skip-identical) the file itself, of the same size and time. Partial
// files lie hidden beside the file they become: ".NAME.SIZE-SECONDS-NANOS.pullfile-part".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/file_hash.h"
#include "transfer/file_sink.h"
#include "transfer/upload_frames.h"

namespace pushfile::pull {

inline constexpr std::string_view PARTIAL_SUFFIX = ".pullfile-part";
// Partial files in pullfile's folder older than this are removed when it starts.
inline constexpr std::int64_t PARTIAL_LIFETIME_SECONDS = 7 * 24 * 60 * 60;
// The buffer the held bytes are read through.
inline constexpr std::size_t HELD_READ_SIZE = 65536;

// The partial file's name for a file saved as last_part, of this size and time.
std::string partial_name(std::string_view last_part, std::uint64_t size, const mode_and_time& attributes);

struct held_bytes {
    std::uint64_t count = 0;  // 0: nothing held
    file_hash hash;           // of those bytes, read now
    bool identical = false;   // the file itself, not a partial
};

// In folder_fd, for a file that would be saved as last_part: removes partial files of that name
// whose size or time differs (its source changed), then finds what is held. buffer: HELD_READ_SIZE.
// *partials_seen: whether the folder holds any partial file at all; when the caller knows it
// holds none (an earlier call said so), look_for_partials false spares listing it again.
held_bytes find_held(int folder_fd, const std::string& last_part, std::uint64_t size, const mode_and_time& attributes,
                     bool skip_identical, unsigned char* buffer, bool look_for_partials, bool* partials_seen);

// Feeds the first length bytes of fd (just opened: read from its start) to hasher and, when sink
// is given, writes them to its file in progress too. False, with *error, when fd holds fewer,
// cannot be read, or the write fails.
bool read_held(int fd, std::uint64_t length, file_hasher& hasher, unsigned char* buffer, file_sink* sink,
               std::string* error);

// Removes the partial files directly in folder_fd older than PARTIAL_LIFETIME_SECONDS.
void remove_old_partials(int folder_fd, std::int64_t now_seconds);

}  // namespace pushfile::pull
