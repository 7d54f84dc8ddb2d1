// Complete reads and writes, the one way every part of the programs moves bytes through a
// descriptor in full, and descriptors kept clear of the standard ones. Failures come back as false
// (or -1) with errno saying why: the sender moves its messages through here while transferring,
// where nothing may take from the heap to build a text.
#pragma once

#include <cstddef>

namespace pushfile {

// Writes length bytes to fd, going on after partial writes, retrying when interrupted and waiting
// in poll() when the descriptor is non-blocking and full. Returns true when all went through;
// false with errno saying why (EIO for a write that took nothing and reported no error, which
// would otherwise repeat for ever).
bool write_all(int fd, const void* bytes, std::size_t length);

// Reads into buffer until length bytes came or the input ended, going on after partial reads and
// retrying when interrupted. *got is the count of bytes read, less than length only at the end of
// the input or on failure. Returns false, with errno saying why, when a read fails.
bool read_full(int fd, void* buffer, std::size_t length, std::size_t* got);

// Moves a descriptor off 0-2 (closing the original) so that it cannot be mistaken for a standard
// one when those are closed; the result is close-on-exec, for the caller's owned_fd. Returns it,
// or -1 with errno set.
int move_above_standard(int fd);

// "/proc/self/fd/N": opens fd's file afresh, with flags of its own, or names it to linkat().
struct descriptor_path {
    char text[32];
};
descriptor_path path_of_descriptor(int fd);

}  // namespace pushfile
