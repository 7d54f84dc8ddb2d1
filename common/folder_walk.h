// The walk through a folder named on pushfile's command line or at the upload prompt: every entry
// beneath it, by name in byte order (strcmp), depth first, each with the path NAME/relative/path
// that the other side is told.
// All of it lives in fixed buffers inside the walk, whatever the number of entries or the depth of
// the tree: the sender walks on its transfer path, where nothing is allocated.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "common/owned_fd.h"

namespace pushfile {

// Why an entry beneath a folder is not sent.
enum class skip_reason { symbolic_link, fifo, device, socket, path_too_long };

// Why an entry of this type (anything but a folder or a regular file) is not sent.
skip_reason skip_reason_of(mode_t mode);
// What was passed over, for people: "a symbolic link, not followed", "a FIFO", ...
const char* describe(skip_reason reason);

enum class walk_step {
    file,        // a regular file: entry.file is open for reading, or holds none with entry.error set
    skipped,     // an entry that is not sent: entry.skipped tells why
    unreadable,  // a folder that could not be opened or listed, or an entry that vanished: entry.error
    done,        // nothing more beneath the folder; the walk has closed what it held
    // With folders reported only: the walk entered a folder (the one named first, then each
    // beneath it that opened; entry.mode and entry.modified are its), and left it again after its
    // entries. Each folder entered is left, the named one last, just before done.
    folder_entered,
    folder_left,
};

struct walk_entry {
    const char* sent_path = nullptr;      // NAME/relative/path; valid until the next step
    const char* relative_path = nullptr;  // the part beneath the folder named
    owned_fd file;                        // walk_step::file: the file, now the caller's
    int error = 0;                        // an error number, for strerror()
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

// About 250 KB: keep one for the run (static, or on the stack of a long-lived frame) rather than
// one per folder.
class folder_walk {
public:
    folder_walk() = default;
    ~folder_walk() { end(); }
    folder_walk(const folder_walk&) = delete;
    folder_walk& operator=(const folder_walk&) = delete;

    // Ends any walk under way, then opens the folder (a link named here is followed) and finds the
    // name its entries travel under: its last part, or its real path's for ".", ".." and a
    // trailing "/"; "root" for "/" itself. With report_folders, folder_entered and folder_left are
    // handed out too. Returns false, with errno set, when the folder cannot be opened or named.
    bool start(const char* folder, bool report_folders = false);

    // The next entry beneath the folder. Links inside it are never followed; files are opened
    // without following a link and without blocking on a FIFO, and handed out only when they are
    // regular. Once the walk is done, or without one, every call is done.
    walk_step next(walk_entry* entry);

    // Closes what the walk holds open; safe to call at any time, and more than once.
    void end();
    // From a successful start() until done or end().
    bool walking() const { return root_.valid(); }

private:
    // Names sorted and packed, each with its NUL, at [next, end) of the arena; complete when the
    // folder has no names after them.
    struct name_batch {
        std::uint32_t begin = 0;
        std::uint32_t next = 0;
        std::uint32_t end = 0;
        bool complete = false;
    };

    int folder() const { return depth_ == 0 ? root_.get() : subfolder_.get(); }
    int set_folder_name(const char* name, std::size_t length);
    int name_folder(const char* folder);
    void keep_smaller_half(std::size_t* count, std::size_t* used);
    int fill_batch(const char* after);
    std::uint32_t batch_begin(std::size_t depth) const;
    static void cut_batch(name_batch* batch, const char* arena, std::size_t limit);
    void keep_batch_for_return();
    int leave_folder();
    const char* next_name(int* error);
    // Ends the path at the folder being walked: an entry reported under the folder's own path.
    void path_at_folder(walk_entry* entry);

    bool report_folders_ = false;
    bool root_entered_ = false;     // reported
    bool leaving_ = false;          // folder_left was reported for the folder being walked
    owned_fd root_;                 // the folder named
    owned_fd subfolder_;            // the folder being walked beneath it, at depth_ > 0
    std::size_t depth_ = 0;         // of the folder being walked, below root_
    std::size_t name_length_ = 0;   // of NAME at the start of path_
    std::size_t folder_length_ = 0; // of the folder's own path in path_
    std::size_t path_length_ = 0;   // with the last entry handed out in the folder, if any
    name_batch batch_;              // of the folder being walked
    name_batch kept_[KEPT_LEVELS];  // of the folders above, by depth
    char path_[WALK_PATH_LIMIT + 1 + WALK_NAME_MAX + 2] = {};
    char arena_[BATCH_ARENA_SIZE] = {};
    char scan_names_[SCAN_NAMES_SIZE] = {};
    std::uint32_t scan_index_[SCAN_MAX_NAMES] = {};
    char cutoff_[WALK_NAME_MAX + 1] = {};
    alignas(8) unsigned char listing_[LISTING_BUFFER_SIZE] = {};
};

}  // namespace pushfile
