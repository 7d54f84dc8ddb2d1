// The upload prompt's line as a shell reads it: words split at blanks, quotes and backslashes
// taken away, patterns kept apart from quoted pattern characters, ~ for home; file:// URIs as the
// local paths they name; and text quoted back so that it reads as it is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pushfile::receive {

enum class quoting { none, single, double_quote };

struct split_line {
    std::vector<std::string> words;
    // Each word as a glob(3) pattern (quoted pattern characters escaped) when it holds a pattern
    // character that was not quoted; else empty.
    std::vector<std::string> patterns;
    quoting open = quoting::none;  // a quote the line leaves open
    bool word_at_end = false;      // the last word reaches the end of the line: Tab completes it
};

split_line split_words(std::string_view line, std::string_view home);

// The local path a file:// URI names, as terminals and file managers give dropped files; the word
// itself when it is no such URI (another host's file is no local path).
std::string local_path(std::string word);

// path beneath folder.
std::string joined(std::string_view folder, std::string_view path);

// A folder in a glob(3) pattern, standing for itself.
std::string escaped_for_pattern(std::string_view folder);

// text written so that split_words, reading it inside the quote the line leaves open, gives it
// back as it is.
std::string quoted_for_line(std::string_view text, quoting open, bool word_start);

}  // namespace pushfile::receive
