// The built pushfile under injected faults: its writes to standard output cut short or refused
// for a moment, its file reads failing, its output failing for good. The test plays the terminal
// on a pipe (or, where the line's settings matter, answers through a pseudo-terminal) and holds
// every stream to what a clean run writes.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/hang_guard.h"
#include "tests/support/stream_builder.h"

extern char** environ;

namespace {

using pushfile_test::HANG_GUARD;

constexpr std::size_t BLOCK = 37268;
// Only guards against a hang: a run takes milliseconds.
constexpr int SEED_COUNT = 40;

enum class reply_line { pipe, terminal };
enum class output_kind { pipe, closed, read_only };

struct run_options {
    std::vector<std::string> files;
    std::vector<std::string> faults;  // NAME=value settings of the injection library
    bool preload = true;
    reply_line input = reply_line::pipe;
    output_kind output = output_kind::pipe;
    bool ignore_sigpipe = true;
    // The reader of the output goes away once a size message has come, before it is answered.
    bool close_output_at_size = false;
};

struct run_result {
    bool exited = false;
    int code = -1;
    int signal = 0;
    bool hung = false;
    std::string output;
    std::string errors;
    std::map<std::string, unsigned long long> counts;  // from the injection library's log
    // False when bytes followed a size or block message before its reply was sent.
    bool paced = true;
    std::optional<termios> before, during, after;
};

class descriptor {
public:
    descriptor() = default;
    explicit descriptor(int fd) : fd_(fd) {}
    ~descriptor() { reset(); }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

std::string temporary_directory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/pushfile-faults-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::vector<std::string> child_environment(const run_options& options, const std::string& log_path) {
    std::vector<std::string> env;
    std::string asan_options;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (text.rfind("LD_PRELOAD=", 0) == 0 || text.rfind("PUSHFILE_FAULT_", 0) == 0) continue;
        if (text.rfind("ASAN_OPTIONS=", 0) == 0) {
            asan_options = text.substr(13) + ":";
            continue;
        }
        env.push_back(text);
    }
    if (options.preload) {
        env.push_back(std::string("LD_PRELOAD=") + FAULT_INJECT_LIBRARY);
        env.push_back("PUSHFILE_FAULT_LOG=" + log_path);
        for (const std::string& fault : options.faults) env.push_back(fault);
        // A sanitized pushfile would otherwise refuse to start behind the preloaded library.
        asan_options += "verify_asan_link_order=0";
    }
    if (!asan_options.empty()) env.push_back("ASAN_OPTIONS=" + asan_options);
    return env;
}

std::map<std::string, unsigned long long> read_counts(const std::string& log_path) {
    std::map<std::string, unsigned long long> counts;
    std::ifstream log(log_path);
    std::string word;
    while (log >> word) {
        const std::size_t equals = word.find('=');
        if (equals != std::string::npos) counts[word.substr(0, equals)] = std::stoull(word.substr(equals + 1));
    }
    return counts;
}

// Answers each size and block message with "ky" as soon as its NUL has come, and notes whether
// anything followed the NUL before the answer.
class terminal_player {
public:
    terminal_player(run_result& result, int reply_fd, std::optional<int> line_fd)
        : result_(result), reply_fd_(reply_fd), line_fd_(line_fd) {}

