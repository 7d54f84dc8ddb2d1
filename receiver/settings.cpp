#include "receiver/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/display.h"
#include "common/folder_walk.h"
#include "common/io.h"
#include "common/owned_fd.h"
#include "receiver/program.h"

namespace pushfile::receive {
namespace {

// A configuration file is a few lines; anything much larger is not one.
constexpr std::size_t MAX_SETTINGS_FILE_SIZE = std::size_t{64} * 1024;
constexpr std::string_view SETTINGS_FILE = "/pushfile/receive.conf";
constexpr std::string_view USER_DIRS_FILE = "/user-dirs.dirs";
constexpr std::string_view DOWNLOAD_DIR_KEY = "XDG_DOWNLOAD_DIR=";
constexpr const char* DIRECTORY_VARIABLE = "PUSHFILE_RECEIVE_DIR";

std::string_view trimmed(std::string_view text) {
    const std::size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) return {};
    return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

// XDG_CONFIG_HOME only counts when absolute, as the base directory rules say.
std::string config_home(const environment_lookup& environment) {
    const char* xdg = environment("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return xdg;
    const char* home = environment("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config";
    return {};
}

// "~" and "~/..." from HOME; "" when HOME is not known. Other paths stay as they are.
std::string expanded(std::string_view path, const environment_lookup& environment) {
    if (path != "~" && !path.starts_with("~/")) return std::string(path);
    const char* home = environment("HOME");
    if (home == nullptr || home[0] == '\0') return {};
    return std::string(home) + std::string(path.substr(1));
}

bool is_directory(const std::string& path) {
    struct stat status {};
    return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// What reading a small file came to: its content, not there, or a reason it cannot be read.
enum class small_file { read, absent, refused };

// Why a file that is there but is not a regular file is not read: reading a FIFO would wait for a
// writer that may never come, and a device may never end.
std::string not_regular_reason(mode_t mode) {
    if (S_ISDIR(mode)) return "it is a folder, not a regular file";
    return std::string("it is ") + describe(skip_reason_of(mode)) + ", not a regular file";
}

// Reads a regular file of at most MAX_SETTINGS_FILE_SIZE bytes into *content. Never waits on
// open: a FIFO or a device is refused with *why, as is a file that grows past the limit while it
// is read.
small_file read_small_file(const std::string& path, std::string* content, std::string* why) {
    const owned_fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT) return small_file::absent;
        *why = std::strerror(errno);
        return small_file::refused;
    }
    struct stat status {};
    if (fstat(fd.get(), &status) != 0) {
        *why = std::strerror(errno);
        return small_file::refused;
    }
    if (!S_ISREG(status.st_mode)) {
        *why = not_regular_reason(status.st_mode);
        return small_file::refused;
    }
    const std::string too_large = "it is larger than " + std::to_string(MAX_SETTINGS_FILE_SIZE / 1024) + " KiB";
    if (static_cast<std::uint64_t>(status.st_size) > MAX_SETTINGS_FILE_SIZE) {
        *why = too_large;
        return small_file::refused;
    }
    content->clear();
    // One byte more than the limit allows: a file that grew past it while it was read is told apart.
    content->resize(MAX_SETTINGS_FILE_SIZE + 1);
    std::size_t got = 0;
    if (!read_full(fd.get(), content->data(), content->size(), &got)) {
        *why = std::strerror(errno);
        return small_file::refused;
    }
    if (got > MAX_SETTINGS_FILE_SIZE) {
        *why = too_large;
        return small_file::refused;
    }
    content->resize(got);
    return small_file::read;
}

// C0 controls and DEL; bytes of UTF-8 characters are not controls by themselves.
bool holds_control_byte(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

std::optional<bool> parse_boolean(std::string_view value) {
    std::string lower(value);
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower == "yes" || lower == "true" || lower == "on") return true;
    if (lower == "no" || lower == "false" || lower == "off") return false;
    return std::nullopt;
}

// Sets one setting from its line; returns what is wrong with the line, or "".
std::string apply_setting(std::string_view name, std::string_view value, unsigned line,
                          const environment_lookup& environment, settings_file* settings) {
    std::optional<bool>* flag = name == "ask"               ? &settings->ask
                                : name == "no-answer-ahead" ? &settings->no_answer_ahead
                                : name == "flat"            ? &settings->flat
                                : name == "quiet"           ? &settings->quiet
                                : name == "upload"          ? &settings->upload
                                                            : nullptr;
    if (flag != nullptr) {
        *flag = parse_boolean(value);
        return flag->has_value() ? "" : std::string(name) + " wants yes or no";
    }
    if (name == "max-size") {
        settings->max_size = parse_byte_count(value);
        return settings->max_size ? "" : "max-size wants a number of bytes, such as 1048576 or 1M";
    }
    if (name == "notify") {
        if (value == "auto") {
            settings->notify = notify_setting::automatic;
        } else if (const std::optional<bool> on = parse_boolean(value)) {
            settings->notify = *on ? notify_setting::always : notify_setting::never;
        } else {
            return "notify wants yes, no or auto";
        }
        return "";
    }
    if (name == "dir") {
        // Relative to the current folder would change with every start: the file's folder is fixed.
        if (!value.starts_with('/') && value != "~" && !value.starts_with("~/")) {
            return "dir wants an absolute path or one that starts with ~/";
        }
        std::string path = expanded(value, environment);
        if (path.empty()) return "dir starts with ~ but HOME is not set";
        settings->directory = std::move(path);
        settings->directory_line = line;
        return "";
    }
    return "unknown setting '" + escaped_for_display(name) +
           "' (known: dir, ask, max-size, no-answer-ahead, flat, quiet, notify, upload)";
}

// The download folder user-dirs.dirs names, as XDG_DOWNLOAD_DIR="$HOME/Downloads" or an absolute
// path in quotes; "" when it names none, or only the home folder (which means none there).
std::string download_dir_from(std::string_view text, const environment_lookup& environment) {
    std::string found;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.starts_with(DOWNLOAD_DIR_KEY)) continue;
        std::string_view value = line.substr(DOWNLOAD_DIR_KEY.size());
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
        value = value.substr(1, value.size() - 2);
        const char* home = environment("HOME");
        if (value.starts_with("$HOME/") && home != nullptr && home[0] != '\0') {
            found = value.size() == 6 ? std::string() : std::string(home) + std::string(value.substr(5));
        } else if (value.starts_with('/')) {
            found = value;
        }
    }
    return found;
}

}  // namespace

