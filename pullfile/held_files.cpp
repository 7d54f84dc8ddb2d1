#include "pullfile/held_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "common/failure.h"
#include "common/io.h"
#include "common/owned_fd.h"

namespace pushfile::pull {
namespace {

bool same_time(const struct stat& status, const mode_and_time& attributes) {
    return status.st_mtim.tv_sec == attributes.seconds &&
           status.st_mtim.tv_nsec == static_cast<long>(attributes.nanoseconds);
}

// A regular file of that name in folder_fd, never through a link; its status in *status.
owned_fd open_regular(int folder_fd, const std::string& name, struct stat* status) {
    owned_fd fd(openat(folder_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.valid() && (fstat(fd.get(), status) != 0 || !S_ISREG(status->st_mode))) fd.reset();
    return fd;
}

// Calls each(name) for every entry of folder_fd whose name starts with prefix and ends as a
// partial file's.
template <typename Each>
void each_partial(int folder_fd, std::string_view prefix, Each&& each) {
    owned_fd listing_fd(openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing_fd.valid()) return;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(fdopendir(listing_fd.get()), closedir);
    if (!listing) return;
    (void)listing_fd.release();  // the listing owns it now, and closes it
    // One thread reads the folder, and readdir_r is deprecated.
    // cppcheck-suppress readdirCalled
    while (const dirent* entry = readdir(listing.get())) {
        const std::string_view name(entry->d_name);
        if (name.size() > prefix.size() + PARTIAL_SUFFIX.size() && name.starts_with(prefix) &&
            name.ends_with(PARTIAL_SUFFIX))
            each(std::string(name));
    }
}

}  // namespace

std::string partial_name(std::string_view last_part, std::uint64_t size, const mode_and_time& attributes) {
    // Built in steps: g++ 12 takes "." + a temporary string for an overlapping copy.
    std::string name(".");
    name += last_part;
    name += '.';
    name += std::to_string(size);
    name += '-';
    name += std::to_string(attributes.seconds);
    name += '-';
    name += std::to_string(attributes.nanoseconds);
    name += PARTIAL_SUFFIX;
    return name;
}

held_bytes find_held(int folder_fd, const std::string& last_part, std::uint64_t size, const mode_and_time& attributes,
                     bool skip_identical, unsigned char* buffer, bool look_for_partials, bool* partials_seen) {
    const std::string partial = partial_name(last_part, size, attributes);
    *partials_seen = false;
    if (look_for_partials)
        each_partial(folder_fd, ".", [&](const std::string& name) {
            *partials_seen = true;
            if (name.size() < last_part.size() + 2 || name[0] != '.' ||
                name.compare(1, last_part.size(), last_part) != 0 || name[last_part.size() + 1] != '.')
                return;
            // ".a.b.5-1-0" is a partial of "a.b", not of "a": only this name's own form counts.
            const std::string_view middle = std::string_view(name).substr(last_part.size() + 2);
            const bool own_form = middle.find('.') == middle.size() - PARTIAL_SUFFIX.size();
            if (own_form && name != partial) (void)unlinkat(folder_fd, name.c_str(), 0);
        });
    held_bytes held;
    file_hasher hasher;
    std::string ignored;
    struct stat status {};
    if (skip_identical) {
        const owned_fd fd = open_regular(folder_fd, last_part, &status);
        if (fd.valid() && static_cast<std::uint64_t>(status.st_size) == size && same_time(status, attributes) &&
            read_held(fd.get(), size, hasher, buffer, nullptr, &ignored))
            return {size, hasher.digest(), true};
    }
    const owned_fd fd = open_regular(folder_fd, partial, &status);
    const auto length = static_cast<std::uint64_t>(std::max<off_t>(status.st_size, 0));
    if (fd.valid() && length > 0 && length < size && read_held(fd.get(), length, hasher, buffer, nullptr, &ignored))
        held = {length, hasher.digest(), false};
    return held;
}

bool read_held(int fd, std::uint64_t length, file_hasher& hasher, unsigned char* buffer, file_sink* sink,
               std::string* error) {
    for (std::uint64_t done = 0; done < length;) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(HELD_READ_SIZE, length - done));
        std::size_t got = 0;
        if (!read_full(fd, buffer, wanted, &got)) {
            *error = failure_text("cannot read the partial file", errno);
            return false;
        }
        if (got < wanted) {
            *error = "the partial file holds fewer bytes than were offered";
            return false;
        }
        hasher.update(buffer, got);
        if (sink != nullptr && !sink->write(buffer, got, error)) return false;
        done += got;
    }
    return true;
}

void remove_old_partials(int folder_fd, std::int64_t now_seconds) {
    each_partial(folder_fd, ".", [&](const std::string& name) {
        struct stat status {};
        if (fstatat(folder_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
            now_seconds - status.st_mtim.tv_sec > PARTIAL_LIFETIME_SECONDS)
            (void)unlinkat(folder_fd, name.c_str(), 0);
    });
}

}  // namespace pushfile::pull
