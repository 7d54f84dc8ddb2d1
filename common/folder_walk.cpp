#include "common/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace pushfile {
namespace {

constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// A subfolder's listing always gets at least this much of the arena, taken from the folders above
// when it is short.
constexpr std::size_t LEAST_BATCH_ROOM = 8192;
// What "/" travels as: it has no name of its own.
constexpr const char ROOT_FOLDER_NAME[] = "root";

static_assert(LEAST_BATCH_ROOM > WALK_NAME_MAX + 1 && BATCH_ARENA_SIZE > LEAST_BATCH_ROOM);
static_assert(SCAN_NAMES_SIZE <= UINT32_MAX && BATCH_ARENA_SIZE <= UINT32_MAX);

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

void close_folder(int* descriptor) {
    if (*descriptor >= 0) close(*descriptor);
    *descriptor = -1;
}

int set_folder_name(folder_walk* walk, const char* name, std::size_t length) {
    if (length > WALK_NAME_MAX) return ENAMETOOLONG;
    std::memcpy(walk->path, name, length);
    walk->path[length] = '\0';
    walk->name_length = length;
    return 0;
}

// Writes NAME at the start of walk->path. The argument's own last part when it is a plain name;
// after ".", ".." or a trailing "/" the user means the folder itself, whose real path names it.
int name_folder(folder_walk* walk, const char* folder) {
    std::size_t end = std::strlen(folder);
    const bool trailing_slash = end > 0 && folder[end - 1] == '/';
    while (end > 0 && folder[end - 1] == '/') --end;
    std::size_t start = end;
    while (start > 0 && folder[start - 1] != '/') --start;
    const std::size_t length = end - start;
    const bool dots =
        (length == 1 && folder[start] == '.') || (length == 2 && folder[start] == '.' && folder[start + 1] == '.');
    if (!trailing_slash && !dots && length > 0) return set_folder_name(walk, folder + start, length);

    char real_path[PATH_MAX];
    if (realpath(folder, real_path) == nullptr) return errno;
    const char* name = std::strrchr(real_path, '/') + 1;
    if (*name == '\0') return set_folder_name(walk, ROOT_FOLDER_NAME, sizeof ROOT_FOLDER_NAME - 1);
    return set_folder_name(walk, name, std::strlen(name));
}

bool name_before(const char* names, std::uint32_t a, std::uint32_t b) { return std::strcmp(names + a, names + b) < 0; }

// The listing holds too much: keeps the smaller half of its names, packed again, and from now on
// takes only names before the first one dropped.
void keep_smaller_half(folder_walk* walk, std::size_t* count, std::size_t* used) {
    std::uint32_t* index = walk->scan_index;
    char* names = walk->scan_names;
    std::sort(index, index + *count, [names](std::uint32_t a, std::uint32_t b) { return name_before(names, a, b); });
    const std::size_t keep = *count / 2;
    std::memcpy(walk->cutoff, names + index[keep], std::strlen(names + index[keep]) + 1);
    // Moving each kept name down in the order they lie never overwrites one not yet moved.
    std::sort(index, index + keep);
    std::size_t packed = 0;
    for (std::size_t i = 0; i < keep; ++i) {
        const std::size_t length = std::strlen(names + index[i]) + 1;
        std::memmove(names + packed, names + index[i], length);
        index[i] = static_cast<std::uint32_t>(packed);
        packed += length;
    }
    *count = keep;
    *used = packed;
}

// Lists the folder again and fills its batch with the smallest names after `after` (all names when
// null), as many as fit. Returns 0 or the error number of the listing.
int fill_batch(folder_walk* walk, const char* after) {
    name_batch& batch = walk->batch;
    const std::size_t room = std::min(SCAN_NAMES_SIZE, BATCH_ARENA_SIZE - batch.begin);
    if (lseek(walk->folder, 0, SEEK_SET) < 0) return errno;
    std::size_t count = 0;
    std::size_t used = 0;
    bool cut = false;
    for (;;) {
        const ssize_t listed = getdents64(walk->folder, walk->listing, sizeof walk->listing);
        if (listed < 0) return errno;
        if (listed == 0) break;
        for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
            dirent64 header;
            std::memcpy(&header, walk->listing + at, offsetof(dirent64, d_name));
            const char* name = reinterpret_cast<const char*>(walk->listing + at + offsetof(dirent64, d_name));
            at += header.d_reclen;
            if (is_dot_or_dot_dot(name) || (after != nullptr && std::strcmp(name, after) <= 0)) continue;
            if (cut && std::strcmp(name, walk->cutoff) >= 0) continue;
            const std::size_t length = std::strlen(name) + 1;
            // Linux keeps names to NAME_MAX bytes; one longer could not be opened anyway.
            if (length > WALK_NAME_MAX + 1) continue;
            bool dropped = false;
            while (!dropped && (count == SCAN_MAX_NAMES || used + length > room)) {
                keep_smaller_half(walk, &count, &used);
                cut = true;
                dropped = std::strcmp(name, walk->cutoff) >= 0;
            }
            if (dropped) continue;
            std::memcpy(walk->scan_names + used, name, length);
            walk->scan_index[count++] = static_cast<std::uint32_t>(used);
            used += length;
        }
    }
    const char* names = walk->scan_names;
    std::sort(walk->scan_index, walk->scan_index + count,
              [names](std::uint32_t a, std::uint32_t b) { return name_before(names, a, b); });
    std::size_t end = batch.begin;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = std::strlen(names + walk->scan_index[i]) + 1;
        std::memcpy(walk->arena + end, names + walk->scan_index[i], length);
        end += length;
    }
    batch.next = batch.begin;
    batch.end = static_cast<std::uint32_t>(end);
    batch.complete = !cut;
    return 0;
}

