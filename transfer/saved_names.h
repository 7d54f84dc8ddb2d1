// The names files and folders are saved under: a path sent by the other side cleaned into one that
// stays beneath the directory, the numbered variants tried when a name is taken, and the names of
// temporary files. Text only: nothing here touches the file system.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace pushfile {

// The most bytes a saved name may have (the usual file system limit).
inline constexpr std::size_t MAX_NAME_LENGTH = 255;

// Turns a path sent by the remote side into a clean file name: its last component, with control
// bytes (0x00-0x1F, 0x7F) replaced by '_', leading dots replaced by '_' (no hidden files planted),
// never "/", never empty, ".", or ".." (those become "received"), at most MAX_NAME_LENGTH bytes
// (cut at a UTF-8 character boundary).
std::string clean_file_name(std::string_view sent_path);

// The longest path beneath the directory a file is saved under; longer ones are refused.
inline constexpr std::size_t MAX_RELATIVE_PATH_LENGTH = 4095;

// Turns a path sent by the remote side into the path beneath the directory that keeps its folders:
// "photos/2024/a.jpg" stays so. Everything up to the last ".." part is dropped, and so are empty
// and "." parts; an absolute path keeps only its last part. Each part is cleaned as
// clean_file_name() cleans a name, so no part is empty, ".", "..", or hidden.
std::string clean_relative_path(std::string_view sent_path);

// The path sent, as it would be saved were nothing in it cleaned: without its empty and "." parts
// ("./a//b" is "a/b"), or only its last part where folders are not kept.
std::string as_sent(std::string_view sent_path, bool keep_folders);

// name itself for 0, else "name.N", the name cut at a UTF-8 character boundary so that name and
// suffix fit MAX_NAME_LENGTH bytes.
std::string numbered_name(const std::string& name, unsigned number);

// A fresh name for a temporary file, ".pushfile-" and 16 random hex digits ".part": hidden, and
// never one that a cleaned name can be. False, with errno set, when no random bytes could be had.
bool random_temporary_name(std::string& name);

// The folder part of a relative path ("" for none) and its last part.
std::pair<std::string_view, std::string_view> split_last(std::string_view path);

}  // namespace pushfile
