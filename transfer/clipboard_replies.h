// The upload's frames in answers to tmux's clipboard queries. tmux reads what is typed into a
// pane one key at a time, and typed frames crawl through it; `tmux refresh-client -l PANE` (tmux
// 3.3 to 3.6) instead makes it ask its client's terminal for the clipboard (ESC ] 52 ; ; ? BEL),
// and it parses the terminal's answer (ESC ] 52 ; c ; BASE64 BEL) as one sequence, then writes
// it to the pane's input as ESC ] 52 ; ; BASE64 ESC \ (backslash). pullfile asks so; the receiver,
// in the terminal's place, answers with the frames due: TOKEN, then frame text, in base64.
// An answer that does not arrive whole within tmux's escape-time of its first byte is typed into
// the pane as keys instead: ESC ] 52 ; c ; BASE64 BEL. pullfile tells it by the 'c' and drops it:
// it never reaches the frame reader, and the receiver types its frames again.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace pushfile {

// Each answer starts with this many lowercase hex digits that pullfile chose: an answer from
// anything but the receiver that pullfile asked (a real terminal's clipboard) is never taken.
inline constexpr std::size_t CLIPBOARD_TOKEN_LENGTH = 16;
// An answer's bytes, its token included, before base64: the longest frame and the token fit the
// least; tmux rescans the answer it buffers at each read, so more costs its CPU.
inline constexpr std::size_t MIN_CLIPBOARD_CHUNK = std::size_t{64} << 10;
inline constexpr std::size_t MAX_CLIPBOARD_CHUNK = std::size_t{768} << 10;
// pullfile offers answers of at most this many bytes per millisecond of tmux's escape-time, so
// that an answer arrives whole in time over a link of about 2 MB/s: the receiver takes a chunk
// as a floor under escape-time.
inline constexpr std::size_t CHUNK_BYTES_PER_ESCAPE_MS = 1536;
// What the receiver writes ahead of an answer's base64 (and tmux types on a miss), and after it.
inline constexpr std::string_view CLIPBOARD_ANSWER_HEAD = "\x1b]52;c;";
inline constexpr unsigned char CLIPBOARD_ANSWER_END = 0x07;

// pullfile's side: finds tmux's answers in what the terminal gives it, fed in chunks of any size.
// Memory is fixed: one answer's text and its content.
class clipboard_answer_reader {
public:
    class events {
    public:
        // Input outside any answer: typed frames, keys.
        virtual void plain(const unsigned char* bytes, std::size_t length) = 0;
        // tmux passes an answer on: it took the whole of it, and asks again at the next query.
        virtual void answer_began() {}
        // The content of a whole answer tmux passed on, decoded (its token first).
        virtual void answer(const unsigned char* content, std::size_t length) = 0;
        // An answer that tmux typed as keys, or one whose base64 or length is wrong: dropped.
        virtual void answer_lost() = 0;

    protected:
        ~events() = default;
    };

    clipboard_answer_reader();
    void feed(const unsigned char* bytes, std::size_t length, events& handler);

private:
    enum class state : unsigned char { plain, head, answer, skipping, answer_escape };

    // The head matched so far is not one: it goes on as plain input.
    void release_head(events& handler);
    void answer_ended(events& handler);

    state state_ = state::plain;
    std::size_t head_matched_ = 0;
    bool typed_ = false;  // the head came in the form tmux types on a miss
    std::unique_ptr<char[]> text_;
    std::size_t text_length_ = 0;
    std::unique_ptr<unsigned char[]> content_;
};

}  // namespace pushfile
