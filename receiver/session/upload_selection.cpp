#include "receiver/session/upload_selection.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "common/display.h"
#include "common/failure.h"
#include "common/folder_walk.h"
#include "common/human_size.h"
#include "common/owned_fd.h"
#include "common/summary_list.h"

namespace pushfile::receive {
namespace {

// Counts the files beneath a folder as the upload's own walk will find them.
bool count_folder(const std::string& path, folder_walk* walk, upload_selection* selection, std::string* problem) {
    if (!walk->start(path.c_str())) {
        *problem = failure_text("cannot read the folder " + escaped_for_display(path), errno);
        return false;
    }
    walk_entry entry;
    for (walk_step step; (step = walk->next(&entry)) != walk_step::done;) {
        if (step != walk_step::file) continue;  // told of, and passed over, as it is sent
        const owned_fd file = std::move(entry.file);
        struct stat status {};
        if (!file.valid() || fstat(file.get(), &status) != 0) continue;
        ++selection->files;
        selection->bytes += static_cast<std::uint64_t>(status.st_size);
    }
    return true;
}

bool add_path(std::string path, const std::string& word, std::unique_ptr<folder_walk>* walk,
              upload_selection* selection, summary_list* names, std::string* problem) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        const int error = errno;
        *problem = error == ENOENT ? "no such file or folder: " + escaped_for_display(word)
                                   : failure_text(escaped_for_display(word), error);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        if (!*walk) *walk = std::make_unique<folder_walk>();
        if (!count_folder(path, walk->get(), selection, problem)) return false;
    } else if (S_ISREG(status.st_mode)) {
        // Opened now, so that a file that cannot be read is named while the line can be mended.
        if (const owned_fd file(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)); !file.valid()) {
            *problem = failure_text("cannot read " + escaped_for_display(word), errno);
            return false;
        }
        ++selection->files;
        selection->bytes += static_cast<std::uint64_t>(status.st_size);
    } else {
        *problem = escaped_for_display(word) + " is " + describe(skip_reason_of(status.st_mode)) +
                   ": only files and folders go up";
        return false;
    }
    if (selection->paths.size() == MAX_SELECTED_PATHS) {
        // Built in steps: g++ 12 warns of an overlapping copy in "text" + to_string() for 32-bit ARM.
        *problem = "more than ";
        *problem += std::to_string(MAX_SELECTED_PATHS);
        *problem += " paths: name their folder instead";
        return false;
    }
    names->add(escaped_for_display(last_part(path)) + (S_ISDIR(status.st_mode) ? "/" : ""));
    selection->paths.push_back(std::move(path));
    return true;
}

}  // namespace

std::string_view last_part(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool select_upload(const std::vector<named_path>& named, upload_selection* selection, std::string* problem) {
    *selection = {};
    std::unique_ptr<folder_walk> walk;
    summary_list names;
    for (const named_path& word : named) {
        if (word.pattern.empty()) {
            if (!add_path(word.path, word.word, &walk, selection, &names, problem)) return false;
        } else {
            glob_t matches{};
            const int found = glob(word.pattern.c_str(), 0, nullptr, &matches);
            const std::unique_ptr<glob_t, void (*)(glob_t*)> freed(&matches, globfree);
            if (found == GLOB_NOMATCH) {
                *problem = "nothing matches " + escaped_for_display(word.word);
                return false;
            }
            if (found != 0) {
                *problem = "cannot expand " + escaped_for_display(word.word);
                return false;
            }
            for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
                if (!add_path(matches.gl_pathv[i], matches.gl_pathv[i], &walk, selection, &names, problem))
                    return false;
            }
        }
    }
    selection->shown_names = names.names;
    if (names.count > SUMMARY_NAMES_LISTED) {
        selection->shown_names += " and " + std::to_string(names.count - SUMMARY_NAMES_LISTED) + " more";
    }
    return true;
}

std::string describe(const upload_selection& selection) {
    return std::to_string(selection.files) + (selection.files == 1 ? " file (" : " files (") +
           human_size(selection.bytes) + ")";
}

}  // namespace pushfile::receive
