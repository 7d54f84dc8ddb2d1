#include "transfer/file_sink.h"

#include "transfer/file_sink_state.h"

namespace pushfile {

using file_sink_detail::MAX_NUMBERED_VARIANT;

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
        s.saved_replaced = false;
        bool placed = s.place(candidate);
        if (!placed && errno == EEXIST && number == 0 && s.replace_existing)
            placed = s.saved_replaced = s.place_over(candidate);
        if (!placed) {
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
