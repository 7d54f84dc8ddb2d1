// pushfile-receive: runs a command on a pseudo-terminal and saves the files that pushfile sends
// from inside it.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/display.h"
#include "common/multiplexer.h"
#include "receiver/program.h"
#include "receiver/relay/relay.h"
#include "receiver/relay/screen_writer.h"
#include "receiver/session/forwarder.h"
#include "receiver/session/progress.h"
#include "receiver/session/session.h"
#include "receiver/settings.h"
#include "transfer/file_sink.h"

namespace {

using namespace pushfile::receive;
using pushfile::file_sink;
using pushfile::process_environment;

// Long options without a short form.
constexpr int NO_ANSWER_AHEAD = 256;
constexpr int FORWARD = 257;
constexpr int FLAT = 258;
constexpr int WHERE = 259;
constexpr int NOTIFY = 260;
constexpr int NO_NOTIFY = 261;
constexpr int NO_UPLOAD = 262;

constexpr const char* USAGE =
    "Usage: pushfile-receive [-d DIR] [--ask] [--max-size BYTES] [--quiet] [--no-answer-ahead] [--flat]\n"
    "                        [--notify | --no-notify] [--no-upload] [-- COMMAND [ARG...]]\n"
    "       pushfile-receive --forward [-- COMMAND [ARG...]]\n"
    "       pushfile-receive --where\n"
    "Run COMMAND (default: $SHELL) on a new terminal and save the files that pushfile sends from it;\n"
    "when pullfile runs in it, ask for files here and send them up.\n"
    "With --forward, save nothing: pass the transfers on to a receiver further out (on a jump host).\n"
    "\n"
    "  -d, --directory DIR    save files in DIR (default: below)\n"
    "  -a, --ask              ask before receiving each file\n"
    "  -m, --max-size BYTES   refuse files larger than BYTES (suffixes K, M, G, T: powers of 1024)\n"
    "  -q, --quiet            show only the files that could not be saved\n"
    "      --no-answer-ahead  answer each block only once it has come (slow on long links)\n"
    "      --flat             save each file in DIR itself, without the folders of its path\n"
    "      --notify           outcomes during a full-screen program as desktop notifications, even\n"
    "                         where the terminal is not known to show them (default: where it is)\n"
    "      --no-notify        no desktop notifications\n"
    "      --no-upload        refuse pullfile's requests for files\n"
    "      --forward          pass transfers on, wrapped for tmux inside a tmux pane\n"
    "      --where            show the folder files would go to now, and what chose it; exit 125\n"
    "                         when files could not be saved there\n"
    "  -h, --help             show this help\n"
    "      --version          show the version\n"
    "\n"
    "Example: pushfile-receive -d ~/Downloads -- ssh build-host\n"
    "         then, on build-host: pushfile report.pdf\n"
    "\n"
    "A path sent with folders keeps them beneath DIR (--flat: not). Without -d, files go to\n"
    "$PUSHFILE_RECEIVE_DIR, else dir in the configuration file, else the download folder\n"
    "(XDG_DOWNLOAD_DIR in user-dirs.dirs, else ~/Downloads) if it exists, else the current folder.\n"
    "The configuration file ($XDG_CONFIG_HOME/pushfile/receive.conf) takes name = value lines:\n"
    "dir, ask, max-size, no-answer-ahead, flat, quiet, notify, upload.\n";

struct options {
    std::optional<std::string> directory;
    bool ask = false;
    bool quiet = false;
    bool answer_ahead = true;
    bool forward = false;
    std::optional<bool> notify;  // desktop notifications; unset: where the terminal is known to show them
    bool flat = false;
    bool upload = true;
    bool help = false;
    bool where = false;
    bool saving_option = false;  // one of the options that only make sense when files are saved
    std::optional<std::uint64_t> max_size;
    std::vector<std::string> command;
};

void complain(const std::string& text) { std::fprintf(stderr, "%s: %s\n", PROGRAM_NAME, text.c_str()); }

// The configuration file's defaults, under what the command line set.
void apply_settings(const settings_file& file, options* parsed) {
    parsed->ask = parsed->ask || file.ask.value_or(false);
    parsed->quiet = parsed->quiet || file.quiet.value_or(false);
    parsed->flat = parsed->flat || file.flat.value_or(false);
    parsed->upload = parsed->upload && file.upload.value_or(true);
    if (file.no_answer_ahead.value_or(false)) parsed->answer_ahead = false;
    if (!parsed->max_size) parsed->max_size = file.max_size;
    if (!parsed->notify && file.notify && *file.notify != notify_setting::automatic)
        parsed->notify = *file.notify == notify_setting::always;
}

// Returns false when the run ends here (help, version, a bad option), with *exit_status to exit with.
bool parse_options(int argc, char** argv, options* parsed, int* exit_status) {
    static const option long_options[] = {
        {"directory", required_argument, nullptr, 'd'},
        {"ask", no_argument, nullptr, 'a'},
        {"max-size", required_argument, nullptr, 'm'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"no-answer-ahead", no_argument, nullptr, NO_ANSWER_AHEAD},
        {"forward", no_argument, nullptr, FORWARD},
        {"flat", no_argument, nullptr, FLAT},
        {"where", no_argument, nullptr, WHERE},
        {"notify", no_argument, nullptr, NOTIFY},
        {"no-notify", no_argument, nullptr, NO_NOTIFY},
        {"no-upload", no_argument, nullptr, NO_UPLOAD},
        {nullptr, 0, nullptr, 0},
    };
    int option_char = 0;
    // getopt_long names the program by argv[0] in its complaints: use the name, not the path.
    static std::string program_name = PROGRAM_NAME;
    if (argc > 0) argv[0] = program_name.data();
    // '+': the first word that is no option starts the command, so its own options stay its own.
    while ((option_char = getopt_long(argc, argv, "+d:am:qh", long_options, nullptr)) != -1) {
        if (option_char == 'd' || option_char == 'a' || option_char == 'q' || option_char == 'm' ||
            option_char == NO_ANSWER_AHEAD || option_char == FLAT || option_char == WHERE || option_char == NO_UPLOAD) {
            parsed->saving_option = true;
        }
        switch (option_char) {
            case FORWARD: parsed->forward = true; break;
            case NOTIFY: parsed->notify = true; break;
            case NO_NOTIFY: parsed->notify = false; break;
            case 'd': parsed->directory = optarg; break;
            case 'a': parsed->ask = true; break;
            case 'q': parsed->quiet = true; break;
            case NO_ANSWER_AHEAD: parsed->answer_ahead = false; break;
            case FLAT: parsed->flat = true; break;
            case NO_UPLOAD: parsed->upload = false; break;
            case WHERE: parsed->where = true; break;
            case 'm':
                parsed->max_size = parse_byte_count(optarg);
                if (!parsed->max_size) {
                    complain("--max-size wants a number of bytes, such as 1048576 or 1M, not '" +
                             pushfile::escaped_for_display(optarg, 4096) + "'");
                    *exit_status = EXIT_BAD_USAGE;
                    return false;
                }
                break;
            case 'h': parsed->help = true; break;
            case 'V':  // long option only; PUSHFILE_VERSION comes from the project's version in CMake
                std::printf("%s %s\n", PROGRAM_NAME, PUSHFILE_VERSION);
                *exit_status = 0;
                return false;
            default:
                std::fputs(USAGE, stderr);
                *exit_status = EXIT_BAD_USAGE;
                return false;
        }
    }
    if (parsed->help) {
        std::fputs(USAGE, stdout);
        if (!parsed->forward) std::fputs(where_files_go_text(parsed->directory, process_environment).c_str(), stdout);
        *exit_status = 0;
        return false;
    }
    if (parsed->forward && parsed->saving_option) {
        complain(
            "--forward saves nothing and answers nothing: -d, -a, -m, -q, --no-answer-ahead, --flat, --where and "
            "--no-upload do not go with it");
        *exit_status = EXIT_BAD_USAGE;
        return false;
    }
    for (int i = optind; i < argc; ++i) parsed->command.emplace_back(argv[i]);
    if (parsed->command.empty()) {
        const char* shell = std::getenv("SHELL");
        parsed->command.emplace_back(shell != nullptr && *shell != '\0' ? shell : "/bin/sh");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int exit_status = 0;
    options parsed;
    if (!parse_options(argc, argv, &parsed, &exit_status)) return exit_status;

    if (parsed.forward) {
        screen_writer screen;
        command_input_queue command_input;
        message_forwarder forwarder(pushfile::is_tmux_pane(STDOUT_FILENO), screen.command_output());
        std::string error;
        if (!run_relay(parsed.command, forwarder, screen, command_input, &exit_status, &error)) complain(error);
        return exit_status;
    }
    settings_file settings;
    if (std::string error; !load_settings(process_environment, &settings, &error)) {
        complain(error);
        return EXIT_BAD_USAGE;
    }
    apply_settings(settings, &parsed);
    const receive_folder folder = where_files_go(parsed.directory, settings, process_environment);
    // --where checks the folder as the start does, so that it never calls usable a folder the
    // start refuses, nor the other way round.
    file_sink sink(folder.path, {.keep_folders = !parsed.flat});
    std::string folder_error;
    const bool folder_usable = sink.check_writable(&folder_error);
    if (!folder_usable && folder.source != "-d") {
        folder_error += " (the folder from " + pushfile::escaped_for_display(folder.source) + ")";
    }
    if (parsed.where) {
        std::printf("%s\t(from %s)\n", shown_folder(folder.path).c_str(),
                    pushfile::escaped_for_display(folder.source).c_str());
        if (folder_usable) return 0;
        std::fflush(stdout);
        complain(folder_error);
        return EXIT_BAD_USAGE;
    }
    if (!folder_usable) {
        complain(folder_error);
        return EXIT_BAD_USAGE;
    }
    // Our own lines go through the same writer as the command's output, so they keep their place.
    screen_writer screen(
        chosen_notification_escape(parsed.notify, process_environment));
    command_input_queue command_input;
    progress_display progress(screen, parsed.quiet);
    session_options session_settings{folder.path, parsed.ask, parsed.max_size, parsed.answer_ahead, parsed.quiet, {}};
    session_settings.upload.refuse = !parsed.upload;
    session_settings.upload.quiet = parsed.quiet;
    // Paths typed at the upload prompt are taken from where the command in the foreground was
    // started, or else from where the receiver was.
    if (char folder_now[4096]; getcwd(folder_now, sizeof folder_now) != nullptr) {
        session_settings.upload.working_folder = folder_now;
    }
    if (const char* home = std::getenv("HOME"); home != nullptr) session_settings.upload.home = home;
    session_settings.upload.keyboard_is_terminal = isatty(STDIN_FILENO) == 1;
    transfer_session session(sink, progress, std::move(session_settings), screen.command_output(), command_input);

    std::string error;
    if (!run_relay(parsed.command, session, screen, command_input, &exit_status, &error)) complain(error);
    return exit_status;
}
