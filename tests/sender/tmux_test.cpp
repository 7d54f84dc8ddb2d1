// pushfile in a pane of a real tmux server, with pushfile-receive outside running the tmux client.
// Each test starts its own server on a socket in its own scratch directory and ends only that one.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/receiver_run.h"

namespace {

namespace fs = std::filesystem;
using namespace pushfile_test;
using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr std::size_t BLOCK = 37268;
const std::string PASSTHROUGH_ON = "set -g allow-passthrough on\n";
// What the receiver says when a file stops coming part way.
const std::string STALL_NOTICE = "nothing has come from the sender for";

class tmux_pane : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path.empty());
        // The client needs a terminal type it knows, and refuses to start inside another tmux.
        setenv("TERM", "xterm-256color", 1);
        unsetenv("TMUX");
        fs::create_directory(source());
        fs::create_directory(target());
    }

    void TearDown() override {
        for (const std::string& socket : {socket_path(), (dir_.path / "inner.socket").string()}) {
            const pid_t pid = fork();
            if (pid == 0) {
                const int null_fd = open("/dev/null", O_WRONLY);
                dup2(null_fd, STDOUT_FILENO);
                dup2(null_fd, STDERR_FILENO);
                execlp("tmux", "tmux", "-S", socket.c_str(), "kill-server", static_cast<char*>(nullptr));
                _exit(127);
            }
            if (pid > 0) waitpid(pid, nullptr, 0);
        }
    }

    fs::path source() const { return dir_.path / "source"; }
    fs::path target() const { return dir_.path / "target"; }
    std::string socket_path() const { return dir_.path / "tmux.socket"; }
    std::string pane_file(const std::string& name) const { return read_file(dir_.path / name); }

    // Runs script with sh in the only pane of a fresh server, its working directory source(),
    // under the receiver saving into target(); link comes between the receiver and the client.
    run_result run_in_pane(const std::string& script, const std::string& config,
                           const std::vector<std::string>& link = {}, run_options options = {},
                           const std::vector<std::string>& receiver_options = {}) {
        write_file(dir_.path / "tmux.conf", "set -g default-shell /bin/sh\nset -g status off\n" + config);
        // tmux 3.3 drops what a pane passes through while the client is still attaching: about
        // one run in five lost its first message when the pane started at once.
        const std::string attached =
            "until tmux -S '" + socket_path() + "' list-clients | grep -q .; do sleep 0.1; done\n";
        write_file(dir_.path / "pane.sh", attached + "cd '" + source().string() + "'\n" + script);
        std::vector<std::string> arguments = receiver_options;
        arguments.insert(arguments.end(), {"-d", target(), "--"});
        arguments.insert(arguments.end(), link.begin(), link.end());
        const std::vector<std::string> client = {"tmux",
                                                 "-S",
                                                 socket_path(),
                                                 "-f",
                                                 dir_.path / "tmux.conf",
                                                 "new-session",
                                                 "sh " + (dir_.path / "pane.sh").string()};
        arguments.insert(arguments.end(), client.begin(), client.end());
        options.hang_guard = 120s;
        return run_receiver(arguments, options);
    }

    // The same with a second server inside the pane, as on a jump host: the pane runs
    // pushfile-receive --forward, whose command is a client of the second server, whose pane runs
    // script (its status lands in inner_status, the forwarder's in forward_status).
    run_result run_in_nested_panes(const std::string& script, const std::vector<std::string>& receiver_options,
                                   const std::vector<std::string>& link, run_options options) {
        const std::string inner_socket = dir_.path / "inner.socket";
        write_file(dir_.path / "inner.conf", "set -g default-shell /bin/sh\nset -g status off\n" + PASSTHROUGH_ON);
        write_file(dir_.path / "inner.sh", "until tmux -S '" + inner_socket +
                                               "' list-clients | grep -q .; do sleep 0.1; done\ncd '" +
                                               source().string() + "'\n" + script + "echo $? > ../inner_status\n");
        // PUSHFILE_FORWARDER runs another build in its place, e.g. one for another architecture
        // under qemu-user.
        const char* other = std::getenv("PUSHFILE_FORWARDER");
        const std::string forwarder = std::string(other != nullptr ? other : RECEIVER_BINARY) +
                                      " --forward -- env -u TMUX tmux -S '" + inner_socket + "' -f '" +
                                      (dir_.path / "inner.conf").string() + "' new-session 'sh " +
                                      (dir_.path / "inner.sh").string() + "'\n" +
                                      "echo $? > ../forward_status\ntmux -S '" + inner_socket + "' kill-server\n";
        return run_in_pane(forwarder, PASSTHROUGH_ON, link, options, receiver_options);
    }

    // Whether the receiver comes to hold a file open beneath folder (a file under way, saved
    // there once whole) before it ends: keys typed then are the receiver's, not the command's.
    static bool receives_into(receiver_run& run, const fs::path& folder) {
        const fs::path descriptors = "/proc/" + std::to_string(run.pid()) + "/fd";
        while (!run.ended_within(100ms)) {
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(descriptors, error)) {
                if (fs::read_symlink(entry.path(), error).string().starts_with(folder.string() + "/")) return true;
            }
        }
        return false;
    }

    // The pane's commands for running pushfile with its status and errors kept in files.
    static std::string pushfile_command(const std::string& files) {
        return std::string(PUSHFILE_BINARY) + " " + files + " 2> ../sender.err\necho $? > ../status\n";
    }

    scratch_dir dir_;
};

