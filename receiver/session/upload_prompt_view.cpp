#include "receiver/session/upload_prompt_view.h"

namespace pushfile::receive {
namespace {

constexpr std::string_view PASTE_MODE_ON = "\x1b[?2004h";
constexpr std::string_view PASTE_MODE_OFF = "\x1b[?2004l";

const unsigned char* as_bytes(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }

}  // namespace

void upload_prompt_view::open(const upload_prompt& prompt, command_terminal* terminal) {
    if (keyboard_is_terminal_ && !paste_mode_.bracketed_paste()) {
        screen_.append(as_bytes(PASTE_MODE_ON), PASTE_MODE_ON.size());
        paste_mode_set_ = true;
    }
    question_.begin(terminal);
    draw(prompt);
}

void upload_prompt_view::draw(const upload_prompt& prompt) { question_.show(prompt.line(question_.columns())); }

void upload_prompt_view::tell(std::string_view lines, const upload_prompt& prompt) {
    question_.tell(lines);
    draw(prompt);
}

// The command's own paste mode, set meanwhile, stays.
void upload_prompt_view::close(const upload_prompt& prompt) {
    question_.end(prompt.line(question_.columns()));
    if (paste_mode_set_ && !paste_mode_.bracketed_paste()) {
        screen_.append(as_bytes(PASTE_MODE_OFF), PASTE_MODE_OFF.size());
    }
    paste_mode_set_ = false;
}

}  // namespace pushfile::receive
