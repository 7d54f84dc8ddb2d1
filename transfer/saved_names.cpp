#include "transfer/saved_names.h"

#include <sys/random.h>

#include <cerrno>

#include "common/display.h"
#include "common/text.h"

namespace pushfile {
namespace {

constexpr std::string_view FALLBACK_NAME = "received";
constexpr std::string_view TEMPORARY_PREFIX = ".pushfile-";
constexpr std::string_view TEMPORARY_SUFFIX = ".part";

}  // namespace

std::pair<std::string_view, std::string_view> split_last(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {std::string_view(), path};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

std::string clean_relative_path(std::string_view sent_path) {
    if (sent_path.starts_with('/')) return clean_file_name(sent_path);
    // Only what follows the last ".." part is kept: it cannot climb out.
    std::size_t start = 0;
    for (std::size_t at = 0; at <= sent_path.size();) {
        std::size_t end = sent_path.find('/', at);
        if (end == std::string_view::npos) end = sent_path.size();
        if (sent_path.substr(at, end - at) == "..") start = std::min(end + 1, sent_path.size());
        at = end + 1;
    }
    const auto [folders, name] = split_last(sent_path.substr(start));
    std::string path;
    for (std::size_t at = 0; at < folders.size();) {
        std::size_t end = folders.find('/', at);
        if (end == std::string_view::npos) end = folders.size();
        const std::string_view part = folders.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") continue;
        path += clean_file_name(part);
        path += '/';
    }
    path += clean_file_name(name);
    return path;
}

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

std::string as_sent(std::string_view sent_path, bool keep_folders) {
    std::string plain;
    while (!sent_path.empty()) {
        const std::size_t slash = sent_path.find('/');
        const std::string_view part = sent_path.substr(0, slash);
        sent_path = slash == std::string_view::npos ? std::string_view() : sent_path.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (!keep_folders) plain.clear();
        if (!plain.empty()) plain += '/';
        plain += part;
    }
    return plain;
}

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

}  // namespace pushfile
