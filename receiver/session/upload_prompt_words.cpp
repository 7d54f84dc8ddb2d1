#include "receiver/session/upload_prompt_words.h"

#include <algorithm>

namespace pushfile::receive {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool escaped_in_double_quotes(char c) { return c == '"' || c == '\\' || c == '$' || c == '`'; }

bool is_pattern_character(char c) { return c == '*' || c == '?' || c == '['; }

// Adds c to a word and to its pattern, where a quoted pattern character stands for itself.
void add_to_word(char c, bool quoted, std::string* word, std::string* pattern, bool* has_pattern) {
    *word += c;
    if ((quoted && (is_pattern_character(c) || c == ']')) || c == '\\') *pattern += '\\';
    if (!quoted && is_pattern_character(c)) *has_pattern = true;
    *pattern += c;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view start) {
    return text.size() >= start.size() && std::equal(start.begin(), start.end(), text.begin(), [](char a, char b) {
               return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
           });
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

split_line split_words(std::string_view line, std::string_view home) {
    split_line split;
    std::string word;
    std::string pattern;
    bool has_pattern = false;
    bool in_word = false;
    const auto end_word = [&] {
        split.words.push_back(std::move(word));
        split.patterns.push_back(has_pattern ? std::move(pattern) : std::string());
        word.clear();
        pattern.clear();
        has_pattern = false;
    };
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (split.open == quoting::single) {
            if (c == '\'') {
                split.open = quoting::none;
            } else {
                add_to_word(c, true, &word, &pattern, &has_pattern);
            }
            continue;
        }
        if (split.open == quoting::double_quote) {
            if (c == '"') {
                split.open = quoting::none;
            } else if (c == '\\' && i + 1 < line.size() && escaped_in_double_quotes(line[i + 1])) {
                add_to_word(line[++i], true, &word, &pattern, &has_pattern);
            } else {
                add_to_word(c, true, &word, &pattern, &has_pattern);
            }
            continue;
        }
        if (is_blank(c)) {
            if (in_word) end_word();
            in_word = false;
            continue;
        }
        if (!in_word) {
            in_word = true;
            if (c == '~' && !home.empty() && (i + 1 == line.size() || is_blank(line[i + 1]) || line[i + 1] == '/')) {
                for (const char h : home) add_to_word(h, true, &word, &pattern, &has_pattern);
                continue;
            }
        }
        if (c == '\'') {
            split.open = quoting::single;
        } else if (c == '"') {
            split.open = quoting::double_quote;
        } else if (c == '\\' && i + 1 < line.size()) {
            add_to_word(line[++i], true, &word, &pattern, &has_pattern);
        } else {
            add_to_word(c, false, &word, &pattern, &has_pattern);
        }
    }
    if (in_word) end_word();
    split.word_at_end = in_word;
    return split;
}

std::string local_path(std::string word) {
    std::string_view rest = word;
    if (!starts_with_ignoring_case(rest, "file://")) return word;
    rest.remove_prefix(7);
    if (starts_with_ignoring_case(rest, "localhost/")) rest.remove_prefix(9);
    if (rest.empty() || rest[0] != '/') return word;
    std::string path;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const int high = rest[i] == '%' && i + 2 < rest.size() ? hex_value(rest[i + 1]) : -1;
        const int low = high >= 0 ? hex_value(rest[i + 2]) : -1;
        // %00 would end the path where the system reads it: it stays as written.
        if (low < 0 || (high == 0 && low == 0)) {
            path += rest[i];
            continue;
        }
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return path;
}

std::string joined(std::string_view folder, std::string_view path) {
    std::string whole(folder);
    if (whole.empty() || whole.back() != '/') whole += '/';
    whole.append(path);
    return whole;
}

std::string escaped_for_pattern(std::string_view folder) {
    std::string escaped;
    for (const char c : folder) {
        if (is_pattern_character(c) || c == ']' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::string quoted_for_line(std::string_view text, quoting open, bool word_start) {
    std::string quoted;
    for (const char c : text) {
        switch (open) {
            case quoting::single: quoted += c == '\'' ? std::string_view("'\\''") : std::string_view(&c, 1); break;
            case quoting::double_quote:
                if (escaped_in_double_quotes(c)) quoted += '\\';
                quoted += c;
                break;
            case quoting::none:
                if (is_blank(c) || c == '\r' || c == '\'' || c == '"' || c == '\\' || (c == '~' && word_start)) {
                    quoted += '\\';
                }
                quoted += c;
                break;
        }
        word_start = false;
    }
    return quoted;
}

}  // namespace pushfile::receive
