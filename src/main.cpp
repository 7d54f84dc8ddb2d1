// pushfile: sends the files named on the command line to the terminal it runs in.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/display.h"
#include "src/terminal.h"
#include "src/transfer.h"

namespace pushfile::send {
namespace {

constexpr const char* PROGRAM_NAME = "pushfile";
constexpr int EXIT_FILES_FAILED = 1;
constexpr int EXIT_CUT_OFF = 255;

// Files that could not be opened or read, or whose reads ended before their announced size, are
// reported once the terminal is back in its own mode.
// The record is fixed in size so that the run takes nothing from the heap; failures beyond it are
// counted and reported together.
constexpr std::size_t MAX_REPORTED_FAILURES = 1024;

struct failed_file {
    const char* path;
    file_fault fault;
};

struct failure_record {
    failed_file files[MAX_REPORTED_FAILURES];
    std::size_t count = 0;
};

void print_usage(const char* program) {
    std::printf(
        "Usage: %s[-h] FILE1 [FILE2 ...]\n  Send file(s) to the terminal to save\n"
        "  -h or --help Display this help.\n\n",
        program);
}

bool is_help_option(const char* argument) {
    return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0;
}

// With descriptor 0 closed, the first file opened would take its place and be read as the
// terminal's replies.
void ensure_standard_input_open() {
    if (fcntl(STDIN_FILENO, F_GETFD) == -1 && errno == EBADF) {
        const int null_input = open("/dev/null", O_RDONLY);
        if (null_input > STDIN_FILENO) close(null_input);
    }
}

void report_failures(const failure_record& failures) {
    char shown_path[4096];
    const std::size_t listed = failures.count < MAX_REPORTED_FAILURES ? failures.count : MAX_REPORTED_FAILURES;
    for (std::size_t i = 0; i < listed; ++i) {
        const failed_file& file = failures.files[i];
        escape_for_display(file.path, std::strlen(file.path), shown_path, sizeof shown_path);
        if (file.fault.error != 0) {
            std::fprintf(stderr, "%s: %s: %s\n", PROGRAM_NAME, shown_path, std::strerror(file.fault.error));
        } else {
            std::fprintf(stderr, "%s: %s: only %llu of the %llu bytes announced could be read\n", PROGRAM_NAME,
                         shown_path, static_cast<unsigned long long>(file.fault.bytes_sent),
                         static_cast<unsigned long long>(file.fault.announced_size));
        }
    }
    if (failures.count > listed)
        std::fprintf(stderr, "%s: %zu more files could not be read\n", PROGRAM_NAME, failures.count - listed);
}

// A run that no terminal answers most likely lacks the receiver on the user's side, runs in a tmux
// that does not pass the messages on, or has a jump host between that does not pass them on.
constexpr std::size_t NO_ANSWER_LINE_SIZE = 320;
constexpr const char* TMUX_ADVICE = "inside tmux, set -g allow-passthrough on; ";
constexpr const char* RECEIVER_ADVICE =
    "run pushfile-receive on your side (pushfile-receive -- ssh -t host); "
    "through a jump host, pushfile-receive --forward there";

void format_no_answer(char (&line)[NO_ANSWER_LINE_SIZE], multiplexer pane, const char* ending) {
    std::snprintf(line, sizeof line, "%s: no terminal answered; %s%s%s", PROGRAM_NAME,
                  pane == multiplexer::tmux ? TMUX_ADVICE : "", RECEIVER_ADVICE, ending);
}

// After a run cut off before anything was accepted.
void report_no_answer(multiplexer pane, transfer_outcome outcome) {
    if (outcome == transfer_outcome::no_reply) {
        char line[NO_ANSWER_LINE_SIZE];
        format_no_answer(line, pane, "");
        std::fprintf(stderr, "%s\n", line);
    } else if (pane == multiplexer::tmux) {
        std::fprintf(stderr,
                     "%s: nothing was accepted; inside tmux the transfer needs 'set -g allow-passthrough on' "
                     "(tmux 3.3 or later)\n",
                     PROGRAM_NAME);
    }
}

// The whole run: usage or transfer, and the exit status.
int run(int argc, char** argv) {
    ensure_standard_input_open();

    if (argc <= 0) {
        print_usage(PROGRAM_NAME);
        return 0;
    }
    for (int i = 0; i < argc; ++i) {
        if (is_help_option(argv[i])) {
            print_usage(argv[0]);
            return 0;
        }
    }
    if (argc == 1) {
        print_usage(argv[0]);
        return 0;
    }

    failure_record failures;
    // A multiplexer drops the messages unless they come wrapped; only its pane's own terminal
    // reaches it.
    const multiplexer pane = multiplexer_of_output();
    wrap_messages_for(pane);
    char no_answer_notice[NO_ANSWER_LINE_SIZE];
    format_no_answer(no_answer_notice, pane, "; any key gives up");
    set_no_answer_notice(no_answer_notice);
    enter_transfer_mode();
    for (int i = 1; i < argc; ++i) {
        file_fault fault;
        const transfer_outcome outcome = send_file(argv[i], &fault);
        if (fault.any()) {
            if (failures.count < MAX_REPORTED_FAILURES) failures.files[failures.count] = {argv[i], fault};
            ++failures.count;
        }
        if (outcome != transfer_outcome::completed) {
            restore_terminal();
            report_failures(failures);
            if (outcome == transfer_outcome::refused_reply) std::fwrite("Send Fail\n", 1, 10, stderr);
            if (!any_answer_accepted()) report_no_answer(pane, outcome);
            return EXIT_CUT_OFF;
        }
    }
    restore_terminal();
    report_failures(failures);
    return failures.count > 0 ? EXIT_FILES_FAILED : 0;
}

}  // namespace
}  // namespace pushfile::send

int main(int argc, char** argv) { return pushfile::send::run(argc, argv); }
