// The real receiver running the real sender on a pseudo-terminal, end to end.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/stream_builder.h"

namespace {

namespace fs = std::filesystem;

struct run_result {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string output;
    std::string errors;
};

class scratch_dir {
public:
    scratch_dir() {
        char pattern[] = "/tmp/pushfile-e2e-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~scratch_dir() { fs::remove_all(path); }
    fs::path path;
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string random_bytes(std::size_t count, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string data(count, '\0');
    for (std::size_t i = 0; i < count; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(&data[i], &word, std::min<std::size_t>(8, count - i));
    }
    return data;
}

std::string drain(int fd) {
    std::string text;
    char chunk[65536];
    ssize_t got = 0;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(got));
    return text;
}

// Runs the receiver with the given arguments; stdin is stdin_fd (or /dev/null), stdout and stderr
// are collected apart. Output is read by threads so that neither pipe can fill up.
run_result run_receiver(const std::vector<std::string>& arguments, int stdin_fd = -1) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        const int input = stdin_fd >= 0 ? stdin_fd : open("/dev/null", O_RDONLY);
        dup2(input, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        std::vector<char*> argv;
        std::string program = RECEIVER_BINARY;
        argv.push_back(program.data());
        std::vector<std::string> copies = arguments;
        for (std::string& argument : copies) argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(126);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    run_result result;
    std::thread errors([&] { result.errors = drain(err_pipe[0]); });
    result.output = drain(out_pipe[0]);
    errors.join();
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> names_in(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ReceiverEndToEnd, SeveralFilesArriveIdentical) {
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
    const run_result result = run_receiver(arguments);
    EXPECT_EQ(result.status, 0) << result.errors;
    for (const auto& [name, data] : files) {
        ASSERT_TRUE(fs::exists(target.path / name)) << name << "\n" << result.errors;
        EXPECT_TRUE(read_file(target.path / name) == data) << name;
    }
    EXPECT_EQ(names_in(target.path).size(), files.size()) << "no temporary or extra files";
    // Nothing of the transfer reaches the screen.
    EXPECT_EQ(result.output.find("\x1b}f"), std::string::npos);
    EXPECT_NE(result.errors.find("large.bin (64.0 MiB) as " + (target.path / "large.bin").string()), std::string::npos) << result.errors;
}

TEST(ReceiverEndToEnd, MissingRemoteFileIsReportedAndNothingSaved) {
    scratch_dir source;
    scratch_dir target;
    write_file(source.path / "present", "here");
    const run_result result = run_receiver(
        {"-d", target.path, "--", PUSHFILE_BINARY, source.path / "absent", source.path / "present"});
    EXPECT_EQ(result.status, 1) << "the sender's own status passes through";
    EXPECT_EQ(names_in(target.path), std::vector<std::string>{"present"});
    EXPECT_NE(result.errors.find("absent not saved: the sender could not read it"), std::string::npos)
        << result.errors;
}

TEST(ReceiverEndToEnd, CraftedStreamsAreRefusedAndLeaveNothingBehind) {
    scratch_dir source;
    scratch_dir target;
    write_file(target.path / "kept", "old contents");
    using namespace stream_builder;
    // The right checksum of "payload" is 982.
    const std::string bad_checksum = path_message("victim") + size_message(7) + "\x1b}fd983 " +
                                     letters_of("payload") + '\0' + end_message();
    const std::string hostile = bad_checksum + file_stream("../escape", "x") + file_stream("kept", "new contents") + "visible text\n";
    write_file(source.path / "stream", hostile);
    const run_result result = run_receiver({"-d", target.path, "--", "cat", source.path / "stream"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.errors.find("victim not saved"), std::string::npos) << result.errors;
    EXPECT_FALSE(fs::exists(target.path.parent_path() / "escape"));
    EXPECT_EQ(read_file(target.path / "kept"), "old contents");
    EXPECT_EQ(names_in(target.path), (std::vector<std::string>{"escape", "kept", "kept.1"}));
    EXPECT_NE(result.output.find("visible text"), std::string::npos) << "later output still passes";
}

TEST(ReceiverEndToEnd, UserTerminalIsRestoredAfterTheRun) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    scratch_dir target;
    const run_result result = run_receiver({"-d", target.path, "--", "true"}, slave);
    EXPECT_EQ(result.status, 0) << result.errors;
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "terminal settings restored";
    close(master);
    close(slave);
}

}  // namespace
