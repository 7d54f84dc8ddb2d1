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
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/display.h"
#include "common/failure.h"
#include "common/io.h"
#include "common/messages.h"
#include "common/owned_fd.h"
#include "pullfile/held_files.h"
#include "pullfile/pull_session.h"
#include "pullfile/tmux_clipboard.h"
#include "remote/no_answer.h"
#include "remote/raw_terminal.h"
#include "remote/standard_streams.h"

namespace pushfile::pull {
namespace {

constexpr const char* USAGE =
    "Usage: pullfile [-d DIR] [--skip-identical] [--replace]\n"
    "Ask the terminal you type in for files, and save them in the current folder or DIR.\n"
    "Your side runs pushfile-receive, which asks you which files to send.\n"
    "\n"
    "  -d, --directory DIR  save files in DIR (default: the current folder)\n"
    "      --skip-identical a file there of the same name, size and time is not sent again\n"
    "      --replace        a file whose name is taken replaces the file there\n"
    "  -h, --help           show this help\n"
    "      --version        show the version\n"
    "\n"
    "Example: pushfile-receive -- ssh -t build-host\n"
    "         then, on build-host: pullfile -d ~/incoming\n"
    "\n"
    "A file sent with its folders keeps them beneath DIR; a name that is taken gets a number\n"
    "(a.txt.1) unless --replace. A file only appears once it is complete and its whole-file\n"
    "check passed; one cut off is kept hidden beside it, and the next upload resumes it.\n"
    "Exit status: 0 every file saved; 1 nothing sent, uploads refused, or some file not saved;\n"
    "2 a bad option or DIR; 255 the transfer broke (no terminal answered, cancelled, input cut).\n";

constexpr int EXIT_BAD_USAGE = 2;
// How long pullfile, told by a signal to end, still tries to tell the other side.
constexpr int LAST_MESSAGE_WAIT_MS = 1000;
constexpr std::size_t READ_SIZE = 65536;
// A receiver types the next frames within a round trip of an acknowledgement.
constexpr int QUIET_INPUT_MS = 1000;
constexpr std::string_view ERASE_SHOWN_MESSAGE = "\r\x1b[K";

// Messages go out wrapped for the pane's multiplexer; waiting for room lets an ending signal
// through, so that a stalled terminal cannot keep pullfile alive.
class terminal_output final : public message_output {
public:
    explicit terminal_output(const sigset_t* waiting_mask) : mask_(waiting_mask) {}

    bool send(const char* message, std::size_t length) override {
        int ready;
        while ((ready = remote::wait_for(STDOUT_FILENO, POLLOUT, timeout_ms_, mask_)) < 0 && errno == EINTR) {
            if (remote::raw_terminal::noted_signal() != 0) return false;
        }
        return ready > 0 && remote::write_message(message, length, nullptr, 0);
    }

