// The real receiver running the real sender on a pseudo-terminal, end to end.
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "receiver/session/upload_consent.h"
#include "tests/support/pty_peer.h"
#include "tests/support/receiver_run.h"
#include "tests/support/ssh_lab.h"

namespace {

namespace fs = std::filesystem;
using namespace pushfile_test;
using namespace std::chrono_literals;

// Text with each run of 64 or more bytes that frames are made of (base64, digits and their
// punctuation) told by its length instead: "<run of 4095>".
std::string frame_runs_counted(const std::string& text) {
    const auto in_frames = [](char byte) {
        return std::isalnum(static_cast<unsigned char>(byte)) != 0 || std::strchr("+/=,;#.", byte) != nullptr;
    };
    std::string counted;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = at;
        while (end < text.size() && in_frames(text[end]) && text[end] != '\0') ++end;
        if (end - at >= 64) {
            counted += "<run of " + std::to_string(end - at) + ">";
        } else {
            counted.append(text, at, std::max(end - at, std::size_t{1}));
        }
        at = std::max(end, at + 1);
    }
    return counted;
}

// How many bytes of the text are in runs of 64 or more that frames are made of.
std::size_t frame_bytes_in_runs(const std::string& text) {
    std::size_t total = 0;
    const std::string counted = frame_runs_counted(text);
    for (std::size_t at = counted.find("<run of "); at != std::string::npos; at = counted.find("<run of ", at + 1)) {
        total += std::stoul(counted.substr(at + 8));
    }
    return total;
}

// The sum of the numbers that stand right before each marker in the text.
std::uint64_t counted_before(const std::string& text, std::string_view marker) {
    std::uint64_t total = 0;
    for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        std::size_t first = at;
        while (first > 0 && std::isdigit(static_cast<unsigned char>(text[first - 1])) != 0) --first;
        if (first < at) total += std::stoull(text.substr(first, at - first));
    }
    return total;
}

TEST(receiver_end_to_end, several_files_arrive_identical) {
    scratch_dir source;
    scratch_dir target;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty", ""},
        {"one", "x"},
        {"block", random_bytes(37268, 1)},
        {"odd size", random_bytes(2 * 37268 + 100, 2)},
        {"large.bin", random_bytes(64U << 20, 3)},
    };
    std::vector<std::string> arguments = {"-d", target.path, "--", PUSHFILE_BINARY};
    for (const auto& [name, data] : files) {
        write_file(source.path / name, data);
        arguments.push_back(source.path / name);
    }
    // 70 MiB through a terminal: slow under the sanitizers.
    const run_result result = run_receiver(arguments, {.hang_guard = 300s});
    EXPECT_EQ(result.status, 0) << result.errors;
    for (const auto& [name, data] : files) {
        ASSERT_TRUE(fs::exists(target.path / name)) << name << "\n" << result.errors;
        EXPECT_TRUE(read_file(target.path / name) == data) << name;
    }
    EXPECT_EQ(names_in(target.path).size(), files.size()) << "no temporary or extra files";
    // Nothing of the transfer reaches the screen.
    EXPECT_EQ(result.output.find("\x1b}f"), std::string::npos);
    EXPECT_NE(result.errors.find("large.bin (64.0 MiB) as " + (target.path / "large.bin").string()), std::string::npos)
        << result.errors;
}

// Paths with folders, as the sender got them, arrive as folders beneath the directory. A file
// where a folder is needed costs that file alone: the sender's run goes on. One line sums it up.
TEST(receiver_end_to_end, a_tree_arrives_as_folders_and_a_file_in_the_way_costs_one_file) {
    scratch_dir source;
    scratch_dir target;
    fs::create_directories(source.path / "a" / "b");
    fs::create_directories(source.path / "a" / "d e");
    fs::create_directories(source.path / "f");
    write_file(source.path / "a" / "b" / "c.txt", "c");
    write_file(source.path / "a" / "d e" / "\xc3\xbc.bin", random_bytes(100000, 6));
    write_file(source.path / "f" / "x", "x");
    write_file(target.path / "f", "in the way");
    const run_result result =
        run_receiver({"-d", target.path, "--", "sh", "-c", "cd \"$0\" && sender=$1 && shift && exec \"$sender\" \"$@\"",
                      source.path, PUSHFILE_BINARY, "a/b/c.txt", "f/x", "a/d e/\xc3\xbc.bin", "a/b/c.txt"});
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_TRUE(fs::remove(target.path / "a" / "b" / "c.txt.1"));
    const std::string compare = "diff -r '" + (source.path / "a").string() + "' '" + (target.path / "a").string() + "'";
    EXPECT_EQ(std::system(compare.c_str()), 0) << result.errors;
    EXPECT_NE(result.errors.find("f/x not saved: cannot save f/x: f in "), std::string::npos) << result.errors;
    EXPECT_NE(result.errors.find("saved 3 files (97.7 KiB) in " + (target.path / "a").string() +
                                 "; 1 renamed: a/b/c.txt as a/b/c.txt.1; 1 not saved: f/x\n"),
              std::string::npos)
        << result.errors;
    EXPECT_EQ(result.errors.find("saved a/"), std::string::npos) << result.errors;
}

