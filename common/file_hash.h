// A file's whole-content hash as the upload carries it: XXH3-128, written as 32 lowercase hex
// digits, high half first. Both sides of an upload compute it: the receiver over the file it
// sends, pullfile over what it saved and over a partial file it offers to resume.
#pragma once

// Inlined rather than linked, so that every architecture's static build has it without a library.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/display.h"

namespace pushfile {

struct file_hash {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool operator==(const file_hash&) const = default;
};

// Streams bytes in pieces of any size; its state lives in the object, none on the heap.
class file_hasher {
public:
    file_hasher() { reset(); }
    void reset() { (void)XXH3_128bits_reset(&state_); }
    void update(const void* bytes, std::size_t length) {
        if (length > 0) (void)XXH3_128bits_update(&state_, bytes, length);
    }
    file_hash digest() const {
        const XXH128_hash_t value = XXH3_128bits_digest(&state_);
        return {value.high64, value.low64};
    }

private:
    XXH3_state_t state_{};
};

inline constexpr std::size_t FILE_HASH_HEX_LENGTH = 32;

// Writes exactly FILE_HASH_HEX_LENGTH bytes, no NUL.
inline void format_file_hash(const file_hash& hash, char out[FILE_HASH_HEX_LENGTH]) {
    format_hex(hash.high, 16, out);
    format_hex(hash.low, 16, out + 16);
}

// Exactly FILE_HASH_HEX_LENGTH lowercase hex digits; anything else is refused, *hash untouched.
inline bool parse_file_hash(std::string_view hex, file_hash* hash) {
    file_hash parsed;
    if (hex.size() != FILE_HASH_HEX_LENGTH || !parse_hex(hex.substr(0, 16), &parsed.high) ||
        !parse_hex(hex.substr(16), &parsed.low))
        return false;
    *hash = parsed;
    return true;
}

}  // namespace pushfile