    // For the last message after a signal: a while at most.
    void set_timeout(int timeout_ms) { timeout_ms_ = timeout_ms; }

private:
    const sigset_t* mask_;
    int timeout_ms_ = -1;
};

void complain(const std::string& text) { remote::write_error_line(std::string(PROGRAM_NAME) + ": " + text); }

// Returns false when the run ends here (help, version, a bad option), with *exit_status.
constexpr int OPTION_SKIP_IDENTICAL = 0x100;
constexpr int OPTION_REPLACE = 0x101;

bool parse_options(int argc, char** argv, std::string* directory, pull_options* options, int* exit_status) {
    static const option long_options[] = {
        {"directory", required_argument, nullptr, 'd'},
        {"skip-identical", no_argument, nullptr, OPTION_SKIP_IDENTICAL},
        {"replace", no_argument, nullptr, OPTION_REPLACE},
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
        if (option_char == OPTION_SKIP_IDENTICAL || option_char == OPTION_REPLACE) {
            (option_char == OPTION_REPLACE ? options->replace : options->skip_identical) = true;
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

// What the terminal gives pullfile: typed frames, and, inside tmux, answers to its clipboard
// queries, which carry frames too. The answers are asked for once the receiver reads the format
// that carries them, one at a time; a lost one (typed as keys by a tmux that waited escape-time,
// or none within a while) sends pullfile back to typed frames, which the receiver types again
// from the last answer on.
class terminal_input final : private clipboard_answer_reader::events {
public:
    // unusable: why clipboard answers cannot carry the frames in this pane, if they cannot;
    // dense_keys: typed frames may come in dense characters (inside tmux).
    terminal_input(pull_session& session, terminal_output& output, tmux_clipboard* clipboard, std::string unusable,
                   bool dense_keys)
        : session_(session),
          output_(output),
          clipboard_(clipboard),
          typed_because_(std::move(unusable)),
          dense_keys_(dense_keys) {}

    void feed(const unsigned char* bytes, std::size_t length) {
        reader_.feed(bytes, length, *this);
        offer_when_due();
    }

    // The wait for input may last this long (-1: for ever) before wake() has something to do.
    int wait_ms(monotonic_clock::time_point now) const {
        if (!carrying_ || !clipboard_->asking()) return -1;
        const auto left = clipboard_->asked_at() + CLIPBOARD_ANSWER_WAIT - now;
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(
            std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0));
    }
    void wake(monotonic_clock::time_point now) {
        if (clipboard_ == nullptr) return;
        clipboard_->reap();
        if (carrying_ && clipboard_->asking() && now - clipboard_->asked_at() >= CLIPBOARD_ANSWER_WAIT) {
            // After answers came, the receiver went back to typed frames (an answer no query met).
            typed_because_ = answers_came_ ? "clipboard answers stopped coming"
                                           : "no answer to tmux's clipboard query came (a forwarder between?)";
            fall_back();
        }
    }
    bool carrying() const { return carrying_; }
    // Inside tmux, how and why the files came typed, if they did: for the summary.
    std::string typed_because() const {
        if (!session_.past_the_prompt() || typed_because_.empty()) return {};
        return (session_.typed_dense() ? "typed in dense characters: " : "typed, slowly: ") + typed_because_;
    }

private:
    // No answer within this came: the queries do not reach the receiver.
    static constexpr std::chrono::seconds CLIPBOARD_ANSWER_WAIT{3};

    void plain(const unsigned char* bytes, std::size_t length) override { session_.feed(bytes, length); }

    void answer(const unsigned char* content, std::size_t length) override {
        if (!carrying_) return;  // after a fall back, or not ours: never read
        if (length < CLIPBOARD_TOKEN_LENGTH ||
            std::memcmp(content, clipboard_->token(), CLIPBOARD_TOKEN_LENGTH) != 0) {
            typed_because_ = "a clipboard answer came that was not the receiver's";
            return fall_back();
        }
        answers_came_ = true;
        session_.feed_answer(content + CLIPBOARD_TOKEN_LENGTH, length - CLIPBOARD_TOKEN_LENGTH);
    }

    // The next query goes while this answer is read: it took its time already, and the answer
    // after it goes out while this one is decoded and written. One that comes after the last
    // frame finds the receiver holding queries for a while after an upload.
    void answer_began() override {
        if (!carrying_ || !clipboard_->asking()) return;
        const auto now = monotonic_clock::now();
        clipboard_->answered();
        if (clipboard_->grow(now - clipboard_->asked_at())) offer();
        if (!clipboard_->ask(now)) fall_back();
    }

    // tmux typed the answer as keys: it came slower than escape-time allows. Smaller ones may not.
    void answer_lost() override {
        if (!carrying_) return;
        typed_because_ = "clipboard answers came slower than tmux's escape-time allows";
        fall_back();
        if (offers_left_ > 0 && clipboard_->shrink()) {
            --offers_left_;
            carry_by_answers();
        }
    }

    void offer_when_due() {
        // While its prompt is up the receiver reads nothing of the command: a query would wait.
        if (offered_ || !session_.in_upload() || !session_.past_the_prompt()) return;
        offered_ = true;
        // Whatever comes typed, behind a forwarder or after a lost answer, comes dense.
        ask_for_dense_keys();
        if (clipboard_ != nullptr && session_.receiver_version() >= CLIPBOARD_UPLOAD_FORMAT_VERSION) carry_by_answers();
    }

    // tmux reads typed frames one key at a time: dense characters carry more a key.
    void ask_for_dense_keys() {
        if (!dense_keys_ || dense_asked_ || session_.receiver_version() < ANSWERS_AHEAD_UPLOAD_FORMAT_VERSION) return;
        dense_asked_ = true;
        char message[MESSAGE_BUFFER_SIZE];
        (void)output_.send(message, format_upload_keys(message, true) + 1);
    }

    // Offers answers of the current size and asks for the first; typed frames again when tmux
    // cannot be asked.
    void carry_by_answers() {
        if (!offer()) return;
        if (session_.receiver_version() >= ANSWERS_AHEAD_UPLOAD_FORMAT_VERSION) session_.frames_may_repeat();
        carrying_ = clipboard_->ask(monotonic_clock::now());
        if (carrying_) {
            typed_because_.clear();
            return;
        }
        if (typed_because_.empty()) typed_because_ = "tmux could not be asked for its clipboard";
        fall_back_told();
    }

    bool offer() {
        char message[MESSAGE_BUFFER_SIZE];
        return output_.send(message, format_upload_clipboard(message, clipboard_->chunk(), clipboard_->token()) + 1);
    }

    void fall_back() {
        carrying_ = false;
        fall_back_told();
    }
    void fall_back_told() {
        session_.frames_may_repeat();
        char message[MESSAGE_BUFFER_SIZE];
        (void)output_.send(message, format_upload_clipboard(message, 0, clipboard_->token()) + 1);
    }

    pull_session& session_;
    terminal_output& output_;
    tmux_clipboard* clipboard_;
    clipboard_answer_reader reader_;
    std::string typed_because_;
    bool offered_ = false;
    bool carrying_ = false;
    int offers_left_ = 3;  // after answers lost
    bool dense_keys_;
    bool dense_asked_ = false;
    bool answers_came_ = false;
};

// Reads and hands on what comes until the session is over or a signal comes. Until the first
// frame, the no-answer line is written once, after a few seconds of silence.
void follow(pull_session& session, terminal_input& input, const sigset_t* waiting_mask,
            const char* no_answer_notice) {
    static unsigned char buffer[READ_SIZE];
    const auto notice_due = monotonic_clock::now() + std::chrono::milliseconds(remote::NO_ANSWER_DELAY_MS);
    bool notice_written = false;
    while (!session.over() && remote::raw_terminal::noted_signal() == 0) {
        const auto now = monotonic_clock::now();
        int timeout_ms = session.in_upload() ? QUIET_INPUT_MS : -1;
        if (!session.answered() && !notice_written) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(notice_due - now);
            timeout_ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        if (const int answer_ms = input.wait_ms(now); answer_ms >= 0) {
            timeout_ms = timeout_ms < 0 ? answer_ms : std::min(timeout_ms, answer_ms);
        }
        const int ready = remote::wait_for(STDIN_FILENO, POLLIN, timeout_ms, waiting_mask);
        input.wake(monotonic_clock::now());
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return session.input_ended(failure_text("cannot wait for the terminal's input", errno));
        if (ready == 0 && session.in_upload()) {
            if (!input.carrying()) session.input_quiet();
            continue;
        }
        if (ready == 0) {
            if (!session.answered()) {
                remote::write_error_line(no_answer_notice, true);
                notice_written = true;
            }
            continue;
        }
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got > 0) {
            input.feed(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            session.input_ended("the input ended before the upload did");
        } else if (errno != EINTR && errno != EAGAIN) {
            session.input_ended(failure_text("cannot read the terminal's input", errno));
        }
    }
}

int run(int argc, char** argv) {
    // A standard descriptor left closed would be taken by the first file opened: the saved file
    // would get the messages, or the directory be read as the terminal.
    remote::open_closed_standard_descriptors(STDERR_FILENO);
    std::string directory = ".";
    int exit_status = 0;
    pull_options options;
    if (!parse_options(argc, argv, &directory, &options, &exit_status)) return exit_status;
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
    // Partial files of uploads that broke long ago will not be resumed.
    if (const owned_fd top(open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC)); top.valid())
        remove_old_partials(top.get(), std::chrono::duration_cast<std::chrono::seconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());

    const bool in_tmux_pane = remote::wrap_messages_for_output_pane();
    // Inside tmux, the frames may come faster than as keys; found out before the terminal is raw.
    // PULLFILE_UPLOAD_PATH=keys keeps to keys of base64, =dense to keys of dense characters.
    const char* asked_path = std::getenv("PULLFILE_UPLOAD_PATH");
    const std::string_view path = asked_path != nullptr ? asked_path : "";
    tmux_clipboard clipboard;
    std::string clipboard_unusable;
    if (path == "keys" || path == "dense") clipboard_unusable = "PULLFILE_UPLOAD_PATH=" + std::string(path);
    const bool clipboard_usable = in_tmux_pane && clipboard_unusable.empty() && clipboard.probe(&clipboard_unusable);
    char no_answer[remote::NO_ANSWER_LINE_SIZE];
    remote::format_no_answer(no_answer, PROGRAM_NAME, in_tmux_pane, "; any key gives up");
    // The ending signals stay blocked but while pullfile waits, so that the one that comes is
    // handled here, in plain code: the partial file removed, the terminal restored, the other
    // side told.
    remote::raw_terminal terminal(remote::ending_signal_use::note_while_waiting);
    terminal.enter();

    terminal_output output(terminal.waiting_mask());
    pull_session session(sink, output, folder, options);
    std::string typed_because;
    char message[MESSAGE_BUFFER_SIZE];
    // The request says which versions of the frames this pullfile reads.
    if (output.send(message, format_upload_request(message, upload_request_body(folder).c_str()) + 1)) {
        terminal_input input(session, output, clipboard_usable ? &clipboard : nullptr, clipboard_unusable,
                             in_tmux_pane && path != "keys");
        follow(session, input, terminal.waiting_mask(), no_answer);
        typed_because = input.typed_because();
    } else if (remote::raw_terminal::noted_signal() == 0) {
        session.stop(failure_text("cannot write to the terminal", errno));
    }
    if (const int signal_number = remote::raw_terminal::noted_signal(); signal_number != 0) {
        session.stop(std::string("stopped by a signal (") + strsignal(signal_number) + ")");
        output.set_timeout(LAST_MESSAGE_WAIT_MS);
    }

    if (session.unanswered()) {
        remote::format_no_answer(no_answer, PROGRAM_NAME, in_tmux_pane, "");
        remote::write_error_line(no_answer, true);
    } else {
        complain(session.summary() + (typed_because.empty() ? "" : "; " + typed_because));
    }
    const int status = session.exit_status();
    // Told in any case: a receiver that came late must not type frames into whatever runs next.
    (void)output.send(message, format_upload_end(message, status) + 1);
    // Where no receiver answered, a plain terminal showed the message's text after its escape:
    // back to the line's start and erased. A receiver takes the message and passes this on, which
    // erases an empty line.
    if (!session.answered()) (void)write_all(STDOUT_FILENO, ERASE_SHOWN_MESSAGE.data(), ERASE_SHOWN_MESSAGE.size());
    terminal.end_run();
    return status;
}

}  // namespace
}  // namespace pushfile::pull

int main(int argc, char** argv) { return pushfile::pull::run(argc, argv); }
