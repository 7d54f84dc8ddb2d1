#include "transfer/clipboard_replies.h"

#include <cstring>

#include "common/protocol.h"
#include "common/upload_encoding.h"

namespace pushfile {
namespace {

// Both forms start so; the pane's goes on with ';', the typed one with "c;".
constexpr std::string_view SHARED_HEAD = "\x1b]52;";
constexpr std::size_t MAX_ANSWER_TEXT = base64_length(MAX_CLIPBOARD_CHUNK);

}  // namespace

clipboard_answer_reader::clipboard_answer_reader()
    : text_(std::make_unique_for_overwrite<char[]>(MAX_ANSWER_TEXT)),
      content_(std::make_unique_for_overwrite<unsigned char[]>(MAX_CLIPBOARD_CHUNK)) {}

void clipboard_answer_reader::feed(const unsigned char* bytes, std::size_t length, events& handler) {
    std::size_t i = 0;
    while (i < length) {
        switch (state_) {
            case state::plain: {
                const auto* escape = static_cast<const unsigned char*>(std::memchr(bytes + i, ESCAPE, length - i));
                const std::size_t span = escape != nullptr ? static_cast<std::size_t>(escape - (bytes + i)) : length - i;
                if (span > 0) handler.plain(bytes + i, span);
                i += span;
                if (escape != nullptr) {
                    state_ = state::head;
                    head_matched_ = 1;
                    ++i;
                }
                break;
            }
            case state::head: {
                const unsigned char byte = bytes[i];
                if (head_matched_ < SHARED_HEAD.size()) {
                    if (byte != static_cast<unsigned char>(SHARED_HEAD[head_matched_])) {
                        release_head(handler);
                        break;  // the byte is looked at again, as plain input
                    }
                    ++head_matched_;
                    ++i;
                } else if (head_matched_ == SHARED_HEAD.size() && byte == ';') {
                    state_ = state::answer;
                    text_length_ = 0;
                    typed_ = false;
                    ++i;
                    handler.answer_began();
                } else if (head_matched_ == SHARED_HEAD.size() && byte == 'c') {
                    ++head_matched_;
                    ++i;
                } else if (head_matched_ > SHARED_HEAD.size() && byte == ';') {
                    state_ = state::skipping;
                    typed_ = true;
                    ++i;
                } else {
                    release_head(handler);
                }
                break;
            }
            case state::answer: {
                // The base64 is checked whole when it is decoded at the end.
                const unsigned char byte = bytes[i++];
                if (byte == ESCAPE) {
                    state_ = state::answer_escape;
                } else if (byte == CLIPBOARD_ANSWER_END) {
                    answer_ended(handler);
                } else if (text_length_ < MAX_ANSWER_TEXT) {
                    text_[text_length_++] = static_cast<char>(byte);
                } else {
                    typed_ = true;  // too long: dropped whole, to its end
                    state_ = state::skipping;
                }
                break;
            }
            case state::answer_escape:
                // ESC and a backslash end an answer; ESC and anything else break it.
                if (bytes[i] == '\\') {
                    ++i;
                    answer_ended(handler);
                } else {
                    typed_ = true;
                    state_ = state::skipping;
                }
                break;
            case state::skipping: {
                const unsigned char byte = bytes[i++];
                if (byte == CLIPBOARD_ANSWER_END) {
                    answer_ended(handler);
                } else if (byte == ESCAPE) {
                    state_ = state::answer_escape;
                }
                break;
            }
        }
    }
}

void clipboard_answer_reader::release_head(events& handler) {
    handler.plain(reinterpret_cast<const unsigned char*>(SHARED_HEAD.data()),
                  head_matched_ <= SHARED_HEAD.size() ? head_matched_ : SHARED_HEAD.size());
    if (head_matched_ > SHARED_HEAD.size()) handler.plain(reinterpret_cast<const unsigned char*>("c"), 1);
    state_ = state::plain;
    head_matched_ = 0;
}

void clipboard_answer_reader::answer_ended(events& handler) {
    state_ = state::plain;
    std::size_t decoded = 0;
    if (typed_ || text_length_ % 4 != 0 || !base64_decode(text_.get(), text_length_, content_.get(), &decoded)) {
        handler.answer_lost();
        return;
    }
    handler.answer(content_.get(), decoded);
}

}  // namespace pushfile
