// The local prompt of an upload: the user names the files to send to the remote host on one
// edited line, with the keys of a shell's line editor, Tab completing paths, and file names
// dropped or pasted by the terminal taken as it inserts them. Pure logic: the owner feeds the keys
// read from the user's terminal in raw mode and draws line(); the only I/O is reading a folder
// when Tab asks for it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "receiver/session/upload_prompt_keys.h"

namespace pushfile::receive {

// A path named on the prompt's line.
struct named_path {
    std::string word;  // as the line gives it, unquoted
    std::string path;
    // The word as a glob(3) pattern when it holds a '*', '?' or '[' that was not quoted (quoted
    // ones escaped): it names the paths that match. Empty otherwise.
    std::string pattern;
};

class upload_prompt {
public:
    enum class state {
        editing,  // more keys are wanted
        send,     // Enter on a line that names something: paths() holds it
        nothing,  // Esc, Ctrl-C, Ctrl-D or Enter on an empty line: the user sends nothing
    };

    // Text beyond this is dropped (text_dropped() says so): the line is held in full, keys and
    // pastes being unbounded.
    static constexpr std::size_t MAX_LINE = std::size_t{16} * 1024;
    // Names listed when Tab cannot choose; the others are counted.
    static constexpr std::size_t MAX_LISTED = 30;
    // Entries of a folder read for one completion, so that a huge folder cannot stall the prompt.
    static constexpr std::size_t MAX_FOLDER_ENTRIES = 10000;

    // remote_folder comes from the remote side and is only shown, escaped. Relative paths are taken
    // from working_folder; a leading ~ stands for home (left as it is when home is empty).
    explicit upload_prompt(std::string_view remote_folder, std::string working_folder = ".", std::string home = {});

    // Takes keys as read from the terminal, in pieces of any size. Once it has answered send or
    // nothing, that answer stays and further keys are ignored.
    state feed(const unsigned char* keys, std::size_t length);
    // An Esc is the start of many keys' sequences; one that ends a read is only taken as the Esc
    // key once no more keys came for a moment (about 50 ms): the owner then calls this.
    bool escape_pending() const;
    state escape_timed_out();
    // A paste whose end marker has not come. A terminal sends the whole paste at once, so one that
    // went quiet for a while (about a second) is over: the owner calls paste_timed_out(), and keys
    // are keys again (else Enter, Esc and Ctrl-C would never be read as such).
    bool paste_open() const;
    void paste_timed_out();
    state current() const { return state_; }

    // The edited line as typed, unescaped.
    const std::string& text() const { return line_; }
    // Whether text was dropped for want of room since the line last became shorter.
    bool text_dropped() const { return dropped_; }
    // After a Tab that could not choose among several names: the names, escaped for display and
    // sorted, a folder's with a trailing '/', and how many more there are. Empty otherwise; the
    // next key empties it.
    const std::string& listing() const { return listing_; }

    // Whether a key shaped the line (text typed, Tab, an edit) rather than only a paste, since it
    // was last empty.
    bool typed() const { return typed_; }
    // After send: the line could not be taken as it is; it stays up to be edited.
    void reopen();
    // What the line names, shown for the user to confirm in place of the line, already escaped;
    // empty to show the line again.
    void set_question(std::string question) { question_ = std::move(question); }

    // The paths on the line, split and unquoted as a shell would: whitespace separates words;
    // '...' is literal; "..." with \ escaping " \ $ `; a backslash escapes the next character;
    // a leading ~/ or a lone ~ is home; file:///path and file://localhost/path (percent-encoded)
    // are local paths. An unclosed quote is taken as closed at the end of the line.
    std::vector<std::string> paths() const;
    // The same, each with its pattern.
    std::vector<named_path> named_paths() const;

    // The prompt and the edited line to draw on one line of a terminal of that many columns (0:
    // unlimited), without terminal controls and with everything from outside escaped. The end of
    // the edited line, where the cursor is, always shows; the prompt gives way first.
    std::string line(std::size_t columns) const;
    // Where the cursor goes on that line: its end.
    std::size_t cursor_column(std::size_t columns) const;

private:
    void key(unsigned char byte);
    void pasted(unsigned char byte);
    void add_text_byte(unsigned char byte);
    void flush_partial_character();
    void insert(std::string_view text);  // whole, or not at all when the line is full
    void shortened();
    void backspace();
    void delete_word();
    void enter();
    void complete();
    std::string fitted_line(std::size_t columns, std::size_t* shown_columns) const;

    std::string shown_folder_;
    std::string working_folder_;
    std::string home_;
    std::string line_;
    std::string listing_;
    state state_ = state::editing;
    prompt_key_reader reader_;
    bool paste_after_cr_ = false;    // CR LF in a paste is one line end, one space
    unsigned char partial_[4] = {};  // a UTF-8 character whose bytes are still coming
    std::size_t partial_length_ = 0;
    bool dropped_ = false;
    bool typed_ = false;
    std::string question_;
};

}  // namespace pushfile::receive
