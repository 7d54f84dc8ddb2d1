#include "transfer/file_sink.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

// The sink's temporary files, their names and its flushes go through these system calls, which a
// test can steer: no unnamed temporary files (as on a file system without O_TMPFILE), zero bytes
// for the next names, so that a file can be planted where the sink will look, or a failing flush
// of the directory.
namespace {
bool refuse_unnamed_temporaries = false;
int zero_random_draws = 0;
bool fail_directory_fsync = false;
}  // namespace

extern "C" int openat(int directory_fd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    if (refuse_unnamed_temporaries && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return static_cast<int>(syscall(SYS_openat, directory_fd, path, flags, mode));
}

extern "C" ssize_t getrandom(void* buffer, std::size_t length, unsigned flags) {
    if (zero_random_draws > 0) {
        --zero_random_draws;
        std::memset(buffer, 0, length);
        return static_cast<ssize_t>(length);
    }
    return syscall(SYS_getrandom, buffer, length, flags);
}

extern "C" int fsync(int fd) {
    struct stat status {};
    if (fail_directory_fsync && fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace fs = std::filesystem;
using pushfile::clean_file_name;
using pushfile::file_sink;
using pushfile::file_sink_options;
using pushfile::MAX_NAME_LENGTH;

namespace {

std::string repeat(const std::string& piece, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

std::set<std::string> entries(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
    return names;
}

// Every path under root, symlinks listed but not followed.
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root)) paths.insert(fs::relative(entry.path(), root));
    return paths;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const fs::path& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

// Saves content under sent_path: what went wrong, or nothing.
std::string save(file_sink& sink, std::string_view sent_path, const std::string& content) {
    std::string error;
    (void)(sink.begin(sent_path, &error) &&
           sink.write(reinterpret_cast<const unsigned char*>(content.data()), content.size(), &error) &&
           sink.commit(&error));
    return error;
}

bool is_temporary_name(const std::string& name) { return name.starts_with(".pushfile-") && name.ends_with(".part"); }

}  // namespace

TEST(clean_file_name, keeps_only_the_last_component) {
    EXPECT_EQ(clean_file_name("../../x"), "x");
    EXPECT_EQ(clean_file_name("/etc/passwd"), "passwd");
    EXPECT_EQ(clean_file_name("a/b/report.pdf"), "report.pdf");
    for (const char* empty_last : {"", ".", "..", "/", "a/", "x/..", "a/.", "//"})
        EXPECT_EQ(clean_file_name(empty_last), "received") << '"' << empty_last << '"';
}

TEST(clean_file_name, replaces_control_bytes_and_leading_dots) {
    EXPECT_EQ(clean_file_name("a\x1b[31m\x07\n\x7f"
                              "b"),
              "a_[31m___b");
    EXPECT_EQ(clean_file_name(std::string("x\0y", 3)), "x_y");
    EXPECT_EQ(clean_file_name("caf\xc3\xa9\x80"), "caf\xc3\xa9\x80");  // only ASCII controls are replaced
    EXPECT_EQ(clean_file_name(".bashrc"), "_bashrc");
    EXPECT_EQ(clean_file_name("d/..x."), "__x.");
    EXPECT_EQ(clean_file_name("..."), "___");
}

TEST(clean_file_name, cuts_long_names_at_a_character_boundary) {
    EXPECT_EQ(clean_file_name(std::string(300, 'a')), std::string(MAX_NAME_LENGTH, 'a'));
    EXPECT_EQ(clean_file_name("dir/" + std::string(255, 'b')), std::string(255, 'b'));
    // Where a character is split: utf8_prefix_length's table (tests/common/display_test.cpp).
    EXPECT_EQ(clean_file_name(repeat("\xc3\xa9", 150)), repeat("\xc3\xa9", 127));
}

// Each test gets root/top/dir as the target; root/outside holds files the sink must never touch.
// Parameters: unnamed temporary files or named ones; folders resolved by openat2() or walked.
class file_sink_test : public ::testing::TestWithParam<std::tuple<bool, bool>> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/file_sink_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        dir = root / "top" / "dir";
        fs::create_directories(dir);
        fs::create_directory(root / "outside");
        write_file(root / "outside" / "existing", "secret");
        refuse_unnamed_temporaries = !unnamed();
    }
    void TearDown() override {
        refuse_unnamed_temporaries = false;
        fs::remove_all(root);
    }

    bool unnamed() const { return std::get<0>(GetParam()); }
    file_sink_options options() const { return {.keep_folders = true, .use_openat2 = std::get<1>(GetParam())}; }

    fs::path root;
    fs::path dir;
};

