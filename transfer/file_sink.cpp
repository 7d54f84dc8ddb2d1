#include "transfer/file_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/display.h"
#include "common/failure.h"
#include "common/io.h"
#include "common/owned_fd.h"
#include <linux/openat2.h>

namespace pushfile {
namespace {

// Past this many numbered variants something is wrong with the directory; say so instead of
// probing further.
constexpr unsigned MAX_NUMBERED_VARIANT = 9999;
// A clash between two random 64-bit names means something else is creating them; give up soon.
constexpr int TEMPORARY_NAME_ATTEMPTS = 8;
// openat2() fails with EAGAIN when a rename elsewhere raced its resolution; it is safe to retry.
constexpr int RESOLVE_ATTEMPTS = 8;
constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Opens path, relative to folder_fd and made of clean parts, as a folder one part at a time,
// following no link. Holds none, with errno set, on failure.
owned_fd walk_to_folder(int folder_fd, std::string_view path) {
    owned_fd current(fcntl(folder_fd, F_DUPFD_CLOEXEC, 0));
    while (current.valid() && !path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string part(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        current.reset(openat(current.get(), part.c_str(), FOLDER_FLAGS | O_NOFOLLOW));
    }
    return current;
}

}  // namespace

struct file_sink::state {
    std::string directory;  // as given, for messages only
    owned_fd directory_fd;
    // The folder of the file in progress, or of the last one saved, beneath the directory: its
    // path ("" for the directory itself) and its descriptor, held from begin() to the next begin().
    std::string folder;
    owned_fd folder_fd;
    // Where in folder the parts begin() made start, while the file is not saved: they are removed
    // again, if still empty, when it is given up. npos when none were made.
    std::size_t made_from = std::string::npos;
    owned_fd file_fd;  // the temporary file of the file in progress
    // The last file saved, kept open so that a file that grows while it is sent gets the rest
    // added to what was saved, not to whatever its name may lead to by then.
    owned_fd saved_fd;
    std::string temporary_name;  // empty when that file has no name
    std::string clean_name;      // the last part of the path
    std::string saved_name;      // the saved file's path beneath the directory
    std::string saved_last_part;
    // The saved file's identity, so that taking it back never removes another file.
    dev_t saved_device = 0;
    ino_t saved_inode = 0;
    std::string open_error;  // why the directory could not be opened
    // For the file in progress: set before its name is given, when keep_mode_and_time() said so.
    timespec kept_time{};
    mode_t kept_mode = 0;
    mode_t umask_bits = 0;
    file_sink_options options;
    bool keep_attributes = false;
    bool try_unnamed = true;  // cleared once the file system turns O_TMPFILE down
    bool path_refused = false;
    bool saved_renamed = false;
    bool name_cleaned = false;  // the file in progress goes under another path than the one sent

    // Whatever the last file or folder left: its temporary file, the saved file, its folder.
    void start_over() {
        discard();
        saved_fd.reset();
        folder_fd.reset();
        saved_name.clear();
        path_refused = false;
    }

    mode_t masked(unsigned mode) const { return static_cast<mode_t>(mode) & 0777 & ~umask_bits; }

    // Mode and time on a file or folder this sink made; false with errno set when they failed.
    bool set_mode_and_time(int fd, mode_t mode, const timespec& modified) const {
        const timespec times[2] = {{0, UTIME_OMIT}, modified};
        return fchmod(fd, mode) == 0 && futimens(fd, times) == 0;
    }

    std::string shown_folder() const {
        return escaped_for_display(folder.empty() ? directory : directory + "/" + folder);
    }

    // Opens a folder beneath the directory by the kernel's resolution, which refuses links and any
    // way out; without openat2() (older kernels, qemu-user, some sandboxes), a part at a time.
    owned_fd open_folder_beneath(std::string_view path) {
        if (path.empty()) return owned_fd(fcntl(directory_fd.get(), F_DUPFD_CLOEXEC, 0));
        if (options.use_openat2) {
            open_how how{};
            how.flags = static_cast<std::uint64_t>(FOLDER_FLAGS);
            how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
            const std::string text(path);
            for (int attempt = 0; attempt < RESOLVE_ATTEMPTS; ++attempt) {
                const long fd = syscall(SYS_openat2, directory_fd.get(), text.c_str(), &how, sizeof how);
                if (fd >= 0) return owned_fd(static_cast<int>(fd));
                if (errno != EAGAIN) break;
            }
            if (errno != ENOSYS && errno != EPERM) return {};
            options.use_openat2 = false;
        }
        return walk_to_folder(directory_fd.get(), path);
    }

