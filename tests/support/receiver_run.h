// What the receiver's end-to-end tests share: scratch directories, file helpers, and the real
// receiver binary run as a child with its output collected.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/io.h"
#include "tests/support/hang_guard.h"
#include "tests/support/scratch_dir.h"

// The program a run starts: the receiver, unless a test names another that runs as it does.
#ifndef RECEIVER_RUN_PROGRAM
#define RECEIVER_RUN_PROGRAM RECEIVER_BINARY
#endif

namespace pushfile_test {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline bool write_all(int fd, const char* bytes, std::size_t length) {
    return pushfile::write_all(fd, bytes, length);
}

inline bool write_file(const fs::path& path, const std::string& data) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = write_all(fd, data.data(), data.size());
    return close(fd) == 0 && written;
}

// The same seed always gives the same bytes, so a test can make them again to compare.
inline std::string random_bytes(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string data(count, '\0');
    for (std::size_t i = 0; i < count; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(&data[i], &word, std::min<std::size_t>(8, count - i));
    }
    return data;
}

// Sorted, so that a test can compare them with a list.
inline std::vector<std::string> names_in(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class receiver_run;

struct run_options {
    int stdin_fd = -1;  // /dev/null when negative
    rlim_t file_size_limit = RLIM_INFINITY;
    clock_type::duration hang_guard = HANG_GUARD;
    // Called once the receiver runs, before its end is waited for: a typist that waits for what it
    // shows before typing.
    std::function<void(receiver_run&)> while_running{};
};

struct run_result {
    bool exited = false;  // false when it was killed by a signal or by the hang guard
    int status = -1;      // exit status, or -1 when it did not exit
    int signal = 0;       // the signal that killed it, or 0
    bool hung = false;
    long max_rss_kib = -1;  // the receiver's peak resident set, as wait4() reports it
    std::string output;
    std::string errors;
};

// The receiver running in the background, its output collected by threads so that no pipe fills.
// The child's pages before exec count towards its peak RSS, so a test that measures it keeps its
// own memory small when it starts a run.
class receiver_run {
public:
    explicit receiver_run(const std::vector<std::string>& arguments, const run_options& options = {})
        : hang_guard_(options.hang_guard) {
        int out_pipe[2];
        int err_pipe[2];
        if (pipe2(out_pipe, O_CLOEXEC) != 0) return;
        if (pipe2(err_pipe, O_CLOEXEC) != 0) {
            close(out_pipe[0]);
            close(out_pipe[1]);
            return;
        }
        // Everything the child needs is made before fork(): the test may have threads.
        std::vector<std::string> words = {RECEIVER_RUN_PROGRAM};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int input = options.stdin_fd >= 0 ? options.stdin_fd : null_fd;

        pid_ = fork();
        if (pid_ == 0) {
            dup2(input, STDIN_FILENO);
            dup2(out_pipe[1], STDOUT_FILENO);
            dup2(err_pipe[1], STDERR_FILENO);
            if (options.file_size_limit != RLIM_INFINITY) {
                const rlimit limit{options.file_size_limit, options.file_size_limit};
                setrlimit(RLIMIT_FSIZE, &limit);
                // An ignored disposition survives exec: writes past the limit fail with EFBIG.
                ::signal(SIGXFSZ, SIG_IGN);
            }
            execv(argv[0], argv.data());
            _exit(126);
        }
        close(null_fd);
        close(out_pipe[1]);
        close(err_pipe[1]);
        if (pid_ < 0) {
            close(out_pipe[0]);
            close(err_pipe[0]);
            return;
        }
        output_reader_ = std::thread([this, fd = out_pipe[0]] { collect(fd, &result_.output); });
        error_reader_ = std::thread([this, fd = err_pipe[0]] { collect(fd, &result_.errors); });
    }

    ~receiver_run() {
        if (pid_ > 0) finish(clock_type::duration::zero());
    }
    receiver_run(const receiver_run&) = delete;
    receiver_run& operator=(const receiver_run&) = delete;

    pid_t pid() const { return pid_; }

    // Whether the receiver ends within period; it is reaped when it does.
    bool ended_within(clock_type::duration period) {
        const auto deadline = clock_type::now() + period;
        // Short pauses at first, for the many runs that end at once; longer ones for long runs.
        auto pause = std::chrono::milliseconds(1);
        while (!reaped_ && pid_ > 0) {
            if (wait4(pid_, &wait_status_, WNOHANG, &usage_) == pid_) {
                reaped_ = true;
            } else if (clock_type::now() >= deadline) {
                return false;
            } else {
                std::this_thread::sleep_for(pause);
                pause = std::min(2 * pause, std::chrono::milliseconds(20));
            }
        }
        return reaped_;
    }

    // Whether text appears in what the receiver writes, to its standard output or its messages
    // (standard error), within period.
    bool wait_for_output(const std::string& text, clock_type::duration period) {
        const auto shown = [&] {
            return result_.output.find(text) != std::string::npos || result_.errors.find(text) != std::string::npos;
        };
        std::unique_lock<std::mutex> lock(output_mutex_);
        return output_grew_.wait_for(lock, period, [&] { return shown() || outputs_ended_ == 2; }) && shown();
    }

    // Waits for the receiver to end; past the guard it is killed and the result says it hung.
    run_result finish() { return finish(hang_guard_); }
    run_result finish(clock_type::duration guard) {
        if (pid_ <= 0) return result_;
        if (!ended_within(guard)) {
            result_.hung = true;
            kill(pid_, SIGKILL);
            wait4(pid_, &wait_status_, 0, &usage_);
            reaped_ = true;
        }
        if (output_reader_.joinable()) output_reader_.join();
        if (error_reader_.joinable()) error_reader_.join();
        result_.exited = WIFEXITED(wait_status_);
        result_.status = WIFEXITED(wait_status_) ? WEXITSTATUS(wait_status_) : -1;
        result_.signal = WIFSIGNALED(wait_status_) ? WTERMSIG(wait_status_) : 0;
        result_.max_rss_kib = usage_.ru_maxrss;
        return result_;
    }

private:
    void collect(int fd, std::string* text) {
        char chunk[65536];
        ssize_t got = 0;
        while ((got = read(fd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
            if (got <= 0) continue;
            const std::lock_guard<std::mutex> lock(output_mutex_);
            text->append(chunk, static_cast<std::size_t>(got));
            output_grew_.notify_all();
        }
        close(fd);
        const std::lock_guard<std::mutex> lock(output_mutex_);
        ++outputs_ended_;
        output_grew_.notify_all();
    }

    clock_type::duration hang_guard_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int wait_status_ = 0;
    rusage usage_{};
    run_result result_;
    std::mutex output_mutex_;
    std::condition_variable output_grew_;
    int outputs_ended_ = 0;
    std::thread output_reader_;
    std::thread error_reader_;
};

// Runs the receiver with the given arguments (its path comes first by itself) to its end.
inline run_result run_receiver(const std::vector<std::string>& arguments, const run_options& options = {}) {
    receiver_run run(arguments, options);
    if (options.while_running) options.while_running(run);
    return run.finish();
}

}  // namespace pushfile_test