INSTANTIATE_TEST_SUITE_P(temporaries, file_sink_test, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& param_info) {
                             return std::string(std::get<0>(param_info.param) ? "unnamed" : "named") +
                                    (std::get<1>(param_info.param) ? "_openat2" : "_walked");
                         });

TEST_P(file_sink_test, hostile_names_land_inside_the_directory) {
    const std::string outside_file = (root / "outside" / "existing").string();
    const std::string long_utf8 = repeat("\xc3\xa9", 150);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"../../x", "x"},
        {"../existing", "existing"},
        {outside_file, "existing"},
        {"..", "received"},
        {".", "received"},
        {"", "received"},
        {"a/", "a/received"},
        {"a/../../x", "x"},
        {"./photos//2024/./a.jpg", "photos/2024/a.jpg"},
        {"a/b/../c/d", "c/d"},
        {"a/b/..", "received"},
        {".git/\x1b[2Jhooks/..x", "_git/_[2Jhooks/__x"},
        {"\x1b]0;title\x07\x1b[2J", "_]0;title__[2J"},
        {std::string(300, 'n'), std::string(255, 'n')},
        {long_utf8, long_utf8.substr(0, 254)},
        {".bashrc", "_bashrc"},
    };
    int index = 0;
    for (const auto& [sent, expected] : cases) {
        SCOPED_TRACE(sent);
        const fs::path target = root / "top" / ("dir" + std::to_string(index++));
        fs::create_directory(target);
        const auto before = tree(root);
        file_sink sink(target.string(), options());
        ASSERT_EQ(save(sink, sent, "content " + expected), "");
        EXPECT_EQ(sink.saved_name(), expected);
        EXPECT_EQ(read_file(target / expected), "content " + expected);
        auto after = tree(root);
        for (fs::path made = target / expected; made != target; made = made.parent_path()) {
            EXPECT_EQ(after.erase(fs::relative(made, root)), 1U) << made;
        }
        EXPECT_EQ(after, before);
    }
    EXPECT_EQ(read_file(outside_file), "secret");
}

TEST_P(file_sink_test, collisions_get_numbered_names) {
    write_file(dir / "x", "old");
    file_sink sink(dir.string());
    ASSERT_EQ(save(sink, "x", "first"), "");
    EXPECT_EQ(sink.saved_name(), "x.1");
    ASSERT_EQ(save(sink, "/some/where/x", "second"), "");
    EXPECT_EQ(sink.saved_name(), "x.2");
    EXPECT_EQ(read_file(dir / "x"), "old");
    EXPECT_EQ(read_file(dir / "x.1"), "first");
    EXPECT_EQ(read_file(dir / "x.2"), "second");
    EXPECT_EQ(entries(dir), (std::set<std::string>{"x", "x.1", "x.2"}));
}

TEST_P(file_sink_test, numbered_names_fit_the_length_limit) {
    const std::string ascii(255, 'a');
    const std::string utf8 = repeat("\xc3\xa9", 127);  // 254 bytes
    write_file(dir / ascii, "");
    write_file(dir / utf8, "");
    file_sink sink(dir.string());
    ASSERT_EQ(save(sink, ascii, "1"), "");
    EXPECT_EQ(sink.saved_name(), std::string(253, 'a') + ".1");
    ASSERT_EQ(save(sink, utf8, "2"), "");
    EXPECT_EQ(sink.saved_name(), utf8.substr(0, 252) + ".1");
    EXPECT_EQ(read_file(dir / sink.saved_name()), "2");
}