// A long round trip leaves answers travelling while blocks and the next file's messages are on
// their way, which a direct terminal never does.
TEST(receiver_end_to_end, files_arrive_identical_over_a_long_link) {
    scratch_dir source;
    scratch_dir target;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"first.bin", random_bytes(9 * 37268 + 4321, 4)},
        {"second.bin", random_bytes(2 * 37268 - 1, 5)},
    };
    std::vector<std::string> arguments = {"--quiet", "-d",     target.path, "--", LINK_SIM_BINARY, "--delay-ms",
                                          "75",      "--rate", "20000000",  "--", PUSHFILE_BINARY};
    for (const auto& [name, data] : files) {
        write_file(source.path / name, data);
        arguments.push_back(source.path / name);
    }
    // 150 ms a round trip: a few seconds answered one block at a time.
    const run_result result = run_receiver(arguments, {.hang_guard = 120s});
    EXPECT_EQ(result.status, 0) << "the sender's status through the link\n" << result.errors;
    for (const auto& [name, data] : files) {
        EXPECT_TRUE(read_file(target.path / name) == data) << name << "\n" << result.errors;
    }
    EXPECT_EQ(names_in(target.path).size(), files.size()) << "no temporary or extra files";
}

TEST(receiver_end_to_end, the_sender_fails_when_its_file_cannot_be_saved) {
    scratch_dir source;
    scratch_dir target;
    write_file(source.path / "f", "data");
    for (int number = 0; number <= 9999; ++number) {
        write_file(target.path / (number == 0 ? std::string("f") : "f." + std::to_string(number)), "");
    }
    const run_result result = run_receiver({"-d", target.path, "--", PUSHFILE_BINARY, source.path / "f"});
    EXPECT_EQ(result.status, 255) << "the sender was told, and did not exit 0\n" << result.errors;
    EXPECT_NE(result.errors.find("f not saved: cannot save f: that name and its numbered variants"), std::string::npos)
        << result.errors;
}

TEST(receiver_end_to_end, a_directory_that_cannot_be_written_stops_the_start) {
    scratch_dir scratch;
    // Not even root may create files in /proc.
    const run_result result = run_receiver({"-d", "/proc", "--", "touch", scratch.path / "ran"});
    EXPECT_EQ(result.status, 125);
    EXPECT_NE(result.errors.find("pushfile-receive: cannot save files in /proc: "), std::string::npos) << result.errors;
    EXPECT_FALSE(fs::exists(scratch.path / "ran")) << "the command was not started";
}

