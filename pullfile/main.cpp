// pullfile: asks the terminal it runs in for files, and saves what the user's side sends in the
// current folder or DIR. The terminal's input is the channel in, standard output the way back.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/display.h"
#include "common/failure.h"
#include "common/io.h"
#include "common/messages.h"
#include "common/no_answer.h"
#include "pullfile/pull_session.h"
#include "pushfile/terminal.h"

namespace pushfile::pull {
namespace {

constexpr const char* USAGE =
    "Usage: pullfile [-d DIR]\n"
    "Ask the terminal you type in for files, and save them in the current folder or DIR.\n"
    "Your side runs pushfile-receive, which asks you which files to send.\n"
    "\n"
    "  -d, --directory DIR  save files in DIR (default: the current folder)\n"
    "  -h, --help           show this help\n"
    "      --version        show the version\n"
    "\n"
    "Example: pushfile-receive -- ssh -t build-host\n"
    "         then, on build-host: pullfile -d ~/incoming\n"
    "\n"
    "A file sent with its folders keeps them beneath DIR; a name that is taken gets a number\n"
    "(a.txt.1). Nothing is overwritten, and a file only appears once it is complete.\n"
    "Exit status: 0 every file saved; 1 nothing sent, uploads refused, or some file not saved;\n"
    "2 a bad option or DIR; 255 the transfer broke (no terminal answered, cancelled, input cut).\n";

constexpr int EXIT_BAD_USAGE = 2;
// As the sender's: a receiver answers well within it, and a newcomer is still looking.
constexpr auto NO_ANSWER_NOTICE_DELAY = std::chrono::milliseconds(3000);
// How long pullfile, told by a signal to end, still tries to tell the other side.
constexpr int LAST_MESSAGE_WAIT_MS = 1000;
constexpr std::size_t READ_SIZE = 65536;
constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
constexpr std::string_view ERASE_SHOWN_MESSAGE = "\r\x1b[K";

volatile sig_atomic_t ending_signal = 0;

void note_ending_signal(int signal_number) { ending_signal = signal_number; }

// The ending signals stay blocked but while pullfile waits, so that the one that comes is handled
// here, in plain code: the partial file removed, the terminal restored, the other side told.
class ending_signals {
public:
    ending_signals() {
        sigset_t ending;
        (void)sigemptyset(&ending);
        for (const int signal_number : ENDING_SIGNALS) (void)sigaddset(&ending, signal_number);
        (void)sigprocmask(SIG_BLOCK, &ending, &waiting_);
        for (const int signal_number : ENDING_SIGNALS) (void)sigdelset(&waiting_, signal_number);
        for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
            // An ignored signal (SIGINT and SIGQUIT under nohup or '&') was meant to stay ignored.
            struct sigaction previous {};
            ignored_[i] = sigaction(ENDING_SIGNALS[i], nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN;
        }
    }

    // After enter_transfer_mode(), whose handlers would end the process at once.
    void catch_them() const {
        struct sigaction noting {};
        noting.sa_handler = note_ending_signal;
        (void)sigfillset(&noting.sa_mask);
        for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
            if (!ignored_[i]) (void)sigaction(ENDING_SIGNALS[i], &noting, nullptr);
        }
    }

    // From now on an ending signal ends the process at once: a second one while the terminal
    // is being restored, and the first one raised again at the end.
    void let_them_end() const {
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        (void)sigemptyset(&default_action.sa_mask);
        sigset_t ending;
        (void)sigemptyset(&ending);
        for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
            if (!ignored_[i]) (void)sigaction(ENDING_SIGNALS[i], &default_action, nullptr);
            (void)sigaddset(&ending, ENDING_SIGNALS[i]);
        }
        (void)sigprocmask(SIG_UNBLOCK, &ending, nullptr);
    }

    // The mask to wait with: the ending signals let through.
    const sigset_t* waiting() const { return &waiting_; }

private:
    sigset_t waiting_{};
    bool ignored_[std::size(ENDING_SIGNALS)] = {};
};

// ppoll() on one descriptor: >0 ready, 0 timed out (timeout_ms < 0: never), <0 failed or
// interrupted by a signal.
int wait_for(int fd, short events, int timeout_ms, const sigset_t* mask) {
    pollfd watched{fd, events, 0};
    const timespec timeout{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
    return ppoll(&watched, 1, timeout_ms < 0 ? nullptr : &timeout, mask);
}

// Messages go out wrapped for the pane's multiplexer by the sender's writer; waiting for room
// lets an ending signal through, so that a stalled terminal cannot keep pullfile alive.
class terminal_output final : public message_output {
public:
    explicit terminal_output(const sigset_t* waiting_mask) : mask_(waiting_mask) {}

    bool send(const char* message, std::size_t length) override {
        int ready;
        while ((ready = wait_for(STDOUT_FILENO, POLLOUT, timeout_ms_, mask_)) < 0 && errno == EINTR) {
            if (ending_signal != 0) return false;
        }
        return ready > 0 && send::write_message(message, length, nullptr, 0);
    }

    // For the last message after a signal: a while at most.
    void set_timeout(int timeout_ms) { timeout_ms_ = timeout_ms; }

private:
    const sigset_t* mask_;
    int timeout_ms_ = -1;
};

// One line on standard error, in one write. On a terminal, whose output processing the transfer
// mode turned off, it ends in CR LF; set apart, it starts on a line of its own.
void write_line(const std::string& text, bool set_apart = false) {
    const bool on_terminal = isatty(STDERR_FILENO) == 1;
    const std::string line = (set_apart && on_terminal ? "\r\n" : "") + text + (on_terminal ? "\r\n" : "\n");
    (void)write_all(STDERR_FILENO, line.data(), line.size());
}

void complain(const std::string& text) { write_line(std::string(PROGRAM_NAME) + ": " + text); }

// A standard descriptor left closed would be taken by the first file opened: the saved file
// would get the messages, or the directory be read as the terminal.
void ensure_standard_descriptors_open() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null_device = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_device > fd) close(null_device);
    }
}

