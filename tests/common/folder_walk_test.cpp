#include "common/folder_walk.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/hang_guard.h"
#include "tests/support/scratch_dir.h"

namespace {

using pushfile::folder_walk;
using pushfile::owned_fd;
using pushfile::walk_entry;
using pushfile::walk_step;

// Every step of a walk to its end, one line each; a file's line carries what reading it gives, so
// that the descriptor handed out is the named file's.
std::vector<std::string> walk_steps(folder_walk& walk) {
    std::vector<std::string> steps;
    walk_entry entry;
    for (walk_step step; (step = walk.next(&entry)) != walk_step::done;) {
        const std::string path = entry.sent_path;
        switch (step) {
            case walk_step::file: {
                char content[64];
                const ssize_t got = read(entry.file.get(), content, sizeof content);
                steps.push_back("file " + path + " = " + (got < 0 ? "?" : std::string(content, static_cast<std::size_t>(got))));
                break;
            }
            case walk_step::skipped: steps.push_back("skipped " + path + ": " + describe(entry.skipped)); break;
            case walk_step::unreadable: steps.push_back("unreadable " + path + ": " + std::strerror(entry.error)); break;
            case walk_step::folder_entered: steps.push_back("entered " + path); break;
            case walk_step::folder_left: steps.push_back("left " + path); break;
            case walk_step::done: break;
        }
    }
    return steps;
}

std::size_t open_descriptors() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                  std::filesystem::directory_iterator()));
}

