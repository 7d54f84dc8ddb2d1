#include "receiver/transfer/file_sink.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/display.h"
#include "common/io.h"
#include "receiver/program.h"

namespace pushfile::receive {
namespace {

// Past this many numbered variants something is wrong with the directory; say so instead of
// probing further.
constexpr unsigned MAX_NUMBERED_VARIANT = 9999;
// A clash between two random 64-bit names means something else is creating them; give up soon.
constexpr int TEMPORARY_NAME_ATTEMPTS = 8;
constexpr std::string_view FALLBACK_NAME = "received";
constexpr std::string_view TEMPORARY_PREFIX = ".pushfile-";
constexpr std::string_view TEMPORARY_SUFFIX = ".part";

// The longest prefix of text of at most limit bytes that does not split a UTF-8 character.
// Bytes that are not UTF-8 have no characters to keep whole, so they may be cut anywhere.
std::size_t utf8_prefix_length(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    std::size_t start = limit;
    while (start > 0 && limit - start < 3 && (static_cast<unsigned char>(text[start]) & 0xC0U) == 0x80U) --start;
    const auto lead = static_cast<unsigned char>(text[start]);
    if (start < limit && lead >= 0xC0 && start + utf8_claimed_length(lead) > limit) return start;
    return limit;
}

// Outside names in messages, escaped for the screen.
std::string shown(std::string_view text) { return escaped_for_display(text); }

std::string numbered_name(const std::string& name, unsigned number) {
    if (number == 0) return name;
    std::string suffix(1, '.');
    suffix += std::to_string(number);
    std::string result = name.substr(0, utf8_prefix_length(name, MAX_NAME_LENGTH - suffix.size()));
    result += suffix;
    return result;
}

bool random_temporary_name(std::string& name) {
    unsigned char random[8];
    std::size_t filled = 0;
    while (filled < sizeof random) {
        const ssize_t count = getrandom(random + filled, sizeof random - filled, 0);
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(count);
    }
    name.assign(TEMPORARY_PREFIX);
    for (const unsigned char byte : random) {
        name += HEX_DIGITS[byte >> 4U];
        name += HEX_DIGITS[byte & 15U];
    }
    name += TEMPORARY_SUFFIX;
    return true;
}

}  // namespace

std::string clean_file_name(std::string_view sent_path) {
    const std::size_t slash = sent_path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? sent_path : sent_path.substr(slash + 1);
    if (last.empty() || last == "." || last == "..") return std::string(FALLBACK_NAME);

    std::string name(last.substr(0, utf8_prefix_length(last, MAX_NAME_LENGTH)));
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '_';
    }
    for (char& c : name) {
        if (c != '.') break;
        c = '_';
    }
    return name;
}

struct file_sink::state {
    std::string directory;  // as given, for messages only
    int directory_fd = -1;
    bool try_unnamed = true;     // cleared once the file system turns O_TMPFILE down
    int file_fd = -1;            // the temporary file of the file in progress
    std::string temporary_name;  // empty when that file has no name
    std::string clean_name;
    std::string saved_name;
    // The saved file's identity, so that taking it back never removes another file.
    dev_t saved_device = 0;
    ino_t saved_inode = 0;
    std::uint64_t written = 0;
    std::string open_error;  // why the directory could not be opened

    void discard() {
        if (file_fd < 0) return;
        close(file_fd);
        file_fd = -1;
        if (!temporary_name.empty()) {
            unlinkat(directory_fd, temporary_name.c_str(), 0);
            temporary_name.clear();
        }
    }