// Where the batch of the folder at depth starts: after the batches kept for the folders above.
std::uint32_t batch_begin(const folder_walk& walk, std::size_t depth) {
    return depth == 0 ? 0 : walk.kept[std::min(depth, KEPT_LEVELS) - 1].end;
}

// Drops the largest names of a kept batch that lie past limit; it is listed again on return.
void cut_batch(name_batch* batch, const char* arena, std::size_t limit) {
    std::size_t at = batch->next;
    while (at < batch->end) {
        const std::size_t length = std::strlen(arena + at) + 1;
        if (at + length > limit) break;
        at += length;
    }
    if (at < batch->end) {
        batch->end = static_cast<std::uint32_t>(at);
        batch->complete = false;
    }
}

// Keeps what is left of the folder's batch for its return and makes room for the subfolder's.
void keep_batch_for_return(folder_walk* walk) {
    name_batch& batch = walk->batch;
    if (walk->depth >= KEPT_LEVELS) return;  // listed again on return
    const std::size_t left = batch.end - batch.next;
    std::memmove(walk->arena + batch.begin, walk->arena + batch.next, left);
    batch.next = batch.begin;
    batch.end = static_cast<std::uint32_t>(batch.begin + left);
    walk->kept[walk->depth] = batch;
    const std::size_t limit = BATCH_ARENA_SIZE - LEAST_BATCH_ROOM;
    for (std::size_t level = walk->depth + 1; level-- > 0 && walk->kept[level].end > limit;)
        cut_batch(&walk->kept[level], walk->arena, limit);
}

// Goes back up to the parent folder, whose last entry handed out is the folder just left. The
// parent is opened again from the root, one part at a time, never following a link.
int leave_folder(folder_walk* walk) {
    if (walk->folder != walk->root) close_folder(&walk->folder);
    walk->folder = -1;
    walk->path_length = walk->folder_length;
    walk->path[walk->path_length] = '\0';
    std::size_t parent_length = walk->folder_length;
    while (walk->path[parent_length - 1] != '/') --parent_length;
    walk->folder_length = parent_length - 1;
    --walk->depth;
    if (walk->depth < KEPT_LEVELS) {
        walk->batch = walk->kept[walk->depth];
    } else {
        walk->batch = name_batch{};
        walk->batch.begin = walk->batch.next = walk->batch.end = batch_begin(*walk, walk->depth);
    }

    int folder = walk->root;
    for (std::size_t at = walk->name_length + 1; at < walk->folder_length;) {
        std::size_t end = at;
        while (end < walk->folder_length && walk->path[end] != '/') ++end;
        char part[WALK_NAME_MAX + 1];
        std::memcpy(part, walk->path + at, end - at);
        part[end - at] = '\0';
        const int next = openat(folder, part, FOLDER_FLAGS);
        const int error = errno;
        if (folder != walk->root) close(folder);
        if (next < 0) return error;
        folder = next;
        at = end + 1;
    }
    walk->folder = folder;
    return 0;
}

// The next name of the folder, or null when it has no more (*error set when its listing failed).
const char* next_name(folder_walk* walk, int* error) {
    name_batch& batch = walk->batch;
    if (batch.next == batch.end) {
        if (batch.complete) return nullptr;
        const char* after = walk->path_length > walk->folder_length ? walk->path + walk->folder_length + 1 : nullptr;
        *error = fill_batch(walk, after);
        if (*error != 0) {
            batch.next = batch.end = batch.begin;
            batch.complete = true;
            return nullptr;
        }
        if (batch.next == batch.end) return nullptr;
    }
    const char* name = walk->arena + batch.next;
    batch.next += static_cast<std::uint32_t>(std::strlen(name) + 1);
    return name;
}

// Opens a file that was listed as regular. O_NONBLOCK keeps a FIFO put in its place from holding
// the open; the type is checked again on what was opened.
walk_step open_listed_file(int folder, const char* name, walk_entry* entry) {
    entry->file = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (entry->file < 0) {
        entry->error = errno;
        if (entry->error != ELOOP) return walk_step::file;
        entry->skipped = skip_reason::symbolic_link;
        return walk_step::skipped;
    }
    struct stat info {};
    if (fstat(entry->file, &info) != 0 || !S_ISREG(info.st_mode)) {
        entry->error = errno;
        close_folder(&entry->file);
        entry->skipped = skip_reason_of(info.st_mode);
        return entry->error != 0 ? walk_step::file : walk_step::skipped;
    }
    (void)fcntl(entry->file, F_SETFL, fcntl(entry->file, F_GETFL) & ~O_NONBLOCK);
    return walk_step::file;
}

