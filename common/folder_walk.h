// The walk through a folder named on pushfile's command line or at the upload prompt: every entry
// beneath it, by name in byte order (strcmp), depth first, each with the path NAME/relative/path
// that the other side is told.
// All of it lives in fixed buffers, whatever the number of entries or the depth of the tree.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

namespace pushfile {

// Why an entry beneath a folder is not sent.
enum class skip_reason { symbolic_link, fifo, device, socket, path_too_long };

// Why an entry of this type (anything but a folder or a regular file) is not sent.
skip_reason skip_reason_of(mode_t mode);
// What was passed over, for people: "a symbolic link, not followed", "a FIFO", ...
const char* describe(skip_reason reason);

enum class walk_step {
    file,        // a regular file: entry.file is open for reading, or -1 with entry.error set
    skipped,     // an entry that is not sent: entry.skipped tells why
    unreadable,  // a folder that could not be opened or listed, or an entry that vanished: entry.error
    done,        // nothing more beneath the folder
    // With report_folders only: the walk entered a folder (the one named first, then each beneath
    // it that opened; entry.mode and entry.modified are its), and left it again after its entries.
    // Each folder entered is left, the named one last, just before done.
    folder_entered,
    folder_left,
};

struct walk_entry {
    const char* sent_path = nullptr;      // NAME/relative/path; valid until the next step
    const char* relative_path = nullptr;  // the part beneath the folder named
    int file = -1;
    int error = 0;
    skip_reason skipped = skip_reason::symbolic_link;
    mode_t mode = 0;       // folder_entered: its permission bits
    timespec modified{};  // folder_entered: its modification time
};

// Paths longer than this (without their NUL) are skipped as too long.
inline constexpr std::size_t WALK_PATH_LIMIT = 4095;
inline constexpr std::size_t WALK_NAME_MAX = 255;
// One listing of a folder keeps at most this many names, the smallest not yet handed out.
inline constexpr std::size_t SCAN_NAMES_SIZE = 65536;
inline constexpr std::size_t SCAN_MAX_NAMES = 4096;
// The sorted names still to hand out, of the current folder and of the folders above it.
inline constexpr std::size_t BATCH_ARENA_SIZE = 131072;
// Folders deeper than this keep no names while their subfolders are walked: they are listed again.
inline constexpr std::size_t KEPT_LEVELS = 64;
inline constexpr std::size_t LISTING_BUFFER_SIZE = 32768;

// Names sorted and packed, each with its NUL, at [next, end) of the arena; complete when the
// folder has no names after them.
struct name_batch {
    std::uint32_t begin = 0;
    std::uint32_t next = 0;
    std::uint32_t end = 0;
    bool complete = false;
};

struct folder_walk {
    // Set before start_folder_walk(): hand out folder_entered and folder_left too.
    bool report_folders = false;
    bool root_entered = false;      // reported
    bool leaving = false;           // folder_left was reported for the folder being walked
    int root = -1;                  // the folder named
    int folder = -1;                // the folder being walked: root or one beneath it
    std::size_t depth = 0;          // of folder below root
    std::size_t name_length = 0;    // of NAME at the start of path
    std::size_t folder_length = 0;  // of the folder's own path in path
    std::size_t path_length = 0;    // with the last entry handed out in folder, if any
    name_batch batch;               // of folder
    name_batch kept[KEPT_LEVELS];   // of the folders above, by depth
    char path[WALK_PATH_LIMIT + 1 + WALK_NAME_MAX + 2];
    char arena[BATCH_ARENA_SIZE];
    char scan_names[SCAN_NAMES_SIZE];
    std::uint32_t scan_index[SCAN_MAX_NAMES];
    char cutoff[WALK_NAME_MAX + 1];
    alignas(8) unsigned char listing[LISTING_BUFFER_SIZE];
};

// Opens the folder (a link named here is followed) and finds the name its entries travel under:
// its last part, or its real path's for ".", ".." and a trailing "/"; "root" for "/" itself.
// Returns 0, or the error number when the folder cannot be opened or named.
int start_folder_walk(folder_walk* walk, const char* folder);

// The next entry beneath the folder. Links inside it are never followed; files are opened without
// following a link and without blocking on a FIFO, and handed out only when they are regular.
walk_step next_walk_entry(folder_walk* walk, walk_entry* entry);

// Closes what the walk holds open. Safe to call more than once.
void end_folder_walk(folder_walk* walk);

}  // namespace pushfile