    // Opens folder_fd on folder, making the parts that are missing (with the umask's permissions)
    // and flushing the parent of each.
    bool open_folder(std::string* error) {
        folder_fd = open_folder_beneath(folder);
        if (folder_fd.valid()) return true;
        // Some part is missing or is no folder: find which, a part at a time, and make those missing.
        // Each part is one clean name (no '/', never ".."), so this walk cannot leave the directory.
        owned_fd current(fcntl(directory_fd.get(), F_DUPFD_CLOEXEC, 0));
        for (std::size_t at = 0; current.valid() && at < folder.size();) {
            std::size_t end = folder.find('/', at);
            if (end == std::string::npos) end = folder.size();
            const std::string part = folder.substr(at, end - at);
            int next = openat(current.get(), part.c_str(), FOLDER_FLAGS | O_NOFOLLOW);
            if (next < 0 && errno == ENOENT) {
                if (mkdirat(current.get(), part.c_str(), 0777) == 0) {
                    if (made_from == std::string::npos) made_from = at;
                    // The new folder must survive a crash as the file's name does; a failed
                    // flush leaves its errno for the message.
                    next =
                        fsync(current.get()) == 0 ? openat(current.get(), part.c_str(), FOLDER_FLAGS | O_NOFOLLOW) : -1;
                } else if (errno == EEXIST) {
                    next = openat(current.get(), part.c_str(), FOLDER_FLAGS | O_NOFOLLOW);
                }
            }
            current.reset(next);
            if (!current.valid()) return refuse_folder(folder.substr(0, end), errno, error);
            at = end + 1;
        }
        folder_fd = std::move(current);
        return folder_fd.valid() || refuse_folder(folder, errno, error);
    }

    bool refuse_folder(const std::string& failed, int error_number, std::string* error) {
        path_refused = true;
        const std::string what = "cannot save " + escaped_for_display(folder + "/" + clean_name) + ": ";
        if (error_number == ELOOP || error_number == ENOTDIR || error_number == EXDEV) {
            *error = what + escaped_for_display(failed) + " in " + escaped_for_display(directory) +
                   " is a file or a link, not a folder";
        } else {
            *error = failure_text(what + "cannot make the folder " + escaped_for_display(failed) + " in " +
                                    escaped_for_display(directory),
                                error_number);
        }
        remove_made_folders();
        return false;
    }

    // The folders made for a file that was given up go again, deepest first, if still empty.
    void remove_made_folders() {
        if (made_from == std::string::npos) return;
        std::string_view path = folder;
        while (path.size() > made_from) {
            const auto [parent, last] = split_last(path);
            const owned_fd parent_fd = open_folder_beneath(parent);
            if (!parent_fd.valid()) break;
            const std::string name(last);
            const bool removed = unlinkat(parent_fd.get(), name.c_str(), AT_REMOVEDIR) == 0;
            if (removed) (void)fsync(parent_fd.get());
            if (!removed) break;
            path = parent;
        }
        made_from = std::string::npos;
    }

    void discard() {
        if (!file_fd.valid()) return;
        file_fd.reset();
        if (!temporary_name.empty()) {
            unlinkat(folder_fd.get(), temporary_name.c_str(), 0);
            temporary_name.clear();
        }
        remove_made_folders();
    }

    bool open_named_temporary(std::string* error) {
        for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
            std::string name;
            if (!random_temporary_name(name)) break;
            const int fd =
                openat(folder_fd.get(), name.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0666);
            if (fd >= 0) {
                file_fd.reset(fd);
                temporary_name = std::move(name);
                return true;
            }
            if (errno != EEXIST) break;
        }
        const int error_number = errno;  // before building the text, which may change it
        *error = failure_text(
            "cannot create a temporary file for " + escaped_for_display(clean_name) + " in " + shown_folder(),
            error_number);
        remove_made_folders();
        return false;
    }