TEST_P(file_sink_test, runs_out_of_numbered_names_cleanly) {
    write_file(dir / "x", "");
    for (int number = 1; number <= 9999; ++number) write_file(dir / ("x." + std::to_string(number)), "");
    file_sink sink(dir.string());
    const std::string error = save(sink, "x", "data");
    EXPECT_NE(error.find("cannot save x"), std::string::npos) << error;
    std::string again;
    EXPECT_FALSE(sink.commit(&again)) << "the file was given up";
    EXPECT_EQ(entries(dir).size(), 10000U);
    EXPECT_FALSE(fs::exists(dir / "x.10000"));
}

TEST_P(file_sink_test, planted_symlinks_are_never_followed) {
    fs::create_symlink(root / "outside" / "absent", dir / "x");
    fs::create_symlink(root / "outside" / "existing", dir / "y");
    fs::create_symlink(root / "outside" / "existing", dir / "y.1");
    file_sink sink(dir.string());
    ASSERT_EQ(save(sink, "x", "new x"), "");
    EXPECT_EQ(sink.saved_name(), "x.1");
    ASSERT_EQ(save(sink, "y", "new y"), "");
    EXPECT_EQ(sink.saved_name(), "y.2");
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "outside" / "absent")));
    EXPECT_EQ(read_file(root / "outside" / "existing"), "secret");
    EXPECT_TRUE(fs::is_symlink(dir / "x"));
    EXPECT_TRUE(fs::is_symlink(dir / "y"));
    EXPECT_EQ(read_file(dir / "x.1"), "new x");
    EXPECT_EQ(read_file(dir / "y.2"), "new y");
}

// Links and files planted where a folder is needed: the file is refused, nothing is made or
// written anywhere, and the next file is saved.
TEST_P(file_sink_test, planted_links_and_files_never_lead_out_of_the_directory) {
    struct planted_case {
        std::string sent;
        std::string planted;  // a link to link_to, or a file when link_to is empty
        fs::path link_to;
    };
    const planted_case cases[] = {
        {"up/x", "up", root / "outside"},
        {"up/x", "up", ".."},
        {"in/x", "in", "."},  // a link that stays inside is not followed either
        {"a/etc/x", "a/etc", root / "outside"},
        {"f/x", "f", ""},
    };
    int index = 0;
    for (const planted_case& c : cases) {
        SCOPED_TRACE(c.sent + " #" + std::to_string(index));
        const fs::path target = root / "top" / ("dir" + std::to_string(index++));
        fs::create_directories((target / c.planted).parent_path());
        if (c.link_to.empty())
            write_file(target / c.planted, "planted");
        else
            fs::create_directory_symlink(c.link_to, target / c.planted);
        const auto before = tree(root);
        file_sink sink(target.string(), options());
        const std::string error = save(sink, c.sent, "evil");
        EXPECT_TRUE(sink.path_refused());
        EXPECT_NE(error.find("is a file or a link, not a folder"), std::string::npos) << error;
        EXPECT_EQ(tree(root), before);
        ASSERT_EQ(save(sink, "next/y", "fine"), "");
        EXPECT_EQ(read_file(target / "next" / "y"), "fine");
    }
    EXPECT_EQ(entries(root / "outside"), std::set<std::string>{"existing"});
}

TEST_P(file_sink_test, a_folder_swapped_for_a_link_mid_file_cannot_redirect_it) {
    file_sink sink(dir.string(), options());
    std::string error;
    const unsigned char data[] = "data";
    ASSERT_TRUE(sink.begin("a/b/x", &error)) << error;
    ASSERT_TRUE(sink.write(data, sizeof data, &error));
    fs::rename(dir / "a" / "b", dir / "a" / "moved");
    fs::create_directory_symlink(root / "outside", dir / "a" / "b");
    ASSERT_TRUE(sink.commit(&error)) << error;
    EXPECT_EQ(fs::file_size(dir / "a" / "moved" / "x"), sizeof data);
    EXPECT_EQ(entries(root / "outside"), std::set<std::string>{"existing"});
}