// The folder just opened, with its mode and time. One that cannot be looked at is reported
// entered all the same, with no permission bits: its files are walked as for any folder.
walk_step folder_entered(int folder, walk_entry* entry) {
    struct stat info {};
    if (fstat(folder, &info) == 0) {
        entry->mode = info.st_mode & 07777;
        entry->modified = info.st_mtim;
    }
    return walk_step::folder_entered;
}

}  // namespace

skip_reason skip_reason_of(mode_t mode) {
    if (S_ISLNK(mode)) return skip_reason::symbolic_link;
    if (S_ISFIFO(mode)) return skip_reason::fifo;
    if (S_ISSOCK(mode)) return skip_reason::socket;
    return skip_reason::device;
}

const char* describe(skip_reason reason) {
    switch (reason) {
        case skip_reason::symbolic_link: return "a symbolic link, not followed";
        case skip_reason::fifo: return "a FIFO";
        case skip_reason::device: return "a device";
        case skip_reason::socket: return "a socket";
        case skip_reason::path_too_long: return "its path is too long";
    }
    return "not a regular file";
}

int start_folder_walk(folder_walk* walk, const char* folder) {
    walk->root = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (walk->root < 0) return errno;
    const int error = name_folder(walk, folder);
    if (error != 0) {
        close_folder(&walk->root);
        return error;
    }
    walk->folder = walk->root;
    walk->root_entered = walk->leaving = false;
    walk->depth = 0;
    walk->folder_length = walk->path_length = walk->name_length;
    walk->batch = name_batch{};
    return 0;
}

walk_step next_walk_entry(folder_walk* walk, walk_entry* entry) {
    *entry = walk_entry{};
    entry->sent_path = walk->path;
    if (walk->report_folders && !walk->root_entered) {
        walk->root_entered = true;
        entry->relative_path = walk->path + walk->name_length;
        return folder_entered(walk->root, entry);
    }
    for (;;) {
        int error = 0;
        const char* name = next_name(walk, &error);
        if (name == nullptr) {
            if (error != 0) {
                // Reported under the folder's own path; the walk goes on above it.
                walk->path_length = walk->folder_length;
                walk->path[walk->path_length] = '\0';
                entry->relative_path = walk->path + std::min(walk->name_length + 1, walk->path_length);
                entry->error = error;
                return walk_step::unreadable;
            }
            if (walk->report_folders && !walk->leaving) {
                // Reported under the folder's own path; the next step goes up.
                walk->leaving = true;
                walk->path_length = walk->folder_length;
                walk->path[walk->path_length] = '\0';
                entry->relative_path = walk->path + std::min(walk->name_length + 1, walk->path_length);
                return walk_step::folder_left;
            }
            walk->leaving = false;
            if (walk->depth == 0) {
                walk->leaving = true;  // done stays done, the named folder left once
                return walk_step::done;
            }
            error = leave_folder(walk);
            if (error != 0) {
                walk->batch.next = walk->batch.end = walk->batch.begin;
                walk->batch.complete = true;
                walk->path_length = walk->folder_length;
                walk->path[walk->path_length] = '\0';
                entry->relative_path = walk->path + std::min(walk->name_length + 1, walk->path_length);
                entry->error = error;
                return walk_step::unreadable;
            }
            continue;
        }

        const std::size_t name_length = std::strlen(name);
        walk->path[walk->folder_length] = '/';
        std::memcpy(walk->path + walk->folder_length + 1, name, name_length + 1);
        walk->path_length = walk->folder_length + 1 + name_length;
        entry->relative_path = walk->path + walk->name_length + 1;
        if (walk->path_length > WALK_PATH_LIMIT) {
            entry->skipped = skip_reason::path_too_long;
            return walk_step::skipped;
        }

        struct stat info {};
        if (fstatat(walk->folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            entry->error = errno;
            return walk_step::unreadable;
        }
        if (S_ISREG(info.st_mode)) return open_listed_file(walk->folder, name, entry);
        if (!S_ISDIR(info.st_mode)) {
            entry->skipped = skip_reason_of(info.st_mode);
            return walk_step::skipped;
        }

        const int subfolder = openat(walk->folder, name, FOLDER_FLAGS);
        if (subfolder < 0) {
            entry->error = errno;
            return walk_step::unreadable;
        }
        keep_batch_for_return(walk);
        if (walk->folder != walk->root) close(walk->folder);
        walk->folder = subfolder;
        ++walk->depth;
        walk->folder_length = walk->path_length;
        walk->batch = name_batch{};
        walk->batch.begin = walk->batch.next = walk->batch.end = batch_begin(*walk, walk->depth);
        if (walk->report_folders) return folder_entered(subfolder, entry);
    }
}

void end_folder_walk(folder_walk* walk) {
    if (walk->folder != walk->root) close_folder(&walk->folder);
    close_folder(&walk->root);
    walk->folder = -1;
}

}  // namespace pushfile