    bool open_named_temporary(std::string* err) {
        for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
            std::string name;
            if (!random_temporary_name(name)) break;
            const int fd =
                openat(directory_fd, name.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0666);
            if (fd >= 0) {
                file_fd = fd;
                temporary_name = std::move(name);
                return true;
            }
            if (errno != EEXIST) break;
        }
        const int error_number = errno;  // before building the text, which may change it
        *err = failure_text("cannot create a temporary file for " + shown(clean_name) + " in " + shown(directory),
                            error_number);
        return false;
    }

    // Gives the temporary file the name candidate unless something already has it. On failure
    // errno says why (EEXIST: the name is taken, a symlink included).
    bool place(const std::string& candidate) {
        if (temporary_name.empty()) {
            const descriptor_path link_path = path_of_descriptor(file_fd);
            if (linkat(AT_FDCWD, link_path.text, directory_fd, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
            const int error_number = errno;
            // Without /proc the descriptor itself still works where privileges allow it.
            if (error_number == ENOENT && linkat(file_fd, "", directory_fd, candidate.c_str(), AT_EMPTY_PATH) == 0)
                return true;
            errno = error_number;
            return false;
        }
        if (renameat2(directory_fd, temporary_name.c_str(), directory_fd, candidate.c_str(), RENAME_NOREPLACE) == 0) {
            temporary_name.clear();
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) return false;
        // No RENAME_NOREPLACE here: a hard link refuses existing names just as well.
        if (linkat(directory_fd, temporary_name.c_str(), directory_fd, candidate.c_str(), 0) != 0) return false;
        unlinkat(directory_fd, temporary_name.c_str(), 0);
        temporary_name.clear();
        return true;
    }
};

file_sink::file_sink(const std::string& directory) : state_(std::make_unique<state>()) {
    state_->directory = directory;
    state_->directory_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (state_->directory_fd < 0) {
        const int error_number = errno;
        state_->open_error = failure_text("cannot open the directory " + shown(directory), error_number);
    }
}

file_sink::~file_sink() {
    state_->discard();
    if (state_->directory_fd >= 0) close(state_->directory_fd);
}

bool file_sink::ok() const { return state_->directory_fd >= 0; }

bool file_sink::check_writable(std::string* err) {
    if (!ok()) {
        *err = state_->open_error;
        return false;
    }
    std::string probe_error;
    const bool writable = begin("probe", &probe_error);
    abort();
    if (!writable) {
        // Say it about the directory, not about a file nobody sent.
        const std::size_t reason = probe_error.rfind(": ");
        *err = "cannot save files in " + shown(state_->directory) +
               (reason == std::string::npos ? std::string() : probe_error.substr(reason));
    }
    return writable;
}

bool file_sink::begin(std::string_view sent_path, std::string* err) {
    state& s = *state_;
    s.discard();
    s.saved_name.clear();
    s.written = 0;
    s.clean_name = clean_file_name(sent_path);
    if (s.directory_fd < 0) {
        *err = "cannot save " + shown(s.clean_name) + ": the directory " + shown(s.directory) + " is not open";
        return false;
    }
    if (s.try_unnamed) {
        const int fd = openat(s.directory_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            s.file_fd = fd;
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            const int error_number = errno;
            *err =
                failure_text("cannot create a temporary file for " + shown(s.clean_name) + " in " + shown(s.directory),
                             error_number);
            return false;
        }
        s.try_unnamed = false;
    }
    return s.open_named_temporary(err);
}

bool file_sink::in_progress() const { return state_->file_fd >= 0; }

bool file_sink::write(const unsigned char* bytes, std::size_t length, std::string* err) {
    state& s = *state_;
    if (s.file_fd < 0) {
        *err = "cannot write: no file is being received";
        return false;
    }
    const std::size_t done = write_all(s.file_fd, bytes, length);
    s.written += done;
    if (done < length) {
        const int error_number = errno;
        s.discard();
        *err = failure_text("cannot write " + shown(s.clean_name), error_number);
        return false;
    }
    return true;
}

std::uint64_t file_sink::bytes_written() const { return state_->written; }

bool file_sink::commit(std::string* err) {
    state& s = *state_;
    if (s.file_fd < 0) {
        *err = "cannot save: no file is being received";
        return false;
    }
    if (fsync(s.file_fd) != 0) {
        const int error_number = errno;
        s.discard();
        *err = failure_text("cannot write " + shown(s.clean_name) + " to disk", error_number);
        return false;
    }
    for (unsigned number = 0; number <= MAX_NUMBERED_VARIANT; ++number) {
        const std::string candidate = numbered_name(s.clean_name, number);
        if (!s.place(candidate)) {
            const int error_number = errno;
            if (error_number == EEXIST) continue;
            s.discard();
            *err = failure_text("cannot save " + shown(candidate) + " in " + shown(s.directory), error_number);
            return false;
        }
        struct stat saved_status {};
        const bool identified = fstat(s.file_fd, &saved_status) == 0;
        s.discard();  // the name is in place: only the descriptor is left to close
        // The name must survive a crash as well, else the file is not saved; take it back if not.
        if (fsync(s.directory_fd) != 0) {
            const int fsync_error = errno;
            unlinkat(s.directory_fd, candidate.c_str(), 0);
            *err = failure_text(
                "cannot save " + shown(candidate) + ": flushing the directory " + shown(s.directory) + " failed",
                fsync_error);
            return false;
        }
        s.saved_name = candidate;
        s.saved_device = identified ? saved_status.st_dev : 0;
        s.saved_inode = identified ? saved_status.st_ino : 0;
        return true;
    }
    s.discard();
    *err = "cannot save " + shown(s.clean_name) + ": that name and its numbered variants up to ." +
           std::to_string(MAX_NUMBERED_VARIANT) + " are all taken in " + shown(s.directory);
    return false;
}

const std::string& file_sink::saved_name() const { return state_->saved_name; }

bool file_sink::remove_saved() {
    state& s = *state_;
    if (s.saved_name.empty() || s.saved_inode == 0) return false;
    struct stat status {};
    const bool same = fstatat(s.directory_fd, s.saved_name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                      status.st_dev == s.saved_device && status.st_ino == s.saved_inode;
    if (!same || unlinkat(s.directory_fd, s.saved_name.c_str(), 0) != 0) return false;
    (void)fsync(s.directory_fd);
    s.saved_name.clear();
    return true;
}

void file_sink::abort() { state_->discard(); }

}  // namespace pushfile::receive
