// Desktop notifications through the user's terminal: which escape, if any, the terminal shows as
// a notification, judged from the environment the receiver was started in; and the escape itself.
// A terminal that does not know the escape may print it as text, so only terminals known to take
// it get one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/environment.h"

namespace pushfile::receive {

enum class notification_escape : std::uint8_t {
    none,
    osc9,    // ESC ] 9 ; TEXT ST: iTerm2, WezTerm, Windows Terminal, ConEmu
    osc777,  // ESC ] 777 ; notify ; TITLE ; BODY ST: VTE with the notification patch, foot, urxvt's notify extension
    osc99,   // ESC ] 99 ; ; TEXT ST: kitty
};

// The escape that the terminal in this environment is known to show, or none: the Linux console,
// a terminal multiplexer in between (tmux, screen) and unknown terminals get none.
notification_escape detected_notification_escape(const environment_lookup& lookup);

// The user's choice (nullopt: as detected) made an escape. Chosen by hand, an unknown terminal
// gets OSC 777; the Linux console never gets one, since it shows none.
notification_escape chosen_notification_escape(std::optional<bool> wanted, const environment_lookup& lookup);

// Appends text with every byte that could end an escape string or act on the terminal replaced
// by '?': C0 controls, DEL, C1 controls (single bytes or UTF-8 characters) and bytes that are not
// valid UTF-8.
void append_escape_string_text(std::string& out, std::string_view text);

// Appends the notification escape for title and body, both made safe as above; where the escape
// has no title, the text is "TITLE: BODY". none appends nothing. The title must not start with a
// digit: ConEmu takes OSC 9 followed by a number as a command of its own.
void append_notification(std::string& out, notification_escape escape, std::string_view title, std::string_view body);

}  // namespace pushfile::receive
