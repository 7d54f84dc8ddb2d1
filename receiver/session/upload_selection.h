// What the paths named at the upload prompt stand for, found before anything is read: patterns
// expanded as a shell would, every path checked, files counted and sized, folders walked. A path
// that names nothing that can go up is refused with the word that named it, so that the user can
// mend the line instead of learning of it after the upload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "receiver/session/upload_prompt.h"

namespace pushfile::receive {

// A pattern may stand for at most this many paths: the list is held until sent.
inline constexpr std::size_t MAX_SELECTED_PATHS = 10000;

struct upload_selection {
    std::vector<std::string> paths;  // files and folders, patterns expanded, in the line's order
    std::uint64_t files = 0;         // regular files, those in folders included
    std::uint64_t bytes = 0;
    std::string shown_names;  // the first few paths' last parts, escaped, and how many more
};

// Finds what named stands for. False, with *problem for a person (escaped), at the first word
// that names no file or folder, matches nothing, or names something that cannot go up.
bool select_upload(const std::vector<named_path>& named, upload_selection* selection, std::string* problem);

// The last part of a path named at the prompt, which the file or folder goes up under, as pushfile
// sends it.
std::string_view last_part(std::string_view path);

// "3 files (12.0 MiB)"
std::string describe(const upload_selection& selection);

}  // namespace pushfile::receive