TEST_P(file_sink_test, unfinished_files_leave_nothing_behind) {
    const unsigned char data[] = "partial";
    {
        file_sink sink(dir.string());
        std::string error;
        ASSERT_TRUE(sink.begin("a.txt", &error)) << error;
        ASSERT_TRUE(sink.write(data, sizeof data, &error));
        const auto during = entries(dir);
        // Only a named temporary may show while writing, and nothing under the final name.
        for (const auto& name : during) EXPECT_TRUE(is_temporary_name(name)) << name;
        if (!unnamed()) {
            EXPECT_EQ(during.size(), 1U);
        }

        sink.abort();
        EXPECT_TRUE(entries(dir).empty());
        EXPECT_FALSE(sink.write(data, sizeof data, &error));
        // The folders made for it go too.
        ASSERT_TRUE(sink.begin("new/deeper/a.txt", &error));
        sink.abort();
        EXPECT_TRUE(entries(dir).empty());
        EXPECT_FALSE(sink.write(data, sizeof data, &error));
        EXPECT_FALSE(sink.commit(&error));

        // A new begin gives up the file in progress.
        ASSERT_TRUE(sink.begin("b.txt", &error));
        ASSERT_TRUE(sink.write(data, sizeof data, &error));
        ASSERT_TRUE(sink.begin("c.txt", &error));
        ASSERT_TRUE(sink.commit(&error)) << error;
        EXPECT_EQ(entries(dir), std::set<std::string>{"c.txt"});
        EXPECT_EQ(fs::file_size(dir / "c.txt"), 0U);

        ASSERT_TRUE(sink.begin("d.txt", &error));
        ASSERT_TRUE(sink.write(data, sizeof data, &error));
    }
    EXPECT_EQ(entries(dir), std::set<std::string>{"c.txt"});
}

TEST_P(file_sink_test, write_failure_names_the_file_and_removes_it) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Past the size limit, write() fails with EFBIG instead of the process being killed.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        file_sink sink(dir.string());
        const std::vector<unsigned char> block(10000, 'z');
        std::string report = "not begun";
        if (std::string error; sink.begin("report\xc2\x9b.pdf", &error)) {
            const bool written = sink.write(block.data(), block.size(), &error);
            std::string ignored;
            const bool saved = sink.commit(&ignored);
            report = std::string(written ? "W" : "-") + (saved ? "S" : "-") + error;
        }
        (void)!::write(pipe_fds[1], report.data(), report.size());
        _exit(0);  // no destructor: the failed write alone must have cleaned up
    }
    close(pipe_fds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t count; (count = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<std::size_t>(count));
    close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_TRUE(report.starts_with("--")) << report;
    const std::string error = report.substr(2);
    EXPECT_NE(error.find("report\\xc2\\x9b.pdf"), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(EFBIG)), std::string::npos) << error;
    EXPECT_TRUE(entries(dir).empty());
}

TEST_P(file_sink_test, missing_directory_is_reported) {
    file_sink missing((root / "nowhere").string());
    EXPECT_FALSE(missing.ok());
    std::string error;
    EXPECT_FALSE(missing.check_writable(&error));
    EXPECT_NE(error.find("nowhere"), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(ENOENT)), std::string::npos) << error;
    EXPECT_FALSE(missing.begin("x", &error));
    EXPECT_FALSE(fs::exists(root / "nowhere"));

    file_sink not_directory((root / "outside" / "existing").string());
    EXPECT_FALSE(not_directory.check_writable(&error));
    EXPECT_NE(error.find(std::strerror(ENOTDIR)), std::string::npos) << error;

    file_sink fine(dir.string());
    EXPECT_TRUE(fine.ok());
}

TEST_P(file_sink_test, a_file_planted_at_the_temporary_name_is_left_alone) {
    if (unnamed()) GTEST_SKIP() << "an unnamed temporary file has no name to plant";
    fs::create_symlink(root / "outside" / "existing", dir / ".pushfile-0000000000000000.part");
    file_sink sink(dir.string());
    zero_random_draws = 1;
    EXPECT_EQ(save(sink, "x", "mine"), "");
    zero_random_draws = 0;
    EXPECT_EQ(read_file(root / "outside" / "existing"), "secret");
    EXPECT_EQ(read_file(dir / "x"), "mine");
}

