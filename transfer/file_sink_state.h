// The file sink's state, shared by its units (file_sink.cpp: files and folders made and saved;
// file_sink_kept.cpp: files kept as partial, replaced, or looked at in place). Private to them.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/display.h"
#include "common/failure.h"
#include "common/io.h"
#include "common/owned_fd.h"
#include "transfer/file_sink.h"
#include <linux/openat2.h>

namespace pushfile {
namespace file_sink_detail {

// Past this many numbered variants something is wrong with the directory; say so instead of
// probing further.
inline constexpr unsigned MAX_NUMBERED_VARIANT = 9999;
// A clash between two random 64-bit names means something else is creating them; give up soon.
inline constexpr int TEMPORARY_NAME_ATTEMPTS = 8;
// openat2() fails with EAGAIN when a rename elsewhere raced its resolution; it is safe to retry.
inline constexpr int RESOLVE_ATTEMPTS = 8;
inline constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Opens path, relative to folder_fd and made of clean parts, as a folder one part at a time,
// following no link. Holds none, with errno set, on failure.
inline owned_fd walk_to_folder(int folder_fd, std::string_view path) {
    owned_fd current(fcntl(folder_fd, F_DUPFD_CLOEXEC, 0));
    while (current.valid() && !path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string part(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        current.reset(openat(current.get(), part.c_str(), FOLDER_FLAGS | O_NOFOLLOW));
    }
    return current;
}

}  // namespace file_sink_detail

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
    bool replace_existing = false;
    bool saved_replaced = false;
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
            how.flags = static_cast<std::uint64_t>(file_sink_detail::FOLDER_FLAGS);
            how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
            const std::string text(path);
            for (int attempt = 0; attempt < file_sink_detail::RESOLVE_ATTEMPTS; ++attempt) {
                const long fd = syscall(SYS_openat2, directory_fd.get(), text.c_str(), &how, sizeof how);
                if (fd >= 0) return owned_fd(static_cast<int>(fd));
                if (errno != EAGAIN) break;
            }
            if (errno != ENOSYS && errno != EPERM) return {};
            options.use_openat2 = false;
        }
        return file_sink_detail::walk_to_folder(directory_fd.get(), path);
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
            int next = openat(current.get(), part.c_str(), file_sink_detail::FOLDER_FLAGS | O_NOFOLLOW);
            if (next < 0 && errno == ENOENT) {
                if (mkdirat(current.get(), part.c_str(), 0777) == 0) {
                    if (made_from == std::string::npos) made_from = at;
                    // The new folder must survive a crash as the file's name does; a failed
                    // flush leaves its errno for the message.
                    next =
                        fsync(current.get()) == 0 ? openat(current.get(), part.c_str(), file_sink_detail::FOLDER_FLAGS | O_NOFOLLOW) : -1;
                } else if (errno == EEXIST) {
                    next = openat(current.get(), part.c_str(), file_sink_detail::FOLDER_FLAGS | O_NOFOLLOW);
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
        for (int attempt = 0; attempt < file_sink_detail::TEMPORARY_NAME_ATTEMPTS; ++attempt) {
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
    // Defined in file_sink_kept.cpp: puts the file in progress over a regular file of that name.
    bool place_over(const std::string& candidate);

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

}  // namespace pushfile