    // Gives the temporary file the name candidate unless something already has it. On failure
    // errno says why (EEXIST: the name is taken, a symlink included).
    bool place(const std::string& candidate) {
        if (temporary_name.empty()) {
            const descriptor_path link_path = path_of_descriptor(file_fd.get());
            if (linkat(AT_FDCWD, link_path.text, folder_fd.get(), candidate.c_str(), AT_SYMLINK_FOLLOW) == 0)
                return true;
            const int error_number = errno;
            // Without /proc the descriptor itself still works where privileges allow it.
            if (error_number == ENOENT &&
                linkat(file_fd.get(), "", folder_fd.get(), candidate.c_str(), AT_EMPTY_PATH) == 0)
                return true;
            errno = error_number;
            return false;
        }
        if (renameat2(folder_fd.get(), temporary_name.c_str(), folder_fd.get(), candidate.c_str(), RENAME_NOREPLACE) ==
            0) {
            temporary_name.clear();
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) return false;
        // No RENAME_NOREPLACE here: a hard link refuses existing names just as well.
        if (linkat(folder_fd.get(), temporary_name.c_str(), folder_fd.get(), candidate.c_str(), 0) != 0) return false;
        unlinkat(folder_fd.get(), temporary_name.c_str(), 0);
        temporary_name.clear();
        return true;
    }
};

file_sink::file_sink(const std::string& directory, file_sink_options options) : state_(std::make_unique<state>()) {
    state_->directory = directory;
    state_->options = options;
    // The process's umask can only be read by setting it: put straight back.
    state_->umask_bits = umask(0);
    umask(state_->umask_bits);
    state_->directory_fd.reset(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!state_->directory_fd.valid()) {
        const int error_number = errno;
        state_->open_error = failure_text("cannot open the directory " + escaped_for_display(directory), error_number);
    }
}

file_sink::~file_sink() { state_->discard(); }

bool file_sink::ok() const { return state_->directory_fd.valid(); }

bool file_sink::check_writable(std::string* error) {
    if (!ok()) {
        *error = state_->open_error;
        return false;
    }
    std::string probe_error;
    const bool writable = begin("probe", &probe_error);
    abort();
    if (!writable) {
        // Say it about the directory, not about a file nobody sent.
        const std::size_t reason = probe_error.rfind(": ");
        *error = "cannot save files in " + escaped_for_display(state_->directory) +
               (reason == std::string::npos ? std::string() : probe_error.substr(reason));
    }
    return writable;
}

bool file_sink::begin(std::string_view sent_path, std::string* error) {
    state& s = *state_;
    s.start_over();
    s.keep_attributes = false;
    const std::string relative = s.options.keep_folders ? clean_relative_path(sent_path) : clean_file_name(sent_path);
    s.name_cleaned = relative != as_sent(sent_path, s.options.keep_folders);
    const auto [folder, name] = split_last(relative);
    s.folder = folder;
    s.clean_name = name;
    if (!s.directory_fd.valid()) {
        *error = "cannot save " + escaped_for_display(relative) + ": the directory " + escaped_for_display(s.directory) +
               " is not open";
        return false;
    }
    if (relative.size() > MAX_RELATIVE_PATH_LENGTH) {
        s.path_refused = true;
        *error = "cannot save " + escaped_for_display(relative.substr(0, 64)) + "...: its path is longer than " +
               std::to_string(MAX_RELATIVE_PATH_LENGTH) + " bytes";
        return false;
    }
    if (!s.open_folder(error)) return false;
    if (s.try_unnamed) {
        const int fd = openat(s.folder_fd.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            s.file_fd.reset(fd);
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            const int error_number = errno;
            *error = failure_text(
                "cannot create a temporary file for " + escaped_for_display(s.clean_name) + " in " + s.shown_folder(),
                error_number);
            s.remove_made_folders();
            return false;
        }
        s.try_unnamed = false;
    }
    return s.open_named_temporary(error);
}

void file_sink::keep_mode_and_time(unsigned mode, const timespec& modified) {
    state& s = *state_;
    s.keep_attributes = true;
    s.kept_mode = s.masked(mode);
    s.kept_time = modified;
}

bool file_sink::make_folder(std::string_view sent_path, made_folder* made, std::string* error) {
    state& s = *state_;
    s.start_over();
    *made = made_folder{};
    made->path = clean_relative_path(sent_path);
    s.folder = made->path;
    s.clean_name.clear();
    if (!s.directory_fd.valid()) {
        *error = "cannot make the folder " + escaped_for_display(made->path) + ": the directory " +
               escaped_for_display(s.directory) + " is not open";
        return false;
    }
    if (made->path.size() > MAX_RELATIVE_PATH_LENGTH) {
        s.path_refused = true;
        *error = "cannot make the folder " + escaped_for_display(made->path.substr(0, 64)) +
               "...: its path is longer than " + std::to_string(MAX_RELATIVE_PATH_LENGTH) + " bytes";
        return false;
    }
    if (!s.open_folder(error)) return false;
    made->made = s.made_from != std::string::npos;
    s.made_from = std::string::npos;  // kept, empty or not: an empty folder was sent as one
    struct stat status {};
    if (fstat(s.folder_fd.get(), &status) == 0) {
        made->device = status.st_dev;
        made->inode = status.st_ino;
    } else {
        made->made = false;  // without its identity it cannot be told from another later
    }
    return true;
}

bool file_sink::finish_folder(const made_folder& made, unsigned mode, const timespec& modified, std::string* error) {
    state& s = *state_;
    if (!made.made) return true;
    const owned_fd fd = s.open_folder_beneath(made.path);
    struct stat status {};
    if (!fd.valid() || fstat(fd.get(), &status) != 0 || status.st_dev != made.device || status.st_ino != made.inode)
        return true;  // gone or replaced: not ours to change
    if (!s.set_mode_and_time(fd.get(), s.masked(mode), modified) || fsync(fd.get()) != 0) {
        const int error_number = errno;
        *error =
            failure_text("cannot set the mode and time of the folder " + escaped_for_display(made.path), error_number);
        return false;
    }
    return true;
}

bool file_sink::path_refused() const { return state_->path_refused; }

bool file_sink::write(const unsigned char* bytes, std::size_t length, std::string* error) {
    state& s = *state_;
    if (!s.file_fd.valid()) {
        *error = "cannot write: no file is being received";
        return false;
    }
    if (!write_all(s.file_fd.get(), bytes, length)) {
        const int error_number = errno;
        s.discard();
        *error = failure_text("cannot write " + escaped_for_display(s.clean_name), error_number);
        return false;
    }
    return true;
}

bool file_sink::commit(std::string* error) {
    state& s = *state_;
    if (!s.file_fd.valid()) {
        *error = "cannot save: no file is being received";
        return false;
    }
    if (s.keep_attributes && !s.set_mode_and_time(s.file_fd.get(), s.kept_mode, s.kept_time)) {
        const int error_number = errno;
        s.discard();
        *error = failure_text("cannot set the mode and time of " + escaped_for_display(s.clean_name), error_number);
        return false;
    }
    if (fsync(s.file_fd.get()) != 0) {
        const int error_number = errno;
        s.discard();
        *error = failure_text("cannot write " + escaped_for_display(s.clean_name) + " to disk", error_number);
        return false;
    }
    for (unsigned number = 0; number <= MAX_NUMBERED_VARIANT; ++number) {
        const std::string candidate = numbered_name(s.clean_name, number);
        if (!s.place(candidate)) {
            const int error_number = errno;
            if (error_number == EEXIST) continue;
            s.discard();
            *error =
                failure_text("cannot save " + escaped_for_display(candidate) + " in " + s.shown_folder(), error_number);
            return false;
        }
        struct stat saved_status {};
        const bool identified = fstat(s.file_fd.get(), &saved_status) == 0;
        s.saved_fd = std::move(s.file_fd);
        // The name must survive a crash as well, else the file is not saved; take it back if not.
        if (fsync(s.folder_fd.get()) != 0) {
            const int fsync_error = errno;
            s.saved_fd.reset();
            unlinkat(s.folder_fd.get(), candidate.c_str(), 0);
            s.remove_made_folders();
            *error = failure_text("cannot save " + escaped_for_display(candidate) + ": flushing the directory " +
                                    s.shown_folder() + " failed",
                                fsync_error);
            return false;
        }
        s.made_from = std::string::npos;  // the folders made hold the file now
        s.saved_last_part = candidate;
        s.saved_renamed = number > 0 || s.name_cleaned;
        s.saved_name = s.folder.empty() ? candidate : s.folder + "/" + candidate;
        s.saved_device = identified ? saved_status.st_dev : 0;
        s.saved_inode = identified ? saved_status.st_ino : 0;
        return true;
    }
    s.discard();
    *error = "cannot save " + escaped_for_display(s.clean_name) + ": that name and its numbered variants up to ." +
           std::to_string(MAX_NUMBERED_VARIANT) + " are all taken in " + s.shown_folder();
    return false;
}

const std::string& file_sink::saved_name() const { return state_->saved_name; }

bool file_sink::append_to_saved(const unsigned char* bytes, std::size_t length, std::string* error) {
    state& s = *state_;
    if (!s.saved_fd.valid()) {
        *error = "cannot add to a saved file: none is open";
        return false;
    }
    if (!write_all(s.saved_fd.get(), bytes, length) || fsync(s.saved_fd.get()) != 0) {
        *error = failure_text("cannot write " + escaped_for_display(s.saved_name), errno);
        return false;
    }
    return true;
}

bool file_sink::renamed() const { return state_->saved_renamed; }

bool file_sink::remove_saved() {
    state& s = *state_;
    if (s.saved_name.empty() || s.saved_inode == 0 || !s.folder_fd.valid()) return false;
    struct stat status {};
    const char* name = s.saved_last_part.c_str();
    const bool same = fstatat(s.folder_fd.get(), name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                      status.st_dev == s.saved_device && status.st_ino == s.saved_inode;
    if (!same || unlinkat(s.folder_fd.get(), name, 0) != 0) return false;
    (void)fsync(s.folder_fd.get());
    s.saved_fd.reset();
    s.saved_name.clear();
    return true;
}

void file_sink::abort() { state_->discard(); }

}  // namespace pushfile
