// The upload prompt on the user's screen: its line redrawn in place (over a full-screen program,
// on the screen's last row), the lines told above it, and its last drawing left as a shell's
// command line is. While it is up the user's terminal marks pasted text, so that a pasted name
// is taken whole, spaces and all.
#pragma once

#include <cstddef>
#include <string_view>

#include "receiver/relay/handler.h"
#include "receiver/relay/output_scanner.h"
#include "receiver/session/question_line.h"
#include "receiver/session/upload_prompt.h"

namespace pushfile::receive {

class upload_prompt_view {
public:
    // The paste mode's switches go to screen, the command's output queue, to keep their place
    // among that output; they are only for a keyboard that is a terminal.
    upload_prompt_view(question_line& question, byte_sink& screen, bool keyboard_is_terminal)
        : question_(question), screen_(screen), keyboard_is_terminal_(keyboard_is_terminal) {}

    // The command's output as shown: whether the command has pasted text marked itself.
    void output_shown(const unsigned char* bytes, std::size_t length) { paste_mode_.scan_all(bytes, length); }
    // terminal (null: none) gives up its last row for the prompt over a full-screen program.
    void open(const upload_prompt& prompt, command_terminal* terminal);
    void draw(const upload_prompt& prompt);
    // Lines above the prompt (a Tab's listing, what is wrong with the line), then the prompt.
    void tell(std::string_view lines, const upload_prompt& prompt);
    void close(const upload_prompt& prompt);

private:
    question_line& question_;
    byte_sink& screen_;
    bool keyboard_is_terminal_;
    output_scanner paste_mode_;
    bool paste_mode_set_ = false;
};

}  // namespace pushfile::receive
