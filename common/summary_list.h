// Files of one kind in a line that sums up a run (renamed, not saved, not sent): the first few by
// name, all of them counted, so that the line stays short whatever the number of files.
#pragma once

#include <string>
#include <string_view>

namespace pushfile {

// The most names a summary lists of each kind; the rest are counted.
inline constexpr unsigned SUMMARY_NAMES_LISTED = 3;

struct summary_list {
    unsigned count = 0;
    std::string names;

    void add(const std::string& entry) {
        if (++count > SUMMARY_NAMES_LISTED) return;
        if (!names.empty()) names += ", ";
        names += entry;
    }
    // "5 renamed: a as a.1, b as b.1, c as c.1 and 2 more", with kind "renamed".
    std::string text(std::string_view kind) const {
        std::string line = std::to_string(count) + " " + std::string(kind) + ": " + names;
        if (count > SUMMARY_NAMES_LISTED) line += " and " + std::to_string(count - SUMMARY_NAMES_LISTED) + " more";
        return line;
    }
};

}  // namespace pushfile