TEST_F(tmux_pane, files_arrive_identical_and_statuses_pass_through) {
    const std::string random = random_bytes(3U << 20, 9);
    write_file(source() / "empty", "");
    write_file(source() / "random.bin", random);
    // ESC \ would end the passthrough early unless the ESC is doubled; 0x9C is a one-byte ST.
    write_file(source() / "odd\x1b\\\x9c\x1b", "odd name");
    const run_result result = run_in_pane(pushfile_command("empty random.bin missing odd*"), PASSTHROUGH_ON);
    ASSERT_FALSE(result.hung) << result.errors;
    EXPECT_EQ(pane_file("status"), "1\n") << pane_file("sender.err");
    EXPECT_NE(pane_file("sender.err").find("missing: No such file or directory"), std::string::npos);
    const std::vector<std::string> names = names_in(target());
    ASSERT_EQ(names.size(), 3U) << result.errors;
    EXPECT_EQ(names[0], "empty");
    EXPECT_EQ(read_file(target() / names[0]), "");
    EXPECT_EQ(read_file(target() / names[1]), "odd name") << "saved as " << names[1];
    EXPECT_EQ(names[2], "random.bin");
    EXPECT_TRUE(read_file(target() / names[2]) == random);
    // The receiver's own account, with tmux between it and the sender.
    EXPECT_NE(result.errors.find("random.bin (3.0 MiB) as"), std::string::npos) << result.errors;
    EXPECT_NE(result.errors.find("missing not saved: the sender could not read it"), std::string::npos);
}

// tmux drops what it does not pass through: the sender says so while it waits, and after a key.
TEST_F(tmux_pane, without_passthrough_a_key_ends_the_wait_and_the_option_is_named) {
    write_file(source() / "file", "data");
    int keys[2];
    ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
    ::signal(SIGPIPE, SIG_IGN);
    // Keys typed before the sender switches its terminal over are flushed: type once it has spoken.
    std::atomic<bool> stop{false};
    std::thread typist([&] {
        while (!stop && pane_file("sender.err").empty()) std::this_thread::sleep_for(100ms);
        (void)!write(keys[1], "q", 1);
    });
    const run_result result =
        run_in_pane(pushfile_command("file"), "set -g allow-passthrough off\n", {}, {.stdin_fd = keys[0]});
    stop = true;
    close(keys[1]);
    typist.join();
    close(keys[0]);
    ASSERT_FALSE(result.hung) << result.errors;
    EXPECT_EQ(pane_file("status"), "255\n");
    const std::string errors = pane_file("sender.err");
    EXPECT_NE(errors.find("set -g allow-passthrough on", errors.find('\n')), std::string::npos) << errors;
    EXPECT_TRUE(names_in(target()).empty());
}

