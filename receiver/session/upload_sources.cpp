#include "receiver/session/upload_sources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/display.h"
#include "common/failure.h"
#include "common/folder_walk.h"
#include "common/io.h"
#include "receiver/session/upload_selection.h"

namespace pushfile::receive {
namespace {

static_assert(WALK_PATH_LIMIT <= MAX_UPLOAD_NAME, "a path a folder walk hands out must fit a file frame");

mode_and_time attributes_of(mode_t mode, const timespec& modified) {
    return {static_cast<unsigned>(mode & 0777), modified.tv_sec, static_cast<std::uint32_t>(modified.tv_nsec)};
}

upload_item unsendable(std::string name, bool in_folder, std::string why) {
    upload_item item;
    item.what = upload_item::kind::unsendable;
    item.name = std::move(name);
    item.in_folder = in_folder;
    item.why = std::move(why);
    return item;
}

upload_item opened(std::string name, bool in_folder, owned_fd file, const struct stat& status, std::string local_path) {
    upload_item item;
    item.what = upload_item::kind::file;
    item.name = std::move(name);
    item.in_folder = in_folder;
    item.file = std::move(file);
    item.size = static_cast<std::uint64_t>(status.st_size);
    item.attributes = attributes_of(status.st_mode, status.st_mtim);
    item.local_path = std::move(local_path);
    item.device = status.st_dev;
    item.inode = status.st_ino;
    return item;
}

upload_item cannot_read(std::string name, bool in_folder, int error) {
    return unsendable(std::move(name), in_folder, failure_text("cannot read it", error));
}

}  // namespace

upload_sources::upload_sources() = default;

upload_sources::~upload_sources() { end_walk(); }

void upload_sources::start(std::vector<std::string> paths, bool report_folders) {
    clear();
    paths_ = std::move(paths);
    report_folders_ = report_folders;
}

void upload_sources::clear() {
    end_walk();
    paths_.clear();
    next_path_ = 0;
}

bool upload_sources::exhausted() const { return !(walk_ && walk_->walking()) && next_path_ == paths_.size(); }

void upload_sources::end_walk() {
    if (walk_) walk_->end();
}

// A file that cannot be read is handed out all the same, so that pullfile is told of it and counts
// it.
upload_item upload_sources::next() {
    if (walk_ && walk_->walking()) {
        upload_item item = next_in_folder();
        if (item.what != upload_item::kind::none) return item;
    }
    if (next_path_ == paths_.size()) return {};
    const std::string& path = paths_[next_path_++];
    std::string name(last_part(path));
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return cannot_read(std::move(name), false, errno);
    if (S_ISDIR(status.st_mode)) {
        if (!walk_) walk_ = std::make_unique<folder_walk>();
        if (!walk_->start(path.c_str(), report_folders_)) {
            return unsendable(std::move(name), false, failure_text("cannot read the folder", errno));
        }
        walk_root_ = path;
        return next();
    }
    if (!S_ISREG(status.st_mode)) return unsendable(std::move(name), false, describe(skip_reason_of(status.st_mode)));
    owned_fd file(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) return cannot_read(std::move(name), false, errno);
    if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return unsendable(std::move(name), false, "it changed while it was opened");
    }
    return opened(std::move(name), false, std::move(file), status, path);
}

// none at the walk's end.
upload_item upload_sources::next_in_folder() {
    walk_entry entry;
    const walk_step step = walk_->next(&entry);
    upload_item item;
    item.in_folder = true;
    switch (step) {
        case walk_step::done: return {};
        case walk_step::skipped:
            item.what = upload_item::kind::skipped;
            item.name = entry.sent_path;
            item.why = describe(entry.skipped);
            return item;
        case walk_step::unreadable: return cannot_read(entry.sent_path, true, entry.error);
        case walk_step::folder_entered:
        case walk_step::folder_left:
            item.what =
                step == walk_step::folder_entered ? upload_item::kind::folder_entered : upload_item::kind::folder_left;
            item.name = entry.sent_path;
            item.attributes = attributes_of(entry.mode, entry.modified);
            return item;
        case walk_step::file: break;
    }
    owned_fd file = std::move(entry.file);
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0) {
        const int error = file.valid() ? errno : entry.error;
        return cannot_read(entry.sent_path, true, error);
    }
    return opened(entry.sent_path, true, std::move(file), status, walk_root_ + "/" + entry.relative_path);
}

void set_aside(upload_item* item) { item->file.reset(); }

void take_up(upload_item* item) {
    if (item->what != upload_item::kind::file || item->file.valid()) return;
    // Never through a link at its last part: the walk never followed one there either.
    owned_fd file(open(item->local_path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0) {
        *item = cannot_read(std::move(item->name), item->in_folder, errno);
        return;
    }
    const mode_and_time now = attributes_of(status.st_mode, status.st_mtim);
    if (!S_ISREG(status.st_mode) || status.st_dev != item->device || status.st_ino != item->inode ||
        static_cast<std::uint64_t>(status.st_size) != item->size || now.seconds != item->attributes.seconds ||
        now.nanoseconds != item->attributes.nanoseconds) {
        *item = unsendable(std::move(item->name), item->in_folder, "it changed while it waited to be sent");
        return;
    }
    item->file = std::move(file);
}

bool read_block(const owned_fd& file, unsigned char* bytes, std::size_t count, std::uint64_t sent, std::uint64_t size,
                std::string* error) {
    std::size_t got = 0;
    if (!read_full(file.get(), bytes, count, &got)) {
        const int read_error = errno;
        *error = failure_text("cannot read it", read_error);
        return false;
    }
    if (got < count) {
        *error = "it shrank to " + std::to_string(sent + got) + " of its " + std::to_string(size) +
                 " bytes while it was sent";
        return false;
    }
    return true;
}

bool count_folder_files(const std::string& folder, std::uint64_t* files, std::uint64_t* bytes, std::string* error) {
    const auto walk = std::make_unique<folder_walk>();
    if (!walk->start(folder.c_str())) {
        *error = failure_text("cannot read the folder " + escaped_for_display(folder), errno);
        return false;
    }
    walk_entry entry;
    for (walk_step step; (step = walk->next(&entry)) != walk_step::done;) {
        if (step != walk_step::file) continue;  // told of, and passed over, as it is sent
        struct stat status {};
        if (!entry.file.valid() || fstat(entry.file.get(), &status) != 0) continue;
        ++*files;
        *bytes += static_cast<std::uint64_t>(status.st_size);
    }
    return true;
}

}  // namespace pushfile::receive