// Without -d, files go to the download folder; a bad line in the configuration file stops the
// start before the command runs.
TEST(receiver_end_to_end, without_d_files_go_to_the_download_folder_and_a_bad_setting_stops_the_start) {
    scratch_dir home;
    fs::create_directories(home.path / ".config" / "pushfile");
    fs::create_directory(home.path / "Downloads");
    write_file(home.path / "f", "data");
    setenv("HOME", home.path.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("PUSHFILE_RECEIVE_DIR");
    const run_result saved = run_receiver({"--", PUSHFILE_BINARY, home.path / "f"});
    EXPECT_EQ(saved.status, 0) << saved.errors;
    EXPECT_EQ(read_file(home.path / "Downloads" / "f"), "data") << saved.errors;

    write_file(home.path / ".config" / "pushfile" / "receive.conf", "max-size = 1M\nask = maybe\n");
    const run_result refused = run_receiver({"--", "touch", home.path / "ran"});
    EXPECT_EQ(refused.status, 125);
    EXPECT_NE(refused.errors.find("pushfile/receive.conf:2: ask wants yes or no"), std::string::npos) << refused.errors;
    EXPECT_FALSE(fs::exists(home.path / "ran")) << "the command was not started";
}

// --where shows the folder and what chose it, and exits as the start would: 125 where files
// cannot be saved. A FIFO as the configuration file is refused at once, never waited on.
TEST(receiver_end_to_end, where_exits_as_the_start_would_and_a_fifo_as_configuration_is_refused) {
    scratch_dir home;
    const fs::path conf = home.path / ".config" / "pushfile" / "receive.conf";
    fs::create_directories(conf.parent_path());
    fs::create_directory(home.path / "Downloads");
    setenv("HOME", home.path.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("PUSHFILE_RECEIVE_DIR");
    const run_result usable = run_receiver({"--where"});
    EXPECT_EQ(usable.status, 0) << usable.errors;
    EXPECT_EQ(usable.output, (home.path / "Downloads").string() + "\t(from the download folder)\n");

    write_file(conf, "dir = ~/gone\n");
    const run_result missing = run_receiver({"--where"});
    EXPECT_EQ(missing.status, 125);
    EXPECT_EQ(missing.output, (home.path / "gone").string() + "\t(from dir in " + conf.string() + ", line 1)\n");
    EXPECT_NE(missing.errors.find("pushfile-receive: cannot open the directory " + (home.path / "gone").string() +
                                  ": No such file or directory (the folder from dir in " + conf.string()),
              std::string::npos)
        << missing.errors;

    fs::remove(conf);
    ASSERT_EQ(mkfifo(conf.c_str(), 0600), 0);
    const run_result fifo = run_receiver({"--where"});
    EXPECT_FALSE(fifo.hung);
    EXPECT_EQ(fifo.status, 125);
    EXPECT_NE(fifo.errors.find("pushfile-receive: cannot read the configuration file " + conf.string() +
                               ": it is a FIFO, not a regular file"),
              std::string::npos)
        << fifo.errors;
}

// As with `ssh host pushfile f` without -t: the sender's input is a pipe from a program that reads
// the command's terminal, which is in line mode with echo. Answers, refusals too, must reach that
// program at once, not show, and the mode must be back as it was once the sender is done.
TEST(receiver_end_to_end, a_sender_reading_through_a_terminal_in_line_mode_is_answered) {
    struct line_mode_case {
        const char* what;
        std::vector<std::string> options;
        int answers_read;
        int sender_status;
    };
    const line_mode_case cases[] = {
        {"accepted", {}, 4, 0},
        {"refused at its size", {"-m", "1K"}, 1, 255},
    };
    for (const line_mode_case& test : cases) {
        SCOPED_TRACE(test.what);
        scratch_dir source;
        scratch_dir target;
        write_file(source.path / "f", std::string(100000, 'z'));
        const std::string script = "stty -g; dd bs=2 count=" + std::to_string(test.answers_read) +
                                   " status=none | \"$0\" \"$1\"; echo status=$?; stty -g";
        std::vector<std::string> arguments = {"-d", target.path};
        arguments.insert(arguments.end(), test.options.begin(), test.options.end());
        arguments.insert(arguments.end(), {"--", "sh", "-c", script, PUSHFILE_BINARY, source.path / "f"});
        const run_result result = run_receiver(arguments);
        EXPECT_EQ(result.status, 0) << result.errors;
        EXPECT_NE(result.output.find("status=" + std::to_string(test.sender_status)), std::string::npos)
            << result.output;
        if (test.sender_status == 0) {
            EXPECT_EQ(read_file(target.path / "f"), std::string(100000, 'z')) << result.errors;
        }
        EXPECT_EQ(result.output.find_first_of("\b\x15^"), std::string::npos) << "answers were echoed";
        const std::size_t first_end = result.output.find('\n');
        ASSERT_NE(first_end, std::string::npos);
        const std::string mode_before = result.output.substr(0, first_end + 1);
        EXPECT_NE(result.output.find(mode_before, first_end), std::string::npos) << "the line mode came back\n"
                                                                                 << result.output << result.errors;
    }
}

// The keyboard is never lost: a transfer that began and went quiet (`printf` of a size message at
// the prompt, a killed sender) lets the next key through to the command, and the answer that
// nobody read is not typed into it.
TEST(receiver_end_to_end, keys_reach_the_command_once_a_transfer_has_gone_quiet) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    scratch_dir target;
    std::thread typist([master] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        (void)!write(master, "abc\r", 4);
    });
    const std::string script = "printf '\\033}frx\\0\\033}fs5\\0'; sleep 3; read line; echo \"got=[$line]\"";
    const run_result result = run_receiver({"-d", target.path, "--", "sh", "-c", script}, {.stdin_fd = slave});
    typist.join();
    close(master);
    close(slave);
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_NE(result.output.find("got=[abc]"), std::string::npos) << result.output;
    EXPECT_NE(result.errors.find("x not saved: given up"), std::string::npos) << result.errors;
}