// A program that gives the sender a terminal of its own inside the pane (script here, a test
// harness or the receiver elsewhere) must get the plain bytes, though TMUX names a live server.
TEST_F(tmux_pane, a_terminal_of_its_own_inside_the_pane_gets_plain_bytes) {
    const run_result result = run_in_pane(
        "script -q -e -c '" + std::string(PUSHFILE_BINARY) + " missing' ../typescript\necho $? > ../status\n",
        PASSTHROUGH_ON);
    ASSERT_FALSE(result.hung) << result.errors;
    EXPECT_EQ(pane_file("status"), "1\n");
    const std::string recorded = pane_file("typescript");
    EXPECT_NE(recorded.find("\x1b}frmissing\0\x1b}fx\0\0"s), std::string::npos) << recorded;
    EXPECT_EQ(recorded.find("\x1bPtmux;"), std::string::npos) << recorded;
}

// tmux discards output for a client that falls behind; whole block messages must survive a slow
// link between it and the receiver.
TEST_F(tmux_pane, blocks_survive_a_slow_link) {
    const std::string data = random_bytes(3 * BLOCK + 1000, 10);
    write_file(source() / "blocks.bin", data);
    const run_result result = run_in_pane(pushfile_command("blocks.bin"), PASSTHROUGH_ON,
                                          {LINK_SIM_BINARY, "--delay-ms", "20", "--rate", "150000", "--"});
    ASSERT_FALSE(result.hung) << result.errors;
    EXPECT_EQ(pane_file("status"), "0\n") << pane_file("sender.err");
    EXPECT_TRUE(read_file(target() / "blocks.bin") == data) << result.errors;
}

// Through a jump host: a forwarder in a pane of one tmux passes on what a sender in a pane of a
// second tmux, inside the first, writes; the receiver outside both saves it and its answers, keys
// to both, come back. Also over a long link between the receiver and the forwarder.
TEST_F(tmux_pane, a_forwarder_between_two_tmux_servers_passes_transfers_both_ways) {
    const std::string blocks = random_bytes(3 * BLOCK + 1000, 11);
    write_file(source() / "empty", "");
    write_file(source() / "few", "few bytes");
    write_file(source() / "blocks.bin", blocks);
    const std::string endless = "mkfifo endless; (while :; do cat blocks.bin; done > endless &)\n";
    struct nested_case {
        const char* what;
        std::string script;
        std::vector<std::string> receiver_options;
        std::vector<std::string> link;
        const char* keys;  // typed at the receiver once it receives a file, if any
        const char* inner_status;
        std::size_t saved;
    };
    const nested_case cases[] = {
        {"three files", std::string(PUSHFILE_BINARY) + " empty few blocks.bin\n", {}, {}, nullptr, "0\n", 3},
        {"50 ms round trip",
         std::string(PUSHFILE_BINARY) + " blocks.bin\n",
         {},
         {LINK_SIM_BINARY, "--delay-ms", "25", "--rate", "2000000", "--"},
         nullptr,
         "0\n",
         1},
        {"refused", std::string(PUSHFILE_BINARY) + " blocks.bin\n", {"-m", "1K"}, {}, nullptr, "255\n", 0},
        {"Ctrl-C", endless + PUSHFILE_BINARY + " endless\n", {}, {}, "\x03", "255\n", 0},
    };
    for (const nested_case& test : cases) {
        SCOPED_TRACE(test.what);
        for (const std::string& name : names_in(target())) fs::remove(target() / name);
        int keys[2];
        ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
        const run_options options{.stdin_fd = keys[0], .while_running = [&](receiver_run& run) {
                                      if (test.keys != nullptr && receives_into(run, target())) {
                                          (void)!write(keys[1], test.keys, std::strlen(test.keys));
                                      }
                                      // A block lost between the servers is told of; its way out
                                      // ends the run rather than the guard.
                                      if (run.wait_for_output(STALL_NOTICE, 100s)) (void)!write(keys[1], "\x03", 1);
                                  }};
        const run_result result = run_in_nested_panes(test.script, test.receiver_options, test.link, options);
        close(keys[1]);
        close(keys[0]);
        ASSERT_FALSE(result.hung) << result.errors;
        EXPECT_EQ(result.errors.find(STALL_NOTICE), std::string::npos) << result.errors;
        EXPECT_EQ(pane_file("inner_status"), test.inner_status) << result.errors;
        EXPECT_EQ(pane_file("forward_status"), "0\n");
        EXPECT_EQ(names_in(target()).size(), test.saved) << result.errors;
        if (test.saved == 3) {
            EXPECT_EQ(read_file(target() / "empty"), "");
            EXPECT_EQ(read_file(target() / "few"), "few bytes");
        }
        if (test.saved > 0) {
            EXPECT_TRUE(read_file(target() / "blocks.bin") == blocks);
        }
    }
}

