#include "receiver/session/upload_consent.h"

#include <cstring>
#include <string_view>

namespace pushfile::receive {
namespace {

constexpr unsigned char INTERRUPT_KEY = 0x03;
constexpr unsigned char ESCAPE_KEY = 0x1B;
// A terminal marks the start of pasted text with this.
constexpr std::string_view PASTE_START = "\x1b[200~";

bool is_paste(const unsigned char* bytes, std::size_t length) {
    return length >= PASTE_START.size() && std::memcmp(bytes, PASTE_START.data(), PASTE_START.size()) == 0;
}

// OSC, DCS, APC, PM and SOS: what a terminal answers a query with, never what a key sends.
bool is_reply(const unsigned char* bytes, std::size_t length) {
    return length >= 2 && bytes[0] == ESCAPE_KEY && std::string_view("]P_^X").find(static_cast<char>(bytes[1])) !=
                                                        std::string_view::npos;
}

bool is_cancel(const unsigned char* bytes, std::size_t length) {
    return (!is_paste(bytes, length) && std::memchr(bytes, INTERRUPT_KEY, length) != nullptr) ||
           (length == 1 && bytes[0] == ESCAPE_KEY);
}

}  // namespace

void upload_consent::shown(monotonic_clock::time_point now) {
    visible_ = true;
    last_keys_at_ = now;
}

upload_consent::verdict upload_consent::keys(const unsigned char* bytes, std::size_t length,
                                             monotonic_clock::time_point now) {
    // The line's own editor reads Ctrl-C and Esc, and skips replies, once keys count.
    if (open_ && !confirming_) return verdict::take;
    if (is_reply(bytes, length)) return verdict::ignore;
    const monotonic_clock::time_point before = last_keys_at_;
    last_keys_at_ = now;
    if (is_cancel(bytes, length)) return verdict::cancel;
    if (confirming_) {
        if (!quiet_since(before, now)) return verdict::drop;
        confirming_ = false;
        if (length == 1 && (bytes[0] == 'y' || bytes[0] == 'Y')) return verdict::confirm;
        return verdict::edit;
    }
    // A paste is the user's own act, made after the prompt appeared; it counts at once unless
    // it ends a stream of keys that were dropped (typing, then a paste, for the remote shell).
    const bool counts = visible_ && (is_paste(bytes, length) ? !dropped_any_ || quiet_since(before, now)
                                                             : quiet_since(before, now));
    if (!counts) {
        dropped_any_ = true;
        return verdict::drop;
    }
    open_ = true;
    return verdict::take;
}

void upload_consent::ask_to_confirm(monotonic_clock::time_point now) {
    confirming_ = true;
    last_keys_at_ = now;
}

}  // namespace pushfile::receive