// The other way: pullfile on the far side asks, the user types local paths at the receiver's
// prompt (relative to where the command in the foreground was started), the files go up, through
// the command directly and through a real ssh with a terminal on the far side and without one.
// Ctrl-C in the middle of a file leaves nothing there, and the shell that ran pullfile reads the
// next line as typed. So it does when pullfile is killed in the middle and a key gives up on it:
// nothing of the frames that were under way reaches that line or the screen.
TEST(receiver_end_to_end, files_typed_at_the_prompt_go_up_identical) {
    ssh_lab lab;
    scratch_dir local;
    scratch_dir remote;
    const std::string big = random_bytes(20U << 20, 21);
    write_file(local.path / "empty", "");
    write_file(local.path / "few bytes", "few");
    write_file(local.path / "big.bin", big);
    // Long enough to be still going up when the Ctrl-C comes, however fast the machine.
    write_file(local.path / "huge.bin", "");
    fs::resize_file(local.path / "huge.bin", std::uintmax_t{64} << 30);
    struct route {
        const char* what;
        bool over_ssh;
        bool remote_terminal;
    };
    enum class ending { whole, interrupted, killed };
    for (const route& way : {route{"directly", false, false}, route{"ssh -t", true, true},
                             route{"ssh without -t", true, false}}) {
        SCOPED_TRACE(way.what);
        if (way.over_ssh && !lab.available()) {
            ADD_FAILURE() << "no ssh to try: " << lab.why_not();
            continue;
        }
        for (const ending end : {ending::whole, ending::interrupted, ending::killed}) {
            SCOPED_TRACE(end == ending::whole ? "three files" : end == ending::interrupted ? "Ctrl-C in the middle"
                                                                                            : "pullfile killed");
            for (const std::string& name : names_in(remote.path)) fs::remove_all(remote.path / name);
            // Without a terminal on the far side, the frames under way when pullfile is killed reach
            // whatever reads next as they are, Ctrl-U or not.
            if (end == ending::killed && way.over_ssh && !way.remote_terminal) continue;
            // A shell's line editor reads a line after pullfile: whatever an upload left in its input
            // would show. A killed pullfile leaves its terminal as it set it, put right first.
            const std::string script = "(cd '" + remote.path.string() + "' && sh -c 'echo pid=$$; exec \"$0\"' " +
                                       PULLFILE_BINARY +
                                       "); echo \"status=$?\"; stty sane 2>/dev/null; TERM=xterm exec bash -c 'read -e -r "
                                       "line; echo \"next=[$line]\"'";
            // The receiver starts elsewhere; the command in the foreground was started from the
            // local folder, where the paths typed are then found, as in the shell that started it.
            child_options options;
            options.program = RECEIVER_BINARY;
            options.working_directory = remote.path;
            options.errors_to_terminal = true;
            // A window of a size: without one a line editor scrolls a long line sideways, redrawing
            // it a piece at a time, which the filter of echo does not know.
            options.rows = 24;
            options.columns = 80;
            options.arguments = {RECEIVER_BINARY, "-d", local.path, "--", "sh", "-c", "cd \"$0\" && exec \"$@\"",
                                 local.path};
            if (way.over_ssh) {
                const std::vector<std::string> ssh = lab.ssh(way.remote_terminal);
                options.arguments.insert(options.arguments.end(), ssh.begin(), ssh.end());
                options.arguments.push_back(script);
            } else {
                options.arguments.insert(options.arguments.end(), {"sh", "-c", script});
            }
            pty_peer user(options);
            ASSERT_TRUE(user.read_until("pid=", 60s)) << user.read_rest(1s);
            const pid_t pullfile = std::stoi(user.read_through('\n', 5s));
            ASSERT_TRUE(user.read_until("upload to remote", 60s)) << user.read_rest(1s);
            // As a person: reads the prompt, types the names, reads what they name, answers y.
            std::this_thread::sleep_for(pushfile::receive::KEYS_STREAM_GAP + 100ms);
            user.send(end == ending::whole ? "empty 'few bytes' big\\.bin\r" : "huge.bin\r");
            ASSERT_TRUE(user.read_until("y sends", 30s)) << user.read_rest(1s);
            std::this_thread::sleep_for(pushfile::receive::KEYS_STREAM_GAP + 100ms);
            user.send("y");
            std::string screen;
            if (end != ending::whole) std::this_thread::sleep_for(1500ms);
            if (end == ending::interrupted) user.send("\x03");
            if (end == ending::killed) {
                ASSERT_EQ(kill(pullfile, SIGKILL), 0);
                // A key gives up on pullfile once it has been silent for a while.
                screen = user.read_for(1500ms);
            } else {
                ASSERT_TRUE(user.read_until("status=", 120s)) << user.read_rest(1s);
                screen = "status=" + user.read_through('\n', 5s);
            }
            user.send("typed\r");
            const std::string rest = user.read_rest(30s);
            screen += rest;
            const std::size_t status_at = screen.find("status=");
            ASSERT_NE(status_at, std::string::npos) << screen;
            const std::string status = screen.substr(status_at + 7, screen.find_first_of("\r\n", status_at) - status_at - 7);
            EXPECT_EQ(user.wait(30s).code, 0);
            EXPECT_NE(rest.find("next=[typed]"), std::string::npos) << frame_runs_counted(rest);
            if (end != ending::whole) {
                EXPECT_EQ(status, end == ending::killed ? "137" : "255") << frame_runs_counted(rest);
                // Nothing under the file's name; a Ctrl-C leaves what came as a hidden partial file,
                // for the next upload of it to resume after.
                const std::vector<std::string> left = names_in(remote.path);
                if (end == ending::interrupted && left.size() == 1) {
                    EXPECT_TRUE(left[0].starts_with(".huge.bin.68719476736-") && left[0].ends_with(".pullfile-part"))
                        << left[0];
                } else {
                    EXPECT_EQ(left, std::vector<std::string>{}) << "nothing of the broken file";
                }
                if (end == ending::killed) {
                    // The echo is left off the screen, told of in a line. A machine so busy that the
                    // shell's echo stalls for seconds may let a piece through: never a screenful.
                    const std::uint64_t hidden = counted_before(screen, " bytes of upload frames echoed back");
                    EXPECT_GT(hidden, 0U) << frame_runs_counted(screen);
                    EXPECT_LT(frame_bytes_in_runs(screen) * 10, hidden)
                        << "frames were shown:\n" << frame_runs_counted(screen);
                }
                continue;
            }
            EXPECT_EQ(status, "0") << rest;
            EXPECT_EQ(names_in(remote.path), (std::vector<std::string>{"big.bin", "empty", "few bytes"}));
            EXPECT_EQ(read_file(remote.path / "few bytes"), "few");
            EXPECT_TRUE(read_file(remote.path / "big.bin") == big) << "big.bin differs";
        }
    }
}

