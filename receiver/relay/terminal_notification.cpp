#include "receiver/relay/terminal_notification.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>

#include "common/text.h"

namespace pushfile::receive {
namespace {

constexpr std::string_view STRING_TERMINATOR = "\x1b\\";
// VTE's notification escape came with 0.40 (VTE_VERSION 4000), in the distributions that carry
// the patch; the VTE without it ignores the escape silently.
constexpr long FIRST_NOTIFYING_VTE = 4000;

bool starts_with(const char* value, std::string_view prefix) {
    return value != nullptr && std::string_view(value).starts_with(prefix);
}

bool set(const char* value) { return value != nullptr && *value != '\0'; }

}  // namespace

notification_escape detected_notification_escape(const environment_lookup& lookup) {
    const char* term = lookup("TERM");
    if (!set(term) || std::strcmp(term, "linux") == 0 || std::strcmp(term, "dumb") == 0) {
        return notification_escape::none;
    }
    // Under a multiplexer the escape reaches it, not the terminal (and the variables below may be
    // left over from the terminal it was started in).
    if (set(lookup("TMUX")) || set(lookup("STY")) || starts_with(term, "screen") || starts_with(term, "tmux")) {
        return notification_escape::none;
    }
    if (set(lookup("KITTY_WINDOW_ID")) || std::strcmp(term, "xterm-kitty") == 0) return notification_escape::osc99;
    const char* program = lookup("TERM_PROGRAM");
    if (starts_with(program, "iTerm.app") || starts_with(program, "WezTerm") || set(lookup("WT_SESSION")) ||
        set(lookup("ConEmuPID"))) {
        return notification_escape::osc9;
    }
    if (starts_with(term, "foot")) return notification_escape::osc777;
    if (const char* vte = lookup("VTE_VERSION"); set(vte)) {
        long version = 0;
        const char* end = vte + std::strlen(vte);
        const auto [stop, error] = std::from_chars(vte, end, version);
        if (error == std::errc{} && stop == end && version >= FIRST_NOTIFYING_VTE) return notification_escape::osc777;
    }
    return notification_escape::none;
}

notification_escape chosen_notification_escape(std::optional<bool> wanted, const environment_lookup& lookup) {
    if (wanted == false) return notification_escape::none;
    const notification_escape detected = detected_notification_escape(lookup);
    if (!wanted || detected != notification_escape::none) return detected;
    const char* term = lookup("TERM");
    if (term != nullptr && std::strcmp(term, "linux") == 0) return notification_escape::none;
    return notification_escape::osc777;
}

void append_escape_string_text(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t at = 0;
    while (at < text.size()) {
        const unsigned char byte = bytes[at];
        if (byte < 0x80) {
            out += is_control(byte) ? '?' : static_cast<char>(byte);
            ++at;
            continue;
        }
        char32_t code_point = 0;
        const std::size_t length = decode_utf8(bytes + at, text.size() - at, &code_point);
        if (length == 0 || is_control(code_point)) {
            out += '?';
            at += length == 0 ? 1 : length;
            continue;
        }
        out.append(text.substr(at, length));
        at += length;
    }
}

void append_notification(std::string& out, notification_escape escape, std::string_view title, std::string_view body) {
    if (escape == notification_escape::none) return;
    if (escape == notification_escape::osc777) {
        out += "\x1b]777;notify;";
        const std::size_t title_start = out.size();
        append_escape_string_text(out, title);
        // A ';' in the title would move the rest of it into the body.
        std::replace(out.begin() + static_cast<std::ptrdiff_t>(title_start), out.end(), ';', ',');
        out += ';';
    } else {
        out += escape == notification_escape::osc9 ? "\x1b]9;" : "\x1b]99;;";
        append_escape_string_text(out, title);
        out += ": ";
    }
    append_escape_string_text(out, body);
    out += STRING_TERMINATOR;
}

}  // namespace pushfile::receive
