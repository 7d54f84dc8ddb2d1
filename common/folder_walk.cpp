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

bool name_before(const char* names, std::uint32_t a, std::uint32_t b) { return std::strcmp(names + a, names + b) < 0; }

// Opens a file that was listed as regular. O_NONBLOCK keeps a FIFO put in its place from holding
// the open; the type is checked again on what was opened.
walk_step open_listed_file(int folder, const char* name, walk_entry* entry) {
    entry->file.reset(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!entry->file.valid()) {
        entry->error = errno;
        if (entry->error != ELOOP) return walk_step::file;
        entry->skipped = skip_reason::symbolic_link;
        return walk_step::skipped;
    }
    struct stat info {};
    if (fstat(entry->file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        entry->error = errno;
        entry->file.reset();
        entry->skipped = skip_reason_of(info.st_mode);
        return entry->error != 0 ? walk_step::file : walk_step::skipped;
    }
    (void)fcntl(entry->file.get(), F_SETFL, fcntl(entry->file.get(), F_GETFL) & ~O_NONBLOCK);
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

int folder_walk::set_folder_name(const char* name, std::size_t length) {
    if (length > WALK_NAME_MAX) return ENAMETOOLONG;
    std::memcpy(path_, name, length);
    path_[length] = '\0';
    name_length_ = length;
    return 0;
}

// Writes NAME at the start of path_. The argument's own last part when it is a plain name;
// after ".", ".." or a trailing "/" the user means the folder itself, whose real path names it.
int folder_walk::name_folder(const char* folder) {
    std::size_t end = std::strlen(folder);
    const bool trailing_slash = end > 0 && folder[end - 1] == '/';
    while (end > 0 && folder[end - 1] == '/') --end;
    std::size_t start = end;
    while (start > 0 && folder[start - 1] != '/') --start;
    const std::size_t length = end - start;
    const bool dots =
        (length == 1 && folder[start] == '.') || (length == 2 && folder[start] == '.' && folder[start + 1] == '.');
    if (!trailing_slash && !dots && length > 0) return set_folder_name(folder + start, length);

    char real_path[PATH_MAX];
    if (realpath(folder, real_path) == nullptr) return errno;
    const char* name = std::strrchr(real_path, '/') + 1;
    if (*name == '\0') return set_folder_name(ROOT_FOLDER_NAME, sizeof ROOT_FOLDER_NAME - 1);
    return set_folder_name(name, std::strlen(name));
}

// The listing holds too much: keeps the smaller half of its names, packed again, and from now on
// takes only names before the first one dropped.
void folder_walk::keep_smaller_half(std::size_t* count, std::size_t* used) {
    std::uint32_t* index = scan_index_;
    char* names = scan_names_;
    std::sort(index, index + *count, [names](std::uint32_t a, std::uint32_t b) { return name_before(names, a, b); });
    const std::size_t keep = *count / 2;
    std::memcpy(cutoff_, names + index[keep], std::strlen(names + index[keep]) + 1);
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
int folder_walk::fill_batch(const char* after) {
    name_batch& batch = batch_;
    const std::size_t room = std::min(SCAN_NAMES_SIZE, BATCH_ARENA_SIZE - batch.begin);
    if (lseek(folder(), 0, SEEK_SET) < 0) return errno;
    std::size_t count = 0;
    std::size_t used = 0;
    bool cut = false;
    for (;;) {
        const ssize_t listed = getdents64(folder(), listing_, sizeof listing_);
        if (listed < 0) return errno;
        if (listed == 0) break;
        for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
            dirent64 header;
            std::memcpy(&header, listing_ + at, offsetof(dirent64, d_name));
            const char* name = reinterpret_cast<const char*>(listing_ + at + offsetof(dirent64, d_name));
            at += header.d_reclen;
            if (is_dot_or_dot_dot(name) || (after != nullptr && std::strcmp(name, after) <= 0)) continue;
            if (cut && std::strcmp(name, cutoff_) >= 0) continue;
            const std::size_t length = std::strlen(name) + 1;
            // Linux keeps names to NAME_MAX bytes; one longer could not be opened anyway.
            if (length > WALK_NAME_MAX + 1) continue;
            bool dropped = false;
            while (!dropped && (count == SCAN_MAX_NAMES || used + length > room)) {
                keep_smaller_half(&count, &used);
                cut = true;
                dropped = std::strcmp(name, cutoff_) >= 0;
            }
            if (dropped) continue;
            std::memcpy(scan_names_ + used, name, length);
            scan_index_[count++] = static_cast<std::uint32_t>(used);
            used += length;
        }
    }
    const char* names = scan_names_;
    std::sort(scan_index_, scan_index_ + count,
              [names](std::uint32_t a, std::uint32_t b) { return name_before(names, a, b); });
    std::size_t end = batch.begin;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = std::strlen(names + scan_index_[i]) + 1;
        std::memcpy(arena_ + end, names + scan_index_[i], length);
        end += length;
    }
    batch.next = batch.begin;
    batch.end = static_cast<std::uint32_t>(end);
    batch.complete = !cut;
    return 0;
}

// Where the batch of the folder at depth starts: after the batches kept for the folders above.
std::uint32_t folder_walk::batch_begin(std::size_t depth) const {
    return depth == 0 ? 0 : kept_[std::min(depth, KEPT_LEVELS) - 1].end;
}

// Drops the largest names of a kept batch that lie past limit; it is listed again on return.
void folder_walk::cut_batch(name_batch* batch, const char* arena, std::size_t limit) {
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
void folder_walk::keep_batch_for_return() {
    name_batch& batch = batch_;
    if (depth_ >= KEPT_LEVELS) return;  // listed again on return
    const std::size_t left = batch.end - batch.next;
    std::memmove(arena_ + batch.begin, arena_ + batch.next, left);
    batch.next = batch.begin;
    batch.end = static_cast<std::uint32_t>(batch.begin + left);
    kept_[depth_] = batch;
    const std::size_t limit = BATCH_ARENA_SIZE - LEAST_BATCH_ROOM;
    for (std::size_t level = depth_ + 1; level-- > 0 && kept_[level].end > limit;)
        cut_batch(&kept_[level], arena_, limit);
}

// Goes back up to the parent folder, whose last entry handed out is the folder just left. The
// parent is opened again from the root, one part at a time, never following a link.
int folder_walk::leave_folder() {
    subfolder_.reset();
    path_length_ = folder_length_;
    path_[path_length_] = '\0';
    std::size_t parent_length = folder_length_;
    while (path_[parent_length - 1] != '/') --parent_length;
    folder_length_ = parent_length - 1;
    --depth_;
    if (depth_ < KEPT_LEVELS) {
        batch_ = kept_[depth_];
    } else {
        batch_ = name_batch{};
        batch_.begin = batch_.next = batch_.end = batch_begin(depth_);
    }

    owned_fd parent;  // none: the root itself
    for (std::size_t at = name_length_ + 1; at < folder_length_;) {
        std::size_t end = at;
        while (end < folder_length_ && path_[end] != '/') ++end;
        char part[WALK_NAME_MAX + 1];
        std::memcpy(part, path_ + at, end - at);
        part[end - at] = '\0';
        const int next = openat(parent.valid() ? parent.get() : root_.get(), part, FOLDER_FLAGS);
        if (next < 0) return errno;
        parent.reset(next);
        at = end + 1;
    }
    subfolder_ = std::move(parent);
    return 0;
}

// The next name of the folder, or null when it has no more (*error set when its listing failed).
const char* folder_walk::next_name(int* error) {
    name_batch& batch = batch_;
    if (batch.next == batch.end) {
        if (batch.complete) return nullptr;
        const char* after = path_length_ > folder_length_ ? path_ + folder_length_ + 1 : nullptr;
        *error = fill_batch(after);
        if (*error != 0) {
            batch.next = batch.end = batch.begin;
            batch.complete = true;
            return nullptr;
        }
        if (batch.next == batch.end) return nullptr;
    }
    const char* name = arena_ + batch.next;
    batch.next += static_cast<std::uint32_t>(std::strlen(name) + 1);
    return name;
}

void folder_walk::path_at_folder(walk_entry* entry) {
    path_length_ = folder_length_;
    path_[path_length_] = '\0';
    entry->relative_path = path_ + std::min(name_length_ + 1, path_length_);
}

bool folder_walk::start(const char* folder, bool report_folders) {
    end();
    root_.reset(open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_.valid()) return false;
    if (const int error = name_folder(folder); error != 0) {
        root_.reset();
        errno = error;
        return false;
    }
    report_folders_ = report_folders;
    root_entered_ = leaving_ = false;
    depth_ = 0;
    folder_length_ = path_length_ = name_length_;
    batch_ = name_batch{};
    return true;
}

walk_step folder_walk::next(walk_entry* entry) {
    *entry = walk_entry{};
    entry->sent_path = path_;
    if (!walking()) return walk_step::done;
    if (report_folders_ && !root_entered_) {
        root_entered_ = true;
        entry->relative_path = path_ + name_length_;
        return folder_entered(root_.get(), entry);
    }
    for (;;) {
        int error = 0;
        const char* name = next_name(&error);
        if (name == nullptr) {
            if (error != 0) {
                // Reported under the folder's own path; the walk goes on above it.
                path_at_folder(entry);
                entry->error = error;
                return walk_step::unreadable;
            }
            if (report_folders_ && !leaving_) {
                // Reported under the folder's own path; the next step goes up.
                leaving_ = true;
                path_at_folder(entry);
                return walk_step::folder_left;
            }
            leaving_ = false;
            if (depth_ == 0) {
                end();
                return walk_step::done;
            }
            error = leave_folder();
            if (error != 0) {
                batch_.next = batch_.end = batch_.begin;
                batch_.complete = true;
                path_at_folder(entry);
                entry->error = error;
                return walk_step::unreadable;
            }
            continue;
        }

        const std::size_t name_length = std::strlen(name);
        path_[folder_length_] = '/';
        std::memcpy(path_ + folder_length_ + 1, name, name_length + 1);
        path_length_ = folder_length_ + 1 + name_length;
        entry->relative_path = path_ + name_length_ + 1;
        if (path_length_ > WALK_PATH_LIMIT) {
            entry->skipped = skip_reason::path_too_long;
            return walk_step::skipped;
        }

        struct stat info {};
        if (fstatat(folder(), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            entry->error = errno;
            return walk_step::unreadable;
        }
        if (S_ISREG(info.st_mode)) return open_listed_file(folder(), name, entry);
        if (!S_ISDIR(info.st_mode)) {
            entry->skipped = skip_reason_of(info.st_mode);
            return walk_step::skipped;
        }

        owned_fd subfolder(openat(folder(), name, FOLDER_FLAGS));
        if (!subfolder.valid()) {
            entry->error = errno;
            return walk_step::unreadable;
        }
        keep_batch_for_return();
        subfolder_ = std::move(subfolder);
        ++depth_;
        folder_length_ = path_length_;
        batch_ = name_batch{};
        batch_.begin = batch_.next = batch_.end = batch_begin(depth_);
        if (report_folders_) return folder_entered(subfolder_.get(), entry);
    }
}

void folder_walk::end() {
    subfolder_.reset();
    root_.reset();
}

}  // namespace pushfile
