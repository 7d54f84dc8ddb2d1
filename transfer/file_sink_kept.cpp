// The file sink's ways of keeping what is already there: a file replaced in one rename, a file
// in progress kept as a partial file, and a look at a folder without making it.
#include "transfer/file_sink_state.h"

namespace pushfile {

bool file_sink::state::place_over(const std::string& candidate) {
    struct stat existing {};
    if (fstatat(folder_fd.get(), candidate.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(existing.st_mode)) {
        errno = EEXIST;  // a link, a folder or another kind of file: a numbered name instead
        return false;
    }
    // An unnamed file needs a name of its own first: a rename is what replaces atomically.
    if (temporary_name.empty()) {
        std::string name;
        for (int attempt = 0; attempt < file_sink_detail::TEMPORARY_NAME_ATTEMPTS && temporary_name.empty(); ++attempt) {
            if (!random_temporary_name(name)) break;
            const descriptor_path link_path = path_of_descriptor(file_fd.get());
            if (linkat(AT_FDCWD, link_path.text, folder_fd.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
                linkat(file_fd.get(), "", folder_fd.get(), name.c_str(), AT_EMPTY_PATH) == 0)
                temporary_name = name;
        }
        if (temporary_name.empty()) return false;
    }
    // rename() replaces the name's entry, never what a link there points to; the check above keeps
    // links out all the same.
    if (renameat(folder_fd.get(), temporary_name.c_str(), folder_fd.get(), candidate.c_str()) != 0) return false;
    temporary_name.clear();
    return true;
}

void file_sink::set_replace_existing(bool replace) { state_->replace_existing = replace; }

bool file_sink::replaced() const { return state_->saved_replaced; }

owned_fd file_sink::open_existing_folder(std::string_view sent_path, std::string* last_part) {
    state& s = *state_;
    const std::string relative = s.options.keep_folders ? clean_relative_path(sent_path) : clean_file_name(sent_path);
    const auto [folder, name] = split_last(relative);
    *last_part = name;
    if (!s.directory_fd.valid() || relative.size() > MAX_RELATIVE_PATH_LENGTH) return {};
    return s.open_folder_beneath(folder);
}

bool file_sink::keep_as(const std::string& name) {
    state& s = *state_;
    if (!s.file_fd.valid() || name.size() > MAX_NAME_LENGTH || fsync(s.file_fd.get()) != 0) {
        s.discard();
        return false;
    }
    if (s.temporary_name.empty()) {
        // An unnamed file can only be linked to a free name: the older partial goes first.
        (void)unlinkat(s.folder_fd.get(), name.c_str(), 0);
        if (!s.place(name)) {
            s.discard();
            return false;
        }
    } else if (renameat(s.folder_fd.get(), s.temporary_name.c_str(), s.folder_fd.get(), name.c_str()) != 0) {
        s.discard();
        return false;
    }
    s.temporary_name.clear();
    s.file_fd.reset();
    s.made_from = std::string::npos;  // the folders made hold the partial file now
    (void)fsync(s.folder_fd.get());
    return true;
}

}  // namespace pushfile
