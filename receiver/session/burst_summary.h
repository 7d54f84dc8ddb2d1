// Files sent with folders (a tree: pushfile -r, or several paths like a/b/c.txt) are told about
// together, in one line when their burst ends, instead of a line each: how many, how many bytes,
// in which folder, and which were renamed or not saved. Files without a folder part keep their
// own line. Names come from outside and are shown escaped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/summary_list.h"

namespace pushfile::receive {

class burst_summary {
public:
    // Whether the file sent under sent_path belongs in a summary: its path keeps a folder part.
    static bool summarised(std::string_view sent_path);

    // The name the progress shows for the file that begins: the path with its place in the burst.
    std::string progress_name(std::string_view sent_path) const;
    // saved_path is beneath the directory; renamed when it is not the path sent (file_sink::renamed()).
    void saved(std::string_view sent_path, std::string_view saved_path, std::uint64_t bytes, bool renamed);
    // Its reason was shown on a line of its own already.
    void failed(std::string_view sent_path);

    bool pending() const { return files_ + failed_.count > 0; }
    // The line that sums the burst up (without the program's name), and a fresh start. A burst of
    // one file saved says so as a saved file's line does. quiet keeps only a burst with failures.
    std::string take_line(const std::string& directory, bool quiet);

private:
    unsigned files_ = 0;
    std::uint64_t bytes_ = 0;
    std::string folder_;  // the folder every saved file of the burst is in, beneath the directory
    std::string first_sent_;
    std::string first_saved_;
    summary_list renamed_;
    summary_list failed_;
};

}  // namespace pushfile::receive
