#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "common/display.h"
#include "common/protocol.h"

namespace pushfile::receive {
namespace {

constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(250);
constexpr std::size_t SHOWN_NAME_CAPACITY = 4 * 255 + 4;
constexpr const char* PROGRAM_NAME = "pushfile-receive";

std::string escaped(std::string_view text) { return escaped_for_display(text, SHOWN_NAME_CAPACITY); }

std::string duration_text(double seconds) {
    const auto whole = static_cast<unsigned long long>(std::llround(std::max(seconds, 0.0)));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

std::string human_size(std::uint64_t bytes) {
    static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    auto value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string progress_line(std::string_view shown_name, std::uint64_t received, std::uint64_t total,
                          double bytes_per_second) {
    std::string line(shown_name);
    line += "  " + human_size(received);
    const bool known = total != UNKNOWN_SIZE;
    if (known) {
        line += " of " + human_size(total);
        const double percent_exact =
            total == 0 ? 100.0 : static_cast<double>(received) * 100.0 / static_cast<double>(total);
        const auto percent = static_cast<unsigned>(percent_exact);
        line += "  " + std::to_string(percent) + "%";
    }
    if (bytes_per_second > 0) {
        line += "  " + human_size(static_cast<std::uint64_t>(bytes_per_second)) + "/s";
        if (known && total >= received) {
            line += "  " + duration_text(static_cast<double>(total - received) / bytes_per_second) + " left";
        }
    }
    return line;
}

progress_display::progress_display(int fd, bool quiet) : fd_(fd), quiet_(quiet), on_terminal_(isatty(fd) == 1) {
    buffer_.reserve(SHOWN_NAME_CAPACITY + 256);
}

progress_display::progress_display(byte_sink& out, bool on_terminal, bool quiet)
    : out_(&out), quiet_(quiet), on_terminal_(on_terminal) {
    buffer_.reserve(SHOWN_NAME_CAPACITY + 256);
}

void progress_display::file_named(std::string_view sent_name) {
    shown_name_ = escaped(sent_name);
    total_ = 0;
    received_ = 0;
}

void progress_display::file_started(std::uint64_t total, clock::time_point now) {
    total_ = total;
    received_ = 0;
    started_ = now;
    if (!quiet_) draw(now);
}

void progress_display::file_advanced(std::uint64_t received, clock::time_point now) {
    received_ = received;
    tick(now);
}

void progress_display::tick(clock::time_point now) {
    if (line_drawn_ && now - last_drawn_ >= REDRAW_INTERVAL) draw(now);
}

void progress_display::draw(clock::time_point now) {
    if (!on_terminal_ || quiet_) return;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double rate = seconds > 0.2 ? static_cast<double>(received_) / seconds : 0.0;
    // Carriage return, the line, then erase what an earlier, longer line left.
    const std::string line = progress_line(shown_name_, received_, total_, rate);
    buffer_.clear();
    buffer_.push_back('\r');
    buffer_.append(line);
    buffer_.append("\x1b[K");
    write_out(buffer_);
    line_drawn_ = true;
    last_drawn_ = now;
}

void progress_display::clear_line() {
    if (line_drawn_) write_out("\r\x1b[K");
    line_drawn_ = false;
}

void progress_display::file_saved(std::string_view saved_path) {
    clear_line();
    if (quiet_) return;
    write_line(std::string(PROGRAM_NAME) + ": saved " + shown_name_ + " (" + human_size(received_) + ") as " +
               escaped(saved_path));
}

void progress_display::file_failed(std::string_view reason) {
    clear_line();
    write_line(std::string(PROGRAM_NAME) + ": " + shown_name_ + " not saved: " + std::string(reason));
}

void progress_display::notice(std::string_view text) {
    clear_line();
    write_line(std::string(PROGRAM_NAME) + ": " + std::string(text));
}

void progress_display::ask_about_file(std::uint64_t total) {
    clear_line();
    const std::string size_text = total == UNKNOWN_SIZE ? "size unknown" : human_size(total);
    write_out(std::string(PROGRAM_NAME) + ": receive " + shown_name_ + " (" + size_text + ")? [y/N] ");
}

void progress_display::answered(bool yes) { write_line(yes ? "yes" : "no"); }

void progress_display::write_line(std::string_view text) {
    // The user's terminal may be in raw mode, where a newline alone does not return the cursor.
    std::string line(text);
    line += on_terminal_ ? "\r\n" : "\n";
    write_out(line);
}

void progress_display::write_out(std::string_view text) {
    if (out_ != nullptr) {
        out_->append(reinterpret_cast<const unsigned char*>(text.data()), text.size());
        return;
    }
    const char* next = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, next, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // nowhere to report it; the transfer itself goes on
        next += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace pushfile::receive