void make_file(int folder, const std::string& name, const std::string& content) {
    const owned_fd file(openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    ASSERT_TRUE(file.valid()) << name << ": " << std::strerror(errno);
    ASSERT_EQ(write(file.get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
}

class folder_walk_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.empty());
        top_ = scratch_ / "top";
        std::filesystem::create_directory(top_);
        top_fd_.reset(open(top_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(top_fd_.valid());
        // A FIFO opened for reading would wait for a writer: a walk that opens one never ends.
        alarm(static_cast<unsigned>(std::chrono::duration_cast<std::chrono::seconds>(pushfile_test::HANG_GUARD).count()));
    }
    void TearDown() override { alarm(0); }

    pushfile_test::scratch_dir scratch_dir_;
    const std::filesystem::path& scratch_ = scratch_dir_.path;
    std::filesystem::path top_;
    owned_fd top_fd_;
};

// Root opens any folder whatever its mode: for the time of a test it gives up the capabilities
// that let it, as an ordinary user has none of them.
class without_permission_override {
public:
    without_permission_override() {
        if (syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
        lowered_ = syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~without_permission_override() {
        if (lowered_) (void)syscall(SYS_capset, &header_, saved_);
    }
    without_permission_override(const without_permission_override&) = delete;
    without_permission_override& operator=(const without_permission_override&) = delete;

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool lowered_ = false;
};

// strcmp's order (capitals first, bytes above 0x7F last), a folder's entries before the names
// after it ("a/x" before "a-b", though '-' sorts before '/'), each folder left after its entries,
// links and FIFOs told of and passed over, a folder that cannot be opened told of and neither
// entered nor left. Done closes what the walk held.
TEST_F(folder_walk_test, a_tree_comes_by_name_depth_first_with_each_folder_left) {
    for (const char* folder : {"a", "locked"}) std::filesystem::create_directory(top_ / folder);
    for (const char* name : {"\xc3\xa9", "a-b", "Z", "a/x", "locked/in"}) make_file(top_fd_.get(), name, name);
    ASSERT_EQ(chmod((top_ / "locked").c_str(), 0), 0);
    const without_permission_override as_a_user;
    ASSERT_EQ(symlink("Z", (top_ / "link").c_str()), 0);
    ASSERT_EQ(symlink(".", (top_ / "loop").c_str()), 0);
    ASSERT_EQ(mkfifo((top_ / "fifo").c_str(), 0600), 0);

    const std::size_t descriptors = open_descriptors();
    folder_walk walk;
    ASSERT_TRUE(walk.start(top_.c_str(), true));
    EXPECT_EQ(walk_steps(walk),
              (std::vector<std::string>{"entered top", "file top/Z = Z", "entered top/a", "file top/a/x = a/x",
                                        "left top/a", "file top/a-b = a-b", "skipped top/fifo: a FIFO",
                                        "skipped top/link: a symbolic link, not followed",
                                        "unreadable top/locked: Permission denied",
                                        "skipped top/loop: a symbolic link, not followed",
                                        "file top/\xc3\xa9 = \xc3\xa9", "left top"}));
    EXPECT_FALSE(walk.walking());
    EXPECT_EQ(open_descriptors(), descriptors);
    ASSERT_EQ(chmod((top_ / "locked").c_str(), 0700), 0);
}

// A path of exactly the limit is handed out, one a byte longer skipped, sixteen folders down, and
// each folder on the way is left again. A walk started again, or ended by its owner's scope,
// closes what the one before held.
TEST_F(folder_walk_test, paths_over_the_limit_are_skipped_and_every_folder_is_closed) {
    const std::string long_name(250, 'd');
    std::vector<std::string> want = {"entered top"};
    std::string path = "top";
    owned_fd deepest(dup(top_fd_.get()));
    for (int level = 0; level < 16; ++level) {
        ASSERT_EQ(mkdirat(deepest.get(), long_name.c_str(), 0700), 0);
        deepest.reset(openat(deepest.get(), long_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        path += "/" + long_name;
        want.push_back("entered " + path);
    }
    const std::size_t room = pushfile::WALK_PATH_LIMIT - path.size() - 1;
    make_file(deepest.get(), std::string(room, 'a'), "fits");
    make_file(deepest.get(), std::string(room + 1, 'b'), "too long");
    want.push_back("file " + path + "/" + std::string(room, 'a') + " = fits");
    want.push_back("skipped " + path + "/" + std::string(room + 1, 'b') + ": its path is too long");
    for (; path != "top"; path.resize(path.size() - long_name.size() - 1)) want.push_back("left " + path);
    want.emplace_back("left top");
    deepest.reset();

    const std::size_t descriptors = open_descriptors();
    {
        folder_walk walk;
        ASSERT_TRUE(walk.start(top_.c_str(), true));
        EXPECT_EQ(walk_steps(walk), want);
        ASSERT_TRUE(walk.start(top_.c_str()));
        walk_entry entry;
        ASSERT_EQ(walk.next(&entry), walk_step::file);  // the one that fits, sixteen folders down
        entry.file.reset();
        ASSERT_TRUE(walk.start(scratch_.c_str()));
        EXPECT_EQ(open_descriptors(), descriptors + 1);
        ASSERT_TRUE(walk.start(top_.c_str()));
        ASSERT_EQ(walk.next(&entry), walk_step::file);
        entry.file.reset();
    }
    EXPECT_EQ(open_descriptors(), descriptors);
    // The chain cut in two, so that the scratch folder's removal meets no path over PATH_MAX.
    std::string half = long_name;
    for (int level = 1; level < 8; ++level) half += "/" + long_name;
    const owned_fd scratch(open(scratch_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(renameat(top_fd_.get(), half.c_str(), scratch.get(), "second-half"), 0);
}

// More names than one listing keeps, with a folder among them: every one handed out once, in
// order, and the folder's entries between its neighbours.
TEST_F(folder_walk_test, more_names_than_a_listing_keeps_all_come_in_order) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < 2 * pushfile::SCAN_MAX_NAMES + 100; ++i)
        names.push_back("name-" + std::to_string(i * 7919 % 10007));
    for (const std::string& name : names) make_file(top_fd_.get(), name, "");
    const std::string folder = names[names.size() / 2] + "-folder";
    std::filesystem::create_directory(top_ / folder);
    make_file(top_fd_.get(), folder + "/inside", "in");

    names.push_back(folder);
    std::sort(names.begin(), names.end());
    std::vector<std::string> want = {"entered top"};
    for (const std::string& name : names) {
        if (name != folder) {
            want.push_back("file top/" + name + " = ");
            continue;
        }
        want.insert(want.end(), {"entered top/" + folder, "file top/" + folder + "/inside = in", "left top/" + folder});
    }
    want.emplace_back("left top");

    folder_walk walk;
    ASSERT_TRUE(walk.start(top_.c_str(), true));
    EXPECT_TRUE(walk_steps(walk) == want) << "the steps differ";
}

}  // namespace
