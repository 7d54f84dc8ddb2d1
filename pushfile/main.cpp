// pushfile: sends the files named on the command line to the terminal it runs in.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/display.h"
#include "common/folder_walk.h"
#include "common/owned_fd.h"
#include "pushfile/terminal.h"
#include "pushfile/transfer.h"
#include "remote/no_answer.h"
#include "remote/raw_terminal.h"
#include "remote/standard_streams.h"

namespace pushfile::send {
namespace {

constexpr const char* PROGRAM_NAME = "pushfile";
constexpr int EXIT_FILES_FAILED = 1;
constexpr int EXIT_CUT_OFF = 255;

// Files that could not be opened or read, or whose reads ended before their announced size, are
// reported once the terminal is back in its own mode.
// So are the entries beneath a folder that were skipped. The record is fixed in size so that the
// run takes nothing from the heap; failures beyond it are counted and reported together.
constexpr std::size_t MAX_REPORTED_FAILURES = 1024;
// The paths of failures beneath a folder, which the walk does not keep.
constexpr std::size_t FAILED_PATHS_SIZE = 65536;

struct failed_file {
    const char* path;
    file_fault fault;
    bool skipped;
    skip_reason reason;
};

struct failure_record {
    failed_file files[MAX_REPORTED_FAILURES];
    std::size_t count = 0;
    std::size_t unlisted_faults = 0;
    std::size_t unlisted_skips = 0;
    char paths[FAILED_PATHS_SIZE];
    std::size_t paths_used = 0;
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

bool any_failure(const failure_record& failures) {
    return failures.count + failures.unlisted_faults + failures.unlisted_skips > 0;
}

// failure.path is an argument, which lives as long as the run; the path beneath it, when there is
// one, is joined to it in the record's own room.
void record_failure(failure_record* failures, failed_file failure, const char* beneath = "") {
    bool listed = failures->count < MAX_REPORTED_FAILURES;
    if (listed && *beneath != '\0') {
        std::size_t length = std::strlen(failure.path);
        while (length > 1 && failure.path[length - 1] == '/') --length;
        const char* separator = failure.path[length - 1] == '/' ? "" : "/";
        char* room = failures->paths + failures->paths_used;
        const std::size_t left = FAILED_PATHS_SIZE - failures->paths_used;
        const int joined =
            std::snprintf(room, left, "%.*s%s%s", static_cast<int>(length), failure.path, separator, beneath);
        listed = joined >= 0 && static_cast<std::size_t>(joined) < left;
        if (listed) failures->paths_used += static_cast<std::size_t>(joined) + 1;
        failure.path = room;
    }
    if (!listed) {
        ++(failure.skipped ? failures->unlisted_skips : failures->unlisted_faults);
        return;
    }
    failures->files[failures->count++] = failure;
}

void report_failures(const failure_record& failures) {
    char shown_path[4096];
    for (std::size_t i = 0; i < failures.count; ++i) {
        const failed_file& file = failures.files[i];
        escape_for_display(file.path, std::strlen(file.path), shown_path, sizeof shown_path);
        if (file.skipped) {
            std::fprintf(stderr, "%s: %s: skipped: %s\n", PROGRAM_NAME, shown_path, describe(file.reason));
        } else if (file.fault.error != 0) {
            std::fprintf(stderr, "%s: %s: %s\n", PROGRAM_NAME, shown_path, std::strerror(file.fault.error));
        } else {
            std::fprintf(stderr, "%s: %s: only %llu of the %llu bytes announced could be read\n", PROGRAM_NAME,
                         shown_path, static_cast<unsigned long long>(file.fault.bytes_sent),
                         static_cast<unsigned long long>(file.fault.announced_size));
        }
    }
    if (failures.unlisted_faults > 0)
        std::fprintf(stderr, "%s: %zu more files could not be read\n", PROGRAM_NAME, failures.unlisted_faults);
    if (failures.unlisted_skips > 0)
        std::fprintf(stderr, "%s: %zu more entries were skipped\n", PROGRAM_NAME, failures.unlisted_skips);
}

bool is_folder(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Sends every regular file beneath folder; what is skipped or cannot be read is recorded.
transfer_outcome send_folder(const char* folder, folder_walk* walk, failure_record* failures) {
    if (!walk->start(folder)) {
        record_failure(failures, {folder, file_fault{errno}, false, {}});
        return transfer_outcome::completed;
    }
    walk_entry entry;
    transfer_outcome outcome = transfer_outcome::completed;
    while (outcome == transfer_outcome::completed) {
        const walk_step step = walk->next(&entry);
        if (step == walk_step::done) break;
        file_fault fault;
        if (step == walk_step::file) {
            outcome = send_opened_file(entry.sent_path, std::move(entry.file), entry.error, &fault);
        } else {
            fault.error = entry.error;
        }
        if (fault.any() || step == walk_step::skipped)
            record_failure(failures, {folder, fault, step == walk_step::skipped, entry.skipped}, entry.relative_path);
    }
    walk->end();
    return outcome;
}

// After a run cut off before anything was accepted.
void report_no_answer(bool in_tmux_pane, transfer_outcome outcome) {
    if (outcome == transfer_outcome::no_reply) {
        char line[remote::NO_ANSWER_LINE_SIZE];
        remote::format_no_answer(line, PROGRAM_NAME, in_tmux_pane, "");
        std::fprintf(stderr, "%s\n", line);
    } else if (in_tmux_pane) {
        std::fprintf(stderr,
                     "%s: nothing was accepted; inside tmux the transfer needs 'set -g allow-passthrough on' "
                     "(tmux 3.3 or later)\n",
                     PROGRAM_NAME);
    }
}

// The whole run: usage or transfer, and the exit status.
int run(int argc, char** argv) {
    // With descriptor 0 closed, the first file opened would take its place and be read as the
    // terminal's replies.
    remote::open_closed_standard_descriptors(STDIN_FILENO);

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
    folder_walk walk;
    const bool in_tmux_pane = remote::wrap_messages_for_output_pane();
    char no_answer_notice[remote::NO_ANSWER_LINE_SIZE];
    remote::format_no_answer(no_answer_notice, PROGRAM_NAME, in_tmux_pane, "; any key gives up");
    set_no_answer_notice(no_answer_notice);
    remote::raw_terminal terminal(remote::ending_signal_use::end_at_once);
    terminal.enter();
    for (int i = 1; i < argc; ++i) {
        transfer_outcome outcome;
        if (is_folder(argv[i])) {
            outcome = send_folder(argv[i], &walk, &failures);
        } else {
            file_fault fault;
            outcome = send_file(argv[i], &fault);
            if (fault.any()) record_failure(&failures, {argv[i], fault, false, {}});
        }
        if (outcome != transfer_outcome::completed) {
            terminal.restore();
            report_failures(failures);
            if (outcome == transfer_outcome::refused_reply) std::fwrite("Send Fail\n", 1, 10, stderr);
            if (!any_answer_accepted()) report_no_answer(in_tmux_pane, outcome);
            return EXIT_CUT_OFF;
        }
    }
    terminal.restore();
    report_failures(failures);
    return any_failure(failures) ? EXIT_FILES_FAILED : 0;
}

}  // namespace
}  // namespace pushfile::send

int main(int argc, char** argv) { return pushfile::send::run(argc, argv); }