    // Looks at what has come since the last call; when asked, closes the output reader at the
    // first size message, before answering it.
    void scan(descriptor& output_reader, bool close_at_size) {
        for (;;) {
            const std::size_t start = result_.output.find("\x1b}f", scan_from_);
            if (start == std::string::npos || start + 3 >= result_.output.size()) return;
            const std::size_t nul = result_.output.find('\0', start + 4);
            if (nul == std::string::npos) return;
            scan_from_ = nul + 1;
            const char code = result_.output[start + 3];
            if (code != 's' && code != 'd') continue;
            if (nul + 1 != result_.output.size()) result_.paced = false;
            if (code == 's' && line_fd_ && !result_.during) {
                termios now{};
                if (tcgetattr(*line_fd_, &now) == 0) result_.during = now;
            }
            if (code == 's' && close_at_size) output_reader.reset();
            // The sender may be gone already; its status tells the story, not this write.
            (void)!::write(reply_fd_, "ky", 2);
        }
    }

private:
    run_result& result_;
    int reply_fd_;
    std::optional<int> line_fd_;
    std::size_t scan_from_ = 0;
};

// Holds the injection library's logs; each is removed once read.
struct log_directory {
    std::string path = temporary_directory();
    ~log_directory() { rmdir(path.c_str()); }
};

run_result run_sender(const run_options& options) {
    static const log_directory logs;
    static int run_number = 0;
    const std::string log_path = logs.path + "/log" + std::to_string(++run_number);

    run_result result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    descriptor errors_reader(fds[0]), errors_writer(fds[1]);
    descriptor output_reader, output_writer;
    if (options.output == output_kind::pipe) {
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        output_reader.reset(fds[0]);
        output_writer.reset(fds[1]);
    }
    descriptor reply_writer, child_input, line;
    if (options.input == reply_line::pipe) {
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        child_input.reset(fds[0]);
        reply_writer.reset(fds[1]);
    } else {
        reply_writer.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (reply_writer.get() < 0 || grantpt(reply_writer.get()) != 0 || unlockpt(reply_writer.get()) != 0)
            throw std::runtime_error("no pseudo-terminal");
        line.reset(open(ptsname(reply_writer.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios settings{};
        if (line.get() < 0 || tcgetattr(line.get(), &settings) != 0) throw std::runtime_error("no terminal line");
        result.before = settings;
    }
    const int input_fd = options.input == reply_line::pipe ? child_input.get() : line.get();

    std::vector<std::string> arguments{PUSHFILE_BINARY};
    arguments.insert(arguments.end(), options.files.begin(), options.files.end());
    const std::vector<std::string> env = child_environment(options, log_path);
    std::vector<char*> argv, envp;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(input_fd, STDIN_FILENO);
        if (options.output == output_kind::pipe) {
            dup2(output_writer.get(), STDOUT_FILENO);
        } else {
            close(STDOUT_FILENO);
            if (options.output == output_kind::read_only) {
                const int null_input = open("/dev/null", O_RDONLY);
                if (null_input != STDOUT_FILENO) _exit(126);
            }
        }
        dup2(errors_writer.get(), STDERR_FILENO);
        std::signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    output_writer.reset();
    errors_writer.reset();
    child_input.reset();

    terminal_player player(result, reply_writer.get(),
                           options.input == reply_line::terminal ? std::optional<int>(line.get()) : std::nullopt);
    const auto deadline = std::chrono::steady_clock::now() + HANG_GUARD;
    char buffer[65536];
    while (output_reader.get() >= 0 || errors_reader.get() >= 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            result.hung = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd watched[2] = {{output_reader.get(), POLLIN, 0}, {errors_reader.get(), POLLIN, 0}};
        if (poll(watched, 2, 100) < 0 && errno != EINTR) break;
        if (watched[0].revents != 0) {
            const ssize_t count = ::read(output_reader.get(), buffer, sizeof buffer);
            if (count <= 0) {
                output_reader.reset();
            } else {
                result.output.append(buffer, static_cast<std::size_t>(count));
                player.scan(output_reader, options.close_output_at_size);
            }
        }
        if (watched[1].revents != 0) {
            const ssize_t count = ::read(errors_reader.get(), buffer, sizeof buffer);
            if (count <= 0)
                errors_reader.reset();
            else
                result.errors.append(buffer, static_cast<std::size_t>(count));
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    result.exited = WIFEXITED(status);
    result.code = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (line.get() >= 0) {
        termios settings{};
        if (tcgetattr(line.get(), &settings) == 0) result.after = settings;
    }
    if (options.preload) result.counts = read_counts(log_path);
    unlink(log_path.c_str());
    return result;
}

std::string settings_difference(const termios& seen, const termios& wanted) {
    std::ostringstream difference;
    if (seen.c_iflag != wanted.c_iflag) difference << "c_iflag " << seen.c_iflag << " != " << wanted.c_iflag << "; ";
    if (seen.c_oflag != wanted.c_oflag) difference << "c_oflag " << seen.c_oflag << " != " << wanted.c_oflag << "; ";
    if (seen.c_cflag != wanted.c_cflag) difference << "c_cflag " << seen.c_cflag << " != " << wanted.c_cflag << "; ";
    if (seen.c_lflag != wanted.c_lflag) difference << "c_lflag " << seen.c_lflag << " != " << wanted.c_lflag << "; ";
    if (std::memcmp(seen.c_cc, wanted.c_cc, sizeof seen.c_cc) != 0) difference << "c_cc differs; ";
    if (cfgetispeed(&seen) != cfgetispeed(&wanted) || cfgetospeed(&seen) != cfgetospeed(&wanted))
        difference << "speeds differ; ";
    return difference.str();
}

// The line was in the transfer mode while the file went, and is back as it was.
void expect_terminal_switched_and_restored(const run_result& result, bool size_was_sent) {
    ASSERT_TRUE(result.before && result.after);
    EXPECT_EQ(settings_difference(*result.after, *result.before), "") << "the terminal was not restored";
    if (!size_was_sent) return;
    ASSERT_TRUE(result.during);
    EXPECT_EQ(result.during->c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U) << "the line was not in transfer mode";
    EXPECT_EQ(result.during->c_oflag & OPOST, 0U);
}

std::string with_seed(int seed) { return "PUSHFILE_FAULT_SEED=" + std::to_string(seed); }

class sender_faults : public ::testing::Test {
protected:
    struct sample {
        std::string path;
        std::string data;
    };

    static void SetUpTestSuite() {
        directory_ = new std::string(temporary_directory());
        samples_ = new std::vector<sample>;
        std::mt19937 random(2024);
        for (const std::size_t size : {std::size_t{0}, std::size_t{1}, BLOCK, 3 * BLOCK + 5, std::size_t{300000}}) {
            sample file{*directory_ + "/file_" + std::to_string(size), std::string(size, '\0')};
            for (char& c : file.data) c = static_cast<char>(random());
            write_file(file);
            samples_->push_back(file);
        }
    }
    static void TearDownTestSuite() {
        for (const sample& file : *samples_) unlink(file.path.c_str());
        unlink(odd_path().c_str());
        rmdir(directory_->c_str());
        delete samples_;
        delete directory_;
    }

    static void write_file(const sample& file) {
        std::ofstream out(file.path, std::ios::binary);
        out.write(file.data.data(), static_cast<std::streamsize>(file.data.size()));
        if (!out) throw std::runtime_error("cannot write " + file.path);
    }

    static std::vector<std::string> all_paths() {
        std::vector<std::string> paths;
        for (const sample& file : *samples_) paths.push_back(file.path);
        return paths;
    }
    static std::string all_streams() {
        std::string stream;
        for (const sample& file : *samples_) stream += pushfile_test::file_stream(file.path, file.data);
        return stream;
    }
    static const sample& largest() { return samples_->back(); }
    // A name with a control byte, which the error report must show escaped.
    static std::string odd_path() { return *directory_ + "/odd\x07name"; }

    static std::string* directory_;
    static std::vector<sample>* samples_;
};

std::string* sender_faults::directory_ = nullptr;
std::vector<sender_faults::sample>* sender_faults::samples_ = nullptr;

// Cut-short, interrupted and refused writes are repeated until every byte is out, in order.
TEST_F(sender_faults, stream_stays_byte_identical_under_write_faults) {
    run_options clean;
    clean.files = all_paths();
    clean.preload = false;
    const run_result reference = run_sender(clean);
    ASSERT_TRUE(reference.exited && reference.code == 0) << reference.errors;
    ASSERT_EQ(reference.output, all_streams()) << "a clean run differs from the stream a sender must write";

    unsigned long long short_writes = 0, interrupted = 0, refused = 0;
    for (int seed = 1; seed <= SEED_COUNT; ++seed) {
        run_options faulty = clean;
        faulty.preload = true;
        faulty.faults = {with_seed(seed), "PUSHFILE_FAULT_SHORT_RATE=0.3", "PUSHFILE_FAULT_EINTR_RATE=0.1",
                         "PUSHFILE_FAULT_EAGAIN_RATE=0.1"};
        const run_result run = run_sender(faulty);
        ASSERT_FALSE(run.hung) << "seed " << seed;
        EXPECT_TRUE(run.exited && run.code == 0) << "seed " << seed << ": " << run.errors;
        EXPECT_EQ(run.errors, "") << "seed " << seed;
        EXPECT_TRUE(run.paced) << "seed " << seed << ": wrote on before the reply";
        ASSERT_TRUE(run.output == reference.output)
            << "seed " << seed << ": " << run.output.size() << " bytes against " << reference.output.size();
        EXPECT_EQ(run.counts.at("failed_for_good"), 0U) << "seed " << seed;
        EXPECT_GT(run.counts.at("short") + run.counts.at("eintr") + run.counts.at("eagain"), 0U) << "seed " << seed;
        short_writes += run.counts.at("short");
        interrupted += run.counts.at("eintr");
        refused += run.counts.at("eagain");
    }
    // Each kind of fault really happened, many times.
    EXPECT_GT(short_writes, 100U);
    EXPECT_GT(interrupted, 30U);
    EXPECT_GT(refused, 30U);
}

// A failed read of the file ends that file as its end would, is reported once the terminal is
// back, and the next file still goes.
TEST_F(sender_faults, failed_file_read_ends_that_file_only) {
    const sample& data_source = (*samples_)[3];  // three full blocks and five bytes: five reads
    const sample odd_name{odd_path(), data_source.data};
    write_file(odd_name);
    const sample& next = (*samples_)[1];
    const std::string shown_path = *directory_ + "/odd\\x07name";

    struct read_fault {
        int error;
        int read_number;  // the read that fails; 5 is the read that would find the end
    };
    for (const read_fault fault :
         {read_fault{EIO, 1}, read_fault{EIO, 2}, read_fault{EINTR, 1}, read_fault{EINTR, 4}, read_fault{EIO, 5}}) {
        for (int seed = 1; seed <= 3; ++seed) {
            run_options options;
            options.files = {odd_name.path, next.path};
            options.faults = {with_seed(seed), "PUSHFILE_FAULT_READ_FAIL_AT=" + std::to_string(fault.read_number),
                              "PUSHFILE_FAULT_READ_FAIL_ERRNO=" + std::to_string(fault.error),
                              "PUSHFILE_FAULT_SHORT_RATE=0.2", "PUSHFILE_FAULT_EINTR_RATE=0.1"};
            const run_result run = run_sender(options);
            const std::string where = std::string(strerror(fault.error)) + " at read " +
                                      std::to_string(fault.read_number) + ", seed " + std::to_string(seed);

            std::string expected =
                pushfile_test::path_message(odd_name.path) + pushfile_test::size_message(odd_name.data.size());
            for (int block = 0; block < fault.read_number - 1 && block < 4; ++block) {
                expected += pushfile_test::block_message(
                    std::string_view(odd_name.data).substr(static_cast<std::size_t>(block) * BLOCK, BLOCK));
            }
            expected += pushfile_test::end_message() + pushfile_test::file_stream(next.path, next.data);

            ASSERT_FALSE(run.hung) << where;
            EXPECT_TRUE(run.exited && run.code == 1) << where << ": status " << run.code;
            EXPECT_TRUE(run.output == expected)
                << where << ": " << run.output.size() << " bytes, " << expected.size() << " expected";
            EXPECT_EQ(run.errors, "pushfile: " + shown_path + ": " + strerror(fault.error) + "\n") << where;
            EXPECT_EQ(run.counts.at("read_faults"), 1U) << where;
        }
    }
}

// Output that fails for good cuts the run off at once: status 255, no further write, and the
// terminal back as it was.
TEST_F(sender_faults, broken_pipe_with_sigpipe_ignored_cuts_off) {
    run_options options;
    options.files = {largest().path, (*samples_)[1].path};
    options.input = reply_line::terminal;
    options.close_output_at_size = true;
    const run_result run = run_sender(options);
    ASSERT_FALSE(run.hung);
    EXPECT_TRUE(run.exited && run.code == 255) << "status " << run.code << ", signal " << run.signal;
    EXPECT_EQ(run.output, pushfile_test::path_message(largest().path) + pushfile_test::size_message(300000));
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.counts.at("failed_for_good"), 1U);
    EXPECT_EQ(run.counts.at("writes_after_failure"), 0U);
    expect_terminal_switched_and_restored(run, true);
}

TEST_F(sender_faults, broken_pipe_with_sigpipe_at_default_kills) {
    run_options options;
    options.files = {largest().path};
    options.close_output_at_size = true;
    options.ignore_sigpipe = false;
    const run_result run = run_sender(options);
    ASSERT_FALSE(run.hung);
    EXPECT_FALSE(run.exited);
    EXPECT_EQ(run.signal, SIGPIPE);
}

TEST_F(sender_faults, unusable_standard_output_cuts_off_before_anything) {
    for (const output_kind output : {output_kind::closed, output_kind::read_only}) {
        const char* what = output == output_kind::closed ? "closed" : "read-only";
        run_options options;
        options.files = {largest().path};
        options.input = reply_line::terminal;
        options.output = output;
        const run_result run = run_sender(options);
        ASSERT_FALSE(run.hung) << what;
        EXPECT_TRUE(run.exited && run.code == 255) << what << ": status " << run.code;
        EXPECT_EQ(run.errors, "") << what;
        // The path message was the one write tried.
        EXPECT_EQ(run.counts.at("writes"), 1U) << what;
        EXPECT_EQ(run.counts.at("failed_for_good"), 1U) << what;
        EXPECT_EQ(run.counts.at("writes_after_failure"), 0U) << what;
        expect_terminal_switched_and_restored(run, false);
    }
}

TEST_F(sender_faults, output_error_cuts_off_exactly_where_it_hit) {
    const sample& file = largest();
    const std::string stream = pushfile_test::file_stream(file.path, file.data);
    const std::size_t after_size =
        pushfile_test::path_message(file.path).size() + pushfile_test::size_message(file.data.size()).size();
    for (const std::size_t limit : {std::size_t{0}, std::size_t{3}, after_size, after_size + 6, after_size + 5000,
                                    stream.size() - 6, stream.size() - 1}) {
        for (int seed = 1; seed <= 3; ++seed) {
            run_options options;
            options.files = {file.path, (*samples_)[1].path};
            options.input = reply_line::terminal;
            options.faults = {with_seed(seed), "PUSHFILE_FAULT_EIO_AFTER=" + std::to_string(limit),
                              "PUSHFILE_FAULT_SHORT_RATE=0.3", "PUSHFILE_FAULT_EINTR_RATE=0.1",
                              "PUSHFILE_FAULT_EAGAIN_RATE=0.1"};
            const run_result run = run_sender(options);
            const std::string where = "EIO after " + std::to_string(limit) + " bytes, seed " + std::to_string(seed);
            ASSERT_FALSE(run.hung) << where;
            EXPECT_TRUE(run.exited && run.code == 255) << where << ": status " << run.code;
            EXPECT_TRUE(run.output == stream.substr(0, limit)) << where << ": " << run.output.size() << " bytes";
            EXPECT_EQ(run.errors, "") << where;
            EXPECT_EQ(run.counts.at("failed_for_good"), 1U) << where;
            EXPECT_EQ(run.counts.at("writes_after_failure"), 0U) << where;
            expect_terminal_switched_and_restored(run, limit >= after_size);
        }
    }
}

}  // namespace
