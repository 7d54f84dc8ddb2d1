#include "receiver/session/burst_summary.h"

#include "common/display.h"
#include "receiver/session/progress.h"
#include "transfer/file_sink.h"

namespace pushfile::receive {
namespace {

std::string_view folder_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// The longest folder both a and b are in.
std::string_view common_folder(std::string_view a, std::string_view b) {
    std::size_t end = 0;
    for (std::size_t at = 0; at <= a.size() && at <= b.size(); ++at) {
        const bool a_ends = at == a.size() || a[at] == '/';
        const bool b_ends = at == b.size() || b[at] == '/';
        if (a_ends && b_ends) end = at;
        if (a_ends != b_ends || (at < a.size() && at < b.size() && a[at] != b[at])) break;
    }
    return a.substr(0, end);
}

}  // namespace

bool burst_summary::summarised(std::string_view sent_path) {
    return clean_relative_path(sent_path).find('/') != std::string::npos;
}

std::string burst_summary::progress_name(std::string_view sent_path) const {
    std::string name(sent_path);
    if (summarised(sent_path)) name += " (#" + std::to_string(files_ + failed_.count + 1) + ")";
    return name;
}

void burst_summary::saved(std::string_view sent_path, std::string_view saved_path, std::uint64_t bytes, bool renamed) {
    if (files_++ == 0) {
        first_sent_ = sent_path;
        first_saved_ = saved_path;
        folder_ = folder_of(saved_path);
    } else {
        folder_ = common_folder(folder_, folder_of(saved_path));
    }
    bytes_ += bytes;
    if (renamed) renamed_.add(escaped_for_display(sent_path) + " as " + escaped_for_display(saved_path));
}

void burst_summary::failed(std::string_view sent_path) { failed_.add(escaped_for_display(sent_path)); }

std::string burst_summary::take_line(const std::string& directory, bool quiet) {
    std::string line;
    if (files_ == 1 && failed_.count == 0) {
        line = "saved " + escaped_for_display(first_sent_) + " (" + human_size(bytes_) + ") as " +
               escaped_for_display(directory) + "/" + escaped_for_display(first_saved_);
    } else if (!quiet || failed_.count > 0) {
        line = "saved " + std::to_string(files_) + (files_ == 1 ? " file (" : " files (") + human_size(bytes_) +
               ") in " + escaped_for_display(folder_.empty() ? directory : directory + "/" + folder_);
        if (renamed_.count > 0) line += "; " + renamed_.text("renamed");
        if (failed_.count > 0) line += "; " + failed_.text("not saved");
    }
    if (quiet && failed_.count == 0) line.clear();
    *this = burst_summary();
    return line;
}

}  // namespace pushfile::receive
