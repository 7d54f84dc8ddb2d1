// Complete writes, the one way every part of both programs hands bytes to a descriptor in full.
#pragma once

#include <cstddef>

namespace pushfile {

// Writes length bytes to fd, going on after partial writes, retrying when interrupted and waiting
// in poll() when the descriptor is non-blocking and full. Returns the bytes written: length when
// all went through, less on failure, with errno saying why (EIO for a write that took nothing
// and reported no error, which would otherwise repeat for ever).
std::size_t write_all(int fd, const void* bytes, std::size_t length);

// Moves a descriptor off 0-2 (closing the original) so that it cannot be mistaken for a standard
// one when those are closed; the result is close-on-exec. Returns it, or -1 with errno set.
int move_above_standard(int fd);

// "/proc/self/fd/N": opens fd's file afresh, with flags of its own, or names it to linkat().
struct descriptor_path {
    char text[32];
};
descriptor_path path_of_descriptor(int fd);

}  // namespace pushfile