// The other way: pullfile in a pane, and in a pane of a second tmux behind a forwarder, asks the
// receiver outside; the paths typed there go up as keys through every tmux between.
TEST_F(tmux_pane, uploads_go_up_through_a_pane_and_through_a_forwarder_between_two_tmux_servers) {
    const std::string blocks = random_bytes(3 * BLOCK + 1000, 12);
    write_file(source() / "empty", "");
    write_file(source() / "few", "few bytes");
    write_file(source() / "blocks.bin", blocks);
    const fs::path up = dir_.path / "up";
    // Behind a forwarder, no answer can come: the files come typed in dense characters at once.
    const auto script = [](bool nested) {
        return "cd ../up && " + std::string(nested ? "PULLFILE_UPLOAD_PATH=dense " : "") + PULLFILE_BINARY +
               " 2> ../pull.err; echo $? > ../pull_status\n";
    };
    // Pasted, as a terminal marks what a person drops on it: no answer is asked for.
    const std::string keys_typed = "\x1b[200~'" + source().string() + "/empty' '" + source().string() + "/few' '" +
                                   source().string() + "/blocks.bin'\x1b[201~\r";
    // The paths are pasted once the prompt is on the receiver's screen: before it, they would be
    // keys for pullfile, and the prompt would wait for ever.
    const auto upload = [&](bool nested, const std::string& config) {
        fs::remove_all(up);
        fs::create_directory(up);
        int keys[2];
        EXPECT_EQ(pipe2(keys, O_CLOEXEC), 0);
        const run_options options{.stdin_fd = keys[0], .while_running = [&](receiver_run& run) {
                                      if (run.wait_for_output("upload to remote ", 90s)) {
                                          (void)!write(keys[1], keys_typed.data(), keys_typed.size());
                                      }
                                  }};
        const run_result result =
            nested ? run_in_nested_panes(script(true), {}, {}, options) : run_in_pane(script(false), config, {}, options);
        close(keys[1]);
        close(keys[0]);
        return result;
    };
    for (const bool nested : {false, true}) {
        SCOPED_TRACE(nested ? "behind a forwarder" : "in a pane");
        const run_result result = upload(nested, PASSTHROUGH_ON);
        ASSERT_FALSE(result.hung) << result.errors;
        EXPECT_EQ(pane_file("pull_status"), "0\n") << pane_file("pull.err") << result.errors;
        EXPECT_EQ(names_in(up), (std::vector<std::string>{"blocks.bin", "empty", "few"}));
        EXPECT_EQ(read_file(up / "few"), "few bytes");
        EXPECT_TRUE(read_file(up / "blocks.bin") == blocks);
        EXPECT_NE(pane_file("pull.err").find("saved 3 files"), std::string::npos) << pane_file("pull.err");
        // In a pane the files come in answers to tmux's clipboard queries, not typed; behind a
        // forwarder, typed in dense characters, the forwarder passing pullfile's request on.
        const std::string said = pane_file("pull.err");
        EXPECT_EQ(said.find(nested ? "typed in dense characters" : "typed") != std::string::npos, nested) << said;
    }
    // Where they cannot (tmux 3.5's escape-time), the files are typed in dense characters, and
    // pullfile says why.
    const run_result result = upload(false, PASSTHROUGH_ON + "set -g escape-time 10\n");
    ASSERT_FALSE(result.hung) << result.errors;
    EXPECT_TRUE(read_file(up / "blocks.bin") == blocks);
    EXPECT_NE(pane_file("pull.err").find("typed in dense characters: tmux's escape-time of 10 ms is too short"), std::string::npos)
        << pane_file("pull.err");
}

}  // namespace