std::optional<std::uint64_t> parse_byte_count(std::string_view text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    std::uint64_t count = 0;
    std::size_t at = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const auto digit = static_cast<std::uint64_t>(text[at] - '0');
        if (count > (UINT64_MAX - digit) / 10) return std::nullopt;
        count = count * 10 + digit;
    }
    unsigned shift = 0;
    if (at < text.size()) {
        switch (text[at]) {
            case 'K':
            case 'k': shift = 10; break;
            case 'M':
            case 'm': shift = 20; break;
            case 'G':
            case 'g': shift = 30; break;
            case 'T':
            case 't': shift = 40; break;
            default: return std::nullopt;
        }
        if (at + 1 != text.size()) return std::nullopt;
    }
    if (shift > 0 && count > (UINT64_MAX >> shift)) return std::nullopt;
    return count << shift;
}

std::string settings_file_path(const environment_lookup& environment) {
    const std::string home = config_home(environment);
    return home.empty() ? std::string() : home + std::string(SETTINGS_FILE);
}

bool parse_settings(std::string_view text, const environment_lookup& environment, settings_file* settings,
                    std::string* err) {
    unsigned line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const std::size_t end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.starts_with('#')) continue;
        const std::size_t equals = line.find('=');
        std::string problem;
        if (equals == std::string_view::npos) {
            problem = "a line wants the form name = value";
        } else if (const std::string_view value = trimmed(line.substr(equals + 1)); holds_control_byte(value)) {
            // A NUL would end the path where the system reads it, and the folder shown would not
            // be the folder used.
            problem = "a value may not hold control bytes";
        } else {
            problem = apply_setting(trimmed(line.substr(0, equals)), value, line_number, environment, settings);
        }
        if (!problem.empty()) {
            *err = escaped_for_display(settings->path) + ":" + std::to_string(line_number) + ": " + problem + ": " +
                   escaped_for_display(line);
            return false;
        }
    }
    return true;
}

bool load_settings(const environment_lookup& environment, settings_file* settings, std::string* err) {
    settings->path = settings_file_path(environment);
    if (settings->path.empty()) return true;
    std::string text;
    std::string why;
    switch (read_small_file(settings->path, &text, &why)) {
        case small_file::absent: return true;
        case small_file::refused:
            *err = "cannot read the configuration file " + escaped_for_display(settings->path) + ": " + why;
            return false;
        case small_file::read: break;
    }
    settings->found = true;
    return parse_settings(text, environment, settings, err);
}

receive_folder where_files_go(const std::optional<std::string>& directory_option, const settings_file& settings,
                              const environment_lookup& environment) {
    if (directory_option) return {*directory_option, "-d"};
    const char* variable = environment(DIRECTORY_VARIABLE);
    if (variable != nullptr && variable[0] != '\0') {
        const std::string path = expanded(variable, environment);
        return {path.empty() ? std::string(variable) : path,
                std::string("the environment variable ") + DIRECTORY_VARIABLE};
    }
    if (settings.directory) {
        return {*settings.directory, "dir in " + settings.path + ", line " + std::to_string(settings.directory_line)};
    }
    const std::string home = config_home(environment);
    if (!home.empty()) {
        const std::string user_dirs = home + std::string(USER_DIRS_FILE);
        std::string text;
        std::string why;
        const std::string download = read_small_file(user_dirs, &text, &why) == small_file::read
                                         ? download_dir_from(text, environment)
                                         : std::string();
        if (is_directory(download)) return {download, "XDG_DOWNLOAD_DIR in " + user_dirs};
    }
    if (const std::string downloads = expanded("~/Downloads", environment); is_directory(downloads)) {
        return {downloads, "the download folder"};
    }
    return {".", "the current folder"};
}

std::string shown_folder(const std::string& path) {
    if (path != ".") return escaped_for_display(path);
    char current[4096];
    return escaped_for_display(getcwd(current, sizeof current) != nullptr ? current : path);
}

std::string where_files_go_text(const std::optional<std::string>& directory_option,
                                const environment_lookup& environment) {
    settings_file settings;
    std::string error;
    const bool loaded = load_settings(environment, &settings, &error);
    if (!loaded) {
        // Nothing of a bad file counts.
        std::string path = std::move(settings.path);
        settings = settings_file();
        settings.path = std::move(path);
    }
    const receive_folder folder = where_files_go(directory_option, settings, environment);
    std::string text =
        "\nNow files go to " + shown_folder(folder.path) + " (from " + escaped_for_display(folder.source) + ").\n";
    if (!loaded) return text + "The configuration file has an error: " + error + "\n";
    if (settings.path.empty()) return text + "No configuration file: neither XDG_CONFIG_HOME nor HOME is set.\n";
    return text + "Configuration file: " + escaped_for_display(settings.path) +
           (settings.found ? " (read)\n" : " (not there)\n");
}

}  // namespace pushfile::receive