TEST_P(file_sink_test, a_failed_flush_of_the_directory_is_reported_and_the_file_taken_back) {
    file_sink sink(dir.string(), options());
    fail_directory_fsync = true;
    const std::string error = save(sink, "x", "data");
    // The folder a new folder is made in is flushed too.
    const std::string folder_error = save(sink, "new/x", "data");
    fail_directory_fsync = false;
    EXPECT_NE(error.find("flushing the directory"), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
    EXPECT_NE(folder_error.find("cannot make the folder new"), std::string::npos) << folder_error;
    EXPECT_TRUE(entries(dir).empty());
}

TEST_P(file_sink_test, files_get_the_usual_permissions) {
    const mode_t saved = umask(027);
    file_sink sink(dir.string(), options());
    const std::string error = save(sink, "sub/perm", "p");
    umask(saved);
    ASSERT_EQ(error, "");
    struct stat info {};
    ASSERT_EQ(stat((dir / "sub" / "perm").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640U);
    ASSERT_EQ(stat((dir / "sub").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750U);
}

// A mode and time sent are set before the name is given, within 0777 and the umask; a folder
// gets them once its files are in, and only a folder the sink made itself.
TEST_P(file_sink_test, modes_and_times_sent_are_kept_within_the_umask) {
    const mode_t saved = umask(022);
    file_sink sink(dir.string(), options());
    umask(saved);
    const timespec when{1234567890, 123456789};
    struct stat info {};
    const std::pair<unsigned, unsigned> modes[] = {{0600, 0600}, {0755, 0755}, {04755, 0755}, {0777, 0755}, {0444, 0444}};
    for (const auto& [sent, expected] : modes) {
        SCOPED_TRACE(sent);
        std::string error;
        ASSERT_TRUE(sink.begin("m" + std::to_string(sent), &error)) << error;
        sink.keep_mode_and_time(sent, when);
        ASSERT_TRUE(sink.write(reinterpret_cast<const unsigned char*>("x"), 1, &error)) << error;
        ASSERT_TRUE(sink.commit(&error)) << error;
        ASSERT_EQ(stat((dir / sink.saved_name()).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, expected);
        EXPECT_EQ(info.st_mtim.tv_sec, when.tv_sec);
        EXPECT_EQ(info.st_mtim.tv_nsec, when.tv_nsec);
    }
    fs::create_directory(dir / "found");
    fs::permissions(dir / "found", fs::perms::owner_all);
    file_sink::made_folder tree, found, swapped;
    std::string error;
    ASSERT_TRUE(sink.make_folder("tree/sub", &tree, &error)) << error;
    ASSERT_TRUE(sink.make_folder("found", &found, &error)) << error;
    ASSERT_TRUE(sink.make_folder("../swapped", &swapped, &error)) << error;
    EXPECT_EQ(tree.path, "tree/sub");
    EXPECT_EQ(swapped.path, "swapped");
    EXPECT_TRUE(tree.made && !found.made && swapped.made);
    fs::remove(dir / "swapped");
    fs::create_directory(dir / "swapped");
    for (const auto* made : {&tree, &found, &swapped}) {
        EXPECT_TRUE(sink.finish_folder(*made, 0750, when, &error)) << error;
    }
    ASSERT_EQ(stat((dir / "tree" / "sub").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750U);
    EXPECT_EQ(info.st_mtim.tv_nsec, when.tv_nsec);
    ASSERT_EQ(stat((dir / "found").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700U) << "a folder that was there is left as it was";
    ASSERT_EQ(stat((dir / "swapped").c_str(), &info), 0);
    EXPECT_NE(info.st_mtim.tv_sec, when.tv_sec) << "a folder put in the made one's place is left as it is";
}

TEST_P(file_sink_test, multi_block_round_trip) {
    constexpr std::size_t BLOCK = 37268;
    std::mt19937 generator(12345);
    std::string content(BLOCK * 40 + 1000, '\0');
    for (char& c : content) c = static_cast<char>(generator() & 0xFFU);

    file_sink sink(dir.string());
    std::string error;
    ASSERT_TRUE(sink.begin("big.bin", &error)) << error;
    const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
    for (std::size_t offset = 0; offset < content.size(); offset += BLOCK)
        ASSERT_TRUE(sink.write(bytes + offset, std::min(BLOCK, content.size() - offset), &error)) << error;
    ASSERT_TRUE(sink.commit(&error)) << error;
    EXPECT_EQ(sink.saved_name(), "big.bin");
    EXPECT_TRUE(read_file(dir / "big.bin") == content);
}