// Returns false when the run ends here (help, version, a bad option), with *exit_status.
bool parse_options(int argc, char** argv, std::string* directory, int* exit_status) {
    static const option long_options[] = {
        {"directory", required_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    // getopt_long names the program by argv[0] in its complaints: use the name, not the path.
    static std::string program_name = PROGRAM_NAME;
    if (argc > 0) argv[0] = program_name.data();
    int option_char = 0;
    while ((option_char = getopt_long(argc, argv, "d:h", long_options, nullptr)) != -1) {
        if (option_char == 'd') {
            *directory = optarg;
            continue;
        }
        // --version is a long option only; PUSHFILE_VERSION comes from the project's version in CMake.
        const bool asked = option_char == 'h' || option_char == 'V';
        if (option_char == 'V') {
            std::printf("%s %s\n", PROGRAM_NAME, PUSHFILE_VERSION);
        } else {
            std::fputs(USAGE, asked ? stdout : stderr);
        }
        *exit_status = asked ? 0 : EXIT_BAD_USAGE;
        return false;
    }
    if (optind < argc) {
        complain("takes no file names: the files are chosen on your side (extra word '" +
                 escaped_for_display(argv[optind], 4096) + "')");
        *exit_status = EXIT_BAD_USAGE;
        return false;
    }
    return true;
}

// Reads and hands on what comes until the session is over or a signal comes. Until the first
// frame, the no-answer line is written once, after a few seconds of silence.
void follow(pull_session& session, const sigset_t* waiting_mask, const char* no_answer_notice) {
    static unsigned char input[READ_SIZE];
    const auto notice_due = monotonic_clock::now() + NO_ANSWER_NOTICE_DELAY;
    bool notice_written = false;
    while (!session.over() && ending_signal == 0) {
        int timeout_ms = -1;
        if (!session.answered() && !notice_written) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(notice_due - monotonic_clock::now());
            timeout_ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        const int ready = wait_for(STDIN_FILENO, POLLIN, timeout_ms, waiting_mask);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return session.input_ended(failure_text("cannot wait for the terminal's input", errno));
        if (ready == 0) {
            write_line(no_answer_notice, true);
            notice_written = true;
            continue;
        }
        const ssize_t got = read(STDIN_FILENO, input, sizeof input);
        if (got > 0) {
            session.feed(input, static_cast<std::size_t>(got));
        } else if (got == 0) {
            session.input_ended("the input ended before the upload did");
        } else if (errno != EINTR && errno != EAGAIN) {
            session.input_ended(failure_text("cannot read the terminal's input", errno));
        }
    }
}

int run(int argc, char** argv) {
    ensure_standard_descriptors_open();
    std::string directory = ".";
    int exit_status = 0;
    if (!parse_options(argc, argv, &directory, &exit_status)) return exit_status;
    // A write to a terminal or pipe that is gone fails, and ends the run with its status.
    (void)signal(SIGPIPE, SIG_IGN);

    char folder[PATH_MAX];
    if (realpath(directory.c_str(), folder) == nullptr) {
        complain(failure_text("cannot save files in " + escaped_for_display(directory), errno));
        return EXIT_BAD_USAGE;
    }
    file_sink sink(folder);
    if (std::string error; !sink.check_writable(&error)) {
        complain(error);
        return EXIT_BAD_USAGE;
    }

    // A multiplexer drops the messages unless they come wrapped; only its pane's own terminal
    // reaches it.
    const send::multiplexer pane = send::multiplexer_of_output();
    send::wrap_messages_for(pane);
    char no_answer[NO_ANSWER_LINE_SIZE];
    format_no_answer(no_answer, PROGRAM_NAME, pane == send::multiplexer::tmux, "; any key gives up");
    const ending_signals signals;
    send::enter_transfer_mode();
    signals.catch_them();

    terminal_output output(signals.waiting());
    pull_session session(sink, output, folder);
    char message[MESSAGE_BUFFER_SIZE];
    // The request says which versions of the frames this pullfile reads.
    if (output.send(message, format_upload_request(message, upload_request_body(folder).c_str()) + 1)) {
        follow(session, signals.waiting(), no_answer);
    } else if (ending_signal == 0) {
        session.stop(failure_text("cannot write to the terminal", errno));
    }
    if (ending_signal != 0) {
        session.stop(std::string("stopped by a signal (") + strsignal(ending_signal) + ")");
        output.set_timeout(LAST_MESSAGE_WAIT_MS);
    }

    if (session.unanswered()) {
        format_no_answer(no_answer, PROGRAM_NAME, pane == send::multiplexer::tmux, "");
        write_line(no_answer, true);
    } else {
        complain(session.summary());
    }
    const int status = session.exit_status();
    // Told in any case: a receiver that came late must not type frames into whatever runs next.
    (void)output.send(message, format_upload_end(message, status) + 1);
    // Where no receiver answered, a plain terminal showed the message's text after its escape:
    // back to the line's start and erased. A receiver takes the message and passes this on, which
    // erases an empty line.
    if (!session.answered()) (void)write_all(STDOUT_FILENO, ERASE_SHOWN_MESSAGE.data(), ERASE_SHOWN_MESSAGE.size());
    const int signal_number = ending_signal;
    if (signal_number != 0) signals.let_them_end();
    send::restore_terminal();
    if (signal_number != 0) (void)raise(signal_number);
    return status;
}

}  // namespace
}  // namespace pushfile::pull

int main(int argc, char** argv) { return pushfile::pull::run(argc, argv); }
