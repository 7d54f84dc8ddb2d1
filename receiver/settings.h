// The receiver's defaults from its configuration file, and where files go when -d does not say.
// Both are read from the environment through a lookup, so that a test can give its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "receiver/program.h"

namespace pushfile::receive {

// "1048576", "1M": a number of bytes, with K, M, G, T for powers of 1024.
std::optional<std::uint64_t> parse_byte_count(std::string_view text);

// notify = yes|no|auto in the file, for --notify and --no-notify.
enum class notify_setting { automatic, always, never };

// What the configuration file sets; nullopt where it says nothing.
struct settings_file {
    std::string path;    // the file looked for; empty when neither XDG_CONFIG_HOME nor HOME is known
    bool found = false;  // whether it was there and read
    std::optional<std::string> directory;
    unsigned directory_line = 0;
    std::optional<bool> ask;
    std::optional<std::uint64_t> max_size;
    std::optional<bool> no_answer_ahead;
    std::optional<bool> flat;
    std::optional<bool> quiet;
    std::optional<notify_setting> notify;
    std::optional<bool> upload;  // upload = no: pullfile's requests are refused
};

// $XDG_CONFIG_HOME/pushfile/receive.conf, else ~/.config/pushfile/receive.conf; empty when
// neither is known.
std::string settings_file_path(const environment_lookup& environment);

// Reads "name = value" lines, '#' comment lines and blank lines from text, the content of the file
// at settings->path. On a bad line returns false with *err saying "file:line: what is wrong".
bool parse_settings(std::string_view text, const environment_lookup& environment, settings_file* settings,
                    std::string* err);

// Finds the configuration file and reads it if it is there. False, with *err, when it is there but
// is not a regular file (never waited on: a FIFO is refused unopened for reading), is larger than
// a configuration file can be, cannot be read, or has a bad line.
bool load_settings(const environment_lookup& environment, settings_file* settings, std::string* err);

// A folder for files, and what chose it, for a person to read.
struct receive_folder {
    std::string path;
    std::string source;
};

// Where files go, the first that says: -d (directory_option), PUSHFILE_RECEIVE_DIR, dir in the
// configuration file, the user's download folder when it exists (XDG_DOWNLOAD_DIR in
// user-dirs.dirs, else ~/Downloads), and else the current folder. "~" and "~/" are expanded.
receive_folder where_files_go(const std::optional<std::string>& directory_option, const settings_file& settings,
                              const environment_lookup& environment);

// A folder as a person reads it: escaped for the screen, "." as the folder it is now.
std::string shown_folder(const std::string& path);

// For --help: where files would go now and what chose it, and which configuration file was read.
std::string where_files_go_text(const std::optional<std::string>& directory_option,
                                const environment_lookup& environment);

}  // namespace pushfile::receive