// A hostile remote program waits for the user's first keys and only then asks for files, so that
// the rest of a command typed for the remote shell lands at the prompt: nothing of it is taken,
// with or without a pause after the first word, and pullfile learns that nothing was chosen.
TEST(receiver_end_to_end, keys_typed_for_the_remote_shell_never_make_an_upload) {
    scratch_dir local;
    scratch_dir remote;
    write_file(local.path / "notes.txt", "secret");
    const struct {
        const char* name;
        int keys_read_first;  // by the remote program, before it asks
        std::vector<std::string> typed;  // 50 ms a key; each string after a second's pause
    } cases[] = {
        {"typed straight on", 1, {"cat notes.txt\r"}},
        {"a pause after the first word", 4, {"cat ", "notes.txt\rls -l\r"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string script = "stty raw -echo; dd bs=1 count=" + std::to_string(c.keys_read_first) +
                                   " >/dev/null 2>&1; " + PULLFILE_BINARY + " -d '" + remote.path.string() +
                                   "'; echo \"status=$?\"";
        child_options options;
        options.program = RECEIVER_BINARY;
        options.working_directory = local.path;
        options.errors_to_terminal = true;
        options.arguments = {RECEIVER_BINARY, "-d", local.path, "--", "sh", "-c", script};
        pty_peer user(options);
        std::this_thread::sleep_for(500ms);
        for (const std::string& keys : c.typed) {
            for (const char key : keys) {
                user.send(std::string_view(&key, 1));
                std::this_thread::sleep_for(50ms);
            }
            std::this_thread::sleep_for(1000ms);
        }
        std::this_thread::sleep_for(1000ms);
        user.send("\x1b");
        ASSERT_TRUE(user.read_until("status=", 30s)) << user.read_rest(1s);
        EXPECT_EQ(user.read_through('\n', 5s).substr(0, 1), "1");
        const std::string rest = user.read_rest(10s);
        EXPECT_EQ(names_in(remote.path), std::vector<std::string>{});
        EXPECT_EQ(user.wait(10s).code, 0) << rest;
    }
}

}  // namespace
