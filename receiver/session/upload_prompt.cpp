#include "receiver/session/upload_prompt.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "common/display.h"
#include "common/text.h"
#include "receiver/session/progress.h"
#include "receiver/session/upload_prompt_words.h"

namespace pushfile::receive {
namespace {

constexpr unsigned char ESCAPE = 0x1B;
constexpr unsigned char INTERRUPT = 0x03;    // Ctrl-C
constexpr unsigned char END_OF_FILE = 0x04;  // Ctrl-D
constexpr unsigned char KILL_LINE = 0x15;    // Ctrl-U
constexpr unsigned char KILL_WORD = 0x17;    // Ctrl-W

constexpr std::string_view PROMPT_HEAD = "upload to remote ";
constexpr std::string_view PROMPT_HINT = " (Tab completes, Enter sends, Esc cancels): ";
constexpr std::string_view PROMPT_END = ": ";
constexpr std::string_view ELLIPSIS = "...";
// A folder shown shorter than this says too little to be worth the room.
constexpr std::size_t MIN_FOLDER_COLUMNS = 9;
constexpr std::size_t SHOWN_FOLDER_CAPACITY = 4 * 4096 + 4;
constexpr std::size_t SHOWN_NAME_CAPACITY = 4 * 255 + 4;

struct folder_entry {
    std::string name;
    unsigned char type;  // d_type
};

bool is_folder(const std::string& folder, const folder_entry& entry) {
    if (entry.type == DT_DIR) return true;
    if (entry.type != DT_LNK && entry.type != DT_UNKNOWN) return false;
    struct stat status {};
    return stat(joined(folder, entry.name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The names in folder that begin with prefix, from at most MAX_FOLDER_ENTRIES entries.
std::vector<folder_entry> matching_names(const std::string& folder, std::string_view prefix) {
    std::vector<folder_entry> matches;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) return matches;
    const bool hidden = !prefix.empty() && prefix[0] == '.';
    for (std::size_t read = 0; read < upload_prompt::MAX_FOLDER_ENTRIES; ++read) {
        // One thread reads the folder, and readdir_r is deprecated.
        // cppcheck-suppress readdirCalled
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) break;
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || (name[0] == '.' && !hidden)) continue;
        if (name.substr(0, prefix.size()) != prefix) continue;
        matches.push_back({std::string(name), entry->d_type});
    }
    return matches;
}

// How the edited line shows: each character as it is, or escaped when a terminal would act on it
// or it is no UTF-8; a backslash stays one, since it is the line's own quoting.
struct shown_text {
    std::string text;
    std::vector<std::size_t> starts;   // where each character's shown form begins
    std::vector<std::size_t> columns;  // and the columns it takes
    std::size_t total_columns = 0;
};

shown_text show(std::string_view line) {
    shown_text shown;
    for (std::size_t at = 0; at < line.size();) {
        const auto byte = static_cast<unsigned char>(line[at]);
        std::size_t length = 1;
        std::size_t columns = 1;
        shown.starts.push_back(shown.text.size());
        if (byte >= 0x20 && byte < 0x7F) {
            shown.text += line[at];
        } else {
            char32_t code_point = 0;
            if (byte >= 0x80) {
                length = std::max<std::size_t>(1, decode_utf8(reinterpret_cast<const unsigned char*>(line.data()) + at,
                                                              line.size() - at, &code_point));
            }
            const std::string escaped = escaped_for_display(line.substr(at, length));
            shown.text += escaped;
            // Escapes are plain ASCII; a character left as it is takes its own width.
            columns = length > 1 && !is_control(code_point) ? display_columns(escaped) : escaped.size();
        }
        shown.columns.push_back(columns);
        shown.total_columns += columns;
        at += length;
    }
    return shown;
}

// The end of the shown text in at most room columns, "..." in front when its start is cut off.
std::string shown_end(const shown_text& shown, std::size_t room, std::size_t* columns) {
    if (shown.total_columns <= room) {
        *columns = shown.total_columns;
        return shown.text;
    }
    const std::size_t ellipsis = room > ELLIPSIS.size() ? ELLIPSIS.size() : 0;
    std::size_t left = shown.total_columns;
    std::size_t first = 0;
    // Combining marks without their base are left out with it.
    while (first < shown.columns.size() && (left + ellipsis > room || shown.columns[first] == 0)) {
        left -= shown.columns[first++];
    }
    *columns = left + ellipsis;
    std::string end(ELLIPSIS.substr(0, ellipsis));
    if (first < shown.starts.size()) end.append(shown.text, shown.starts[first]);
    return end;
}

}  // namespace

upload_prompt::upload_prompt(std::string_view remote_folder, std::string working_folder, std::string home)
    : shown_folder_(escaped_for_display(remote_folder, SHOWN_FOLDER_CAPACITY)),
      working_folder_(std::move(working_folder)),
      home_(std::move(home)) {
    line_.reserve(MAX_LINE);
}

upload_prompt::state upload_prompt::feed(const unsigned char* keys, std::size_t length) {
    for (std::size_t i = 0; i < length && state_ == state::editing; ++i) {
        const unsigned char byte = keys[i];
        switch (reader_.read(byte)) {
            case prompt_key_reader::meaning::none: break;
            case prompt_key_reader::meaning::key: key(byte); break;
            case prompt_key_reader::meaning::pasted: pasted(byte); break;
            case prompt_key_reader::meaning::paste_begins:
                paste_after_cr_ = false;
                listing_.clear();
                break;
            case prompt_key_reader::meaning::paste_ends: paste_after_cr_ = false; break;
            case prompt_key_reader::meaning::escape_then_control: state_ = state::nothing; break;
        }
    }
    return state_;
}

void upload_prompt::reopen() {
    state_ = state::editing;
    reader_.reset();
    question_.clear();
}

bool upload_prompt::escape_pending() const { return state_ == state::editing && reader_.escape_pending(); }

upload_prompt::state upload_prompt::escape_timed_out() {
    if (state_ == state::editing && reader_.escape_timed_out()) state_ = state::nothing;
    return state_;
}

bool upload_prompt::paste_open() const { return state_ == state::editing && reader_.paste_open(); }

void upload_prompt::paste_timed_out() {
    if (paste_open()) reader_.paste_timed_out();
}

void upload_prompt::key(unsigned char byte) {
    if (byte != '\t') listing_.clear();
    // Whatever a key does to the line makes it typed, but for clearing it.
    if (byte != '\r' && byte != '\n' && byte != KILL_LINE && byte != ESCAPE && byte != INTERRUPT && byte != END_OF_FILE) {
        typed_ = true;
    }
    switch (byte) {
        case 0x7F:
        case 0x08: backspace(); break;
        case KILL_LINE:
            partial_length_ = 0;
            line_.clear();
            typed_ = false;
            shortened();
            break;
        case KILL_WORD: delete_word(); break;
        case '\r':
        case '\n': enter(); break;
        case INTERRUPT: state_ = state::nothing; break;
        case END_OF_FILE:
            if (line_.empty() && partial_length_ == 0) state_ = state::nothing;
            break;
        case '\t': complete(); break;
        case ESCAPE: break;  // the reader follows what it starts
        default:
            if (byte >= 0x20) add_text_byte(byte);  // other control keys do nothing here
            break;
    }
}

void upload_prompt::pasted(unsigned char byte) {
    const bool after_cr = paste_after_cr_;
    paste_after_cr_ = byte == '\r';
    if (byte == '\n' && after_cr) return;
    if (byte == '\r' || byte == '\n' || byte == '\t') byte = ' ';
    if (byte < 0x20 || byte == 0x7F) return;
    add_text_byte(byte);
}

// A character's bytes may come in separate reads; it goes onto the line whole, or not at all.
void upload_prompt::add_text_byte(unsigned char byte) {
    if (partial_length_ > 0) {
        if ((byte & 0xC0U) == 0x80U) {
            partial_[partial_length_++] = byte;
            if (partial_length_ < utf8_claimed_length(partial_[0])) return;
            char32_t code_point = 0;
            const std::size_t length = decode_utf8(partial_, partial_length_, &code_point);
            if (length != 0 && is_control(code_point)) {
                partial_length_ = 0;  // a C1 control a terminal would act on
                return;
            }
            flush_partial_character();
            return;
        }
        flush_partial_character();
    }
    if (utf8_claimed_length(byte) > 1) {
        partial_[0] = byte;
        partial_length_ = 1;
        return;
    }
    insert(std::string_view(reinterpret_cast<const char*>(&byte), 1));
}

// Bytes that are no UTF-8 (a name in another encoding) go on the line as they are.
void upload_prompt::flush_partial_character() {
    insert(std::string_view(reinterpret_cast<const char*>(partial_), partial_length_));
    partial_length_ = 0;
}

void upload_prompt::insert(std::string_view text) {
    if (line_.size() + text.size() > MAX_LINE) {
        dropped_ = true;
        return;
    }
    line_.append(text);
}

void upload_prompt::shortened() { dropped_ = false; }

void upload_prompt::backspace() {
    if (partial_length_ > 0) {
        partial_length_ = 0;
        return;
    }
    if (line_.empty()) return;
    std::size_t start = line_.size() - 1;
    while (start > 0 && line_.size() - start < 4 && (static_cast<unsigned char>(line_[start]) & 0xC0U) == 0x80U) {
        --start;
    }
    char32_t code_point = 0;
    const std::size_t tail = line_.size() - start;
    if (decode_utf8(reinterpret_cast<const unsigned char*>(line_.data()) + start, tail, &code_point) != tail) {
        start = line_.size() - 1;  // not a character: one byte goes
    }
    line_.resize(start);
    shortened();
}

void upload_prompt::delete_word() {
    flush_partial_character();
    std::size_t end = line_.size();
    while (end > 0 && line_[end - 1] == ' ') --end;
    while (end > 0 && line_[end - 1] != ' ') --end;
    line_.resize(end);
    shortened();
}

void upload_prompt::enter() {
    flush_partial_character();
    state_ = line_.find_first_not_of(" \t") == std::string::npos ? state::nothing : state::send;
}

std::vector<std::string> upload_prompt::paths() const {
    std::vector<std::string> paths;
    for (named_path& named : named_paths()) paths.push_back(std::move(named.path));
    return paths;
}

std::vector<named_path> upload_prompt::named_paths() const {
    split_line split = split_words(line_, home_);
    std::vector<named_path> named;
    for (std::size_t i = 0; i < split.words.size(); ++i) {
        std::string path = local_path(split.words[i]);
        // A file:// URI names one file, whatever its characters.
        std::string pattern = path == split.words[i] ? std::move(split.patterns[i]) : std::string();
        if (!path.empty() && path[0] != '/' && working_folder_ != ".") {
            path = joined(working_folder_, path);
            if (!pattern.empty()) pattern = joined(escaped_for_pattern(working_folder_), pattern);
        }
        named.push_back({std::move(split.words[i]), std::move(path), std::move(pattern)});
    }
    return named;
}

// Like a shell: the longest start common to the matching names is added; a single name is added
// whole, a folder's with '/' to go on into it, a file's closed and followed by a space for the
// next path. Tab that adds nothing shows the choice instead.
void upload_prompt::complete() {
    flush_partial_character();
    listing_.clear();
    const split_line split = split_words(line_, home_);
    const std::string word = split.word_at_end ? split.words.back() : std::string();
    const std::size_t slash = word.rfind('/');
    const std::string_view folder_part =
        slash == std::string::npos ? std::string_view() : std::string_view(word).substr(0, slash + 1);
    const std::string_view prefix = std::string_view(word).substr(folder_part.size());
    const std::string folder = folder_part.empty()     ? working_folder_
                               : folder_part[0] == '/' ? std::string(folder_part)
                                                       : joined(working_folder_, folder_part);
    std::vector<folder_entry> matches = matching_names(folder, prefix);
    if (matches.empty()) return;

    const bool word_start = word.empty() && split.open == quoting::none;
    if (matches.size() == 1) {
        std::string added =
            quoted_for_line(std::string_view(matches[0].name).substr(prefix.size()), split.open, word_start);
        if (is_folder(folder, matches[0])) {
            added += '/';
        } else {
            if (split.open == quoting::single) added += '\'';
            if (split.open == quoting::double_quote) added += '"';
            added += ' ';
        }
        insert(added);
        return;
    }
    std::size_t common = matches[0].name.size();
    for (const folder_entry& match : matches) {
        const auto differ = std::mismatch(match.name.begin(), match.name.end(), matches[0].name.begin(),
                                          matches[0].name.begin() + static_cast<std::ptrdiff_t>(common));
        common = static_cast<std::size_t>(differ.first - match.name.begin());
    }
    common = utf8_prefix_length(matches[0].name, common);
    if (common > prefix.size()) {
        insert(quoted_for_line(std::string_view(matches[0].name).substr(prefix.size(), common - prefix.size()),
                               split.open, word_start));
        return;
    }
    const std::size_t listed = std::min(matches.size(), MAX_LISTED);
    const auto by_name = [](const folder_entry& a, const folder_entry& b) { return a.name < b.name; };
    std::partial_sort(matches.begin(), matches.begin() + static_cast<std::ptrdiff_t>(listed), matches.end(), by_name);
    for (std::size_t i = 0; i < listed; ++i) {
        if (i > 0) listing_ += "  ";
        listing_ += escaped_for_display(matches[i].name, SHOWN_NAME_CAPACITY);
        if (is_folder(folder, matches[i])) listing_ += '/';
    }
    if (matches.size() > listed) listing_ += "  and " + std::to_string(matches.size() - listed) + " more";
}

std::string upload_prompt::line(std::size_t columns) const {
    std::size_t shown_columns = 0;
    return fitted_line(columns, &shown_columns);
}

std::size_t upload_prompt::cursor_column(std::size_t columns) const {
    std::size_t shown_columns = 0;
    fitted_line(columns, &shown_columns);
    return shown_columns;
}

// The text is measured with its own columns (a backslash in it is no escape), the prompt with
// display_columns.
std::string upload_prompt::fitted_line(std::size_t columns, std::size_t* shown_columns) const {
    // The cursor stays off the last column, where it would wait to wrap.
    const std::size_t room = columns == 0 ? std::string::npos : columns - 1;
    if (!question_.empty()) {
        std::string line =
            fit_to_columns(std::string(PROMPT_HEAD).append(shown_folder_).append(PROMPT_END), question_, room);
        *shown_columns = display_columns(line);
        return line;
    }
    const shown_text text = show(line_);
    std::string prompt = std::string(PROMPT_HEAD).append(shown_folder_).append(PROMPT_HINT);
    if (display_columns(prompt) + text.total_columns > room) {
        prompt = std::string(PROMPT_HEAD).append(shown_folder_).append(PROMPT_END);
    }
    std::size_t prompt_columns = display_columns(prompt);
    if (prompt_columns + text.total_columns > room) {
        // The prompt takes what the text leaves, and keeps a third of the line whatever it is.
        const std::size_t prompt_room =
            std::max(room > text.total_columns ? room - text.total_columns : 0, std::min(prompt_columns, room / 3));
        if (prompt_room >= PROMPT_HEAD.size() + MIN_FOLDER_COLUMNS + PROMPT_END.size()) {
            prompt = std::string(PROMPT_HEAD)
                         .append(fit_to_columns(shown_folder_, PROMPT_END, prompt_room - PROMPT_HEAD.size()));
        } else {
            prompt = "upload: ";
            prompt.resize(prefix_fitting_columns(prompt, prompt_room));
        }
        prompt_columns = display_columns(prompt);
    }
    std::size_t text_columns = 0;
    prompt += shown_end(text, room - prompt_columns, &text_columns);
    *shown_columns = prompt_columns + text_columns;
    return prompt;
}

}  // namespace pushfile::receive
