// Runs a program on a real pseudo-terminal while the test plays the terminal: it reads what the
// program writes, answers on the program's input, and looks at the line's settings. Standard error
// goes to a pipe of its own, so that it never mixes with the byte stream, unless asked otherwise.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/hang_guard.h"

namespace pushfile_test {

using std::chrono::milliseconds;

enum class input_source { terminal, file, closed };
enum class output_target { terminal, pipe, nonblocking_pipe };

struct child_options {
    std::string program;
    std::vector<std::string> arguments;  // argv as the program sees it, argv[0] included
    // Changes made to the line's settings before the program starts.
    std::function<void(termios&)> adjust_settings;
    input_source input = input_source::terminal;
    std::string input_file;  // for input_source::file
    output_target output = output_target::terminal;
    int pipe_capacity = 0;  // when > 0, the output pipe's buffer is shrunk to this many bytes
    bool ignore_sigpipe = false;
    std::vector<int> ignored_signals;  // as a shell leaves SIGINT and SIGQUIT for a command run with '&'
    std::string working_directory;
    // Standard error on the terminal too, as at a person's screen (its pipe then stays empty).
    bool errors_to_terminal = false;
    // The window's size, as a person's terminal has one; 0 rows: none.
    unsigned short rows = 0;
    unsigned short columns = 0;
};

struct exit_status {
    bool exited = false;  // false when a signal ended the program
    int code = -1;
    int signal = 0;
};

class pty_peer {
public:
    explicit pty_peer(const child_options& options);
    ~pty_peer();
    pty_peer(const pty_peer&) = delete;
    pty_peer& operator=(const pty_peer&) = delete;

    // Reading the program's standard output. Each returns less than asked only when the output
    // ended or the guard ran out.
    std::string read_exact(std::size_t count, milliseconds guard = HANG_GUARD);
    std::string read_through(char last, milliseconds guard = HANG_GUARD);  // up to and including last
    std::string read_rest(milliseconds guard = HANG_GUARD);                // until the output ends
    std::string read_for(milliseconds period);                             // whatever comes in period
    // Reads until text has come (all of it is taken, through text); false when it did not come.
    bool read_until(std::string_view text, milliseconds guard = HANG_GUARD);
    bool output_ended() const { return output_ended_; }
    // Reads at most chunk bytes at a time and pauses after each read, to play a slow reader.
    void set_read_pacing(std::size_t chunk, milliseconds pause);
    // Closes the test's end of an output pipe, so that the program's next write finds no reader.
    void close_output_reader();

    // Writes bytes to the program's terminal input in one write.
    void send(std::string_view bytes);
    void send_signal(int signal_number);

    termios settings() const;  // the line's settings now
    const termios& initial_settings() const { return initial_settings_; }

    // Waits for the program to end, collecting its output meanwhile; kills it when the guard runs
    // out. The output stays available to read_rest().
    exit_status wait(milliseconds guard = HANG_GUARD);
    const std::string& error_output() const { return errors_; }

private:
    bool pump_until(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);
    void read_output_once();
    void drain_terminal_after_exit();
    void reap(int options);
    std::string take(std::size_t count);

    pid_t pid_ = -1;
    bool reaped_ = false;
    exit_status status_;
    int master_ = -1;
    int slave_ = -1;  // kept so that the settings can be read after the program has ended
    int output_ = -1;
    int errors_fd_ = -1;
    bool output_is_terminal_ = true;
    bool output_ended_ = false;
    bool errors_ended_ = false;
    std::size_t read_chunk_ = 65536;
    milliseconds read_pause_{0};
    std::string pending_;
    std::string errors_;
    termios initial_settings_{};
};

// Prints the fields of two settings records side by side when they differ; empty when equal.
std::string settings_difference(const termios& seen, const termios& wanted);

}  // namespace pushfile_test
