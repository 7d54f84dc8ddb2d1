// What the user sees of a transfer: a one-line progress display redrawn a few times a second, then
// one line saying where the file was saved or why it was not. Names come from outside and are
// always shown escaped.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "relay.h"

namespace pushfile::receive {

using clock = std::chrono::steady_clock;

// "1.5 MiB", "512 B": sizes as people read them.
std::string human_size(std::uint64_t bytes);

// The progress line without its terminal controls, e.g.
// "report.pdf  12.0 MiB of 64.0 MiB  18%  30.1 MiB/s  0:01 left". A total of UNKNOWN_SIZE leaves
// out what cannot be known.
std::string progress_line(std::string_view shown_name, std::uint64_t received, std::uint64_t total,
                          double bytes_per_second);

class progress_display {
public:
    // Writes to descriptor fd, each piece as soon as it comes. On a terminal the line is redrawn
    // in place; otherwise only the outcome lines are written. quiet keeps only the failures.
    progress_display(int fd, bool quiet);
    // Appends each piece, whole, to out (the relay's screen, which keeps it in order with the
    // command's output); on_terminal says whether that lands on a terminal.
    progress_display(byte_sink& out, bool on_terminal, bool quiet);

    // A file was named; the outcome lines that follow are about it.
    void file_named(std::string_view sent_name);
    // Its data begins: the progress line appears.
    void file_started(std::uint64_t total, clock::time_point now);
    void file_advanced(std::uint64_t received, clock::time_point now);
    // Redraws when enough time has passed since the last drawing.
    void tick(clock::time_point now);
    void file_saved(std::string_view saved_path);
    void file_failed(std::string_view reason);
    // A failure that concerns no file in progress (a stray or broken message).
    void notice(std::string_view text);
    // Asks whether to receive the named file; the answer comes from the keyboard.
    void ask_about_file(std::uint64_t total);
    // Ends the question's line with the answer given.
    void answered(bool yes);

private:
    void draw(clock::time_point now);
    void clear_line();
    void write_line(std::string_view text);
    void write_out(std::string_view text);

    int fd_ = -1;
    byte_sink* out_ = nullptr;
    bool quiet_;
    bool on_terminal_;
    bool line_drawn_ = false;
    std::string shown_name_;
    std::uint64_t total_ = 0;
    std::uint64_t received_ = 0;
    clock::time_point started_{};
    clock::time_point last_drawn_{};
    std::string buffer_;
};

}  // namespace pushfile::receive
