#include "receiver/session/upload_sources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/failure.h"
#include "common/folder_walk.h"
#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace pushfile::receive;
using kind = upload_item::kind;

class upload_sources_test : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(folder.empty()); }
    void write_file(const std::string& name, const std::string& data) {
        fs::create_directories((folder / name).parent_path());
        std::ofstream(folder / name, std::ios::binary) << data;
    }
    std::string path(const std::string& name) const { return (folder / name).string(); }
    pushfile_test::scratch_dir scratch;
    const fs::path& folder = scratch.path;
};

// A walk goes on past what it passes over; what cannot be read is handed out to be told of.
TEST_F(upload_sources_test, every_path_in_turn_and_a_folders_entries_past_those_passed_over) {
    write_file("a.txt", "abc");
    write_file("tree/x", "x");
    fs::create_symlink(path("a.txt"), folder / "tree" / "link");
    ASSERT_EQ(mkfifo(path("tree/pipe").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(path("named-pipe").c_str(), 0600), 0);
    upload_sources sources;
    sources.start({path("a.txt"), path("tree"), path("missing"), path("named-pipe")}, true);
    struct seen {
        kind what;
        std::string name;
        bool in_folder;
        bool open;
        std::uint64_t size;
        bool operator==(const seen&) const = default;
    };
    std::vector<seen> items;
    std::vector<std::string> reasons;
    for (upload_item item = sources.next(); item.what != kind::none; item = sources.next()) {
        items.push_back({item.what, item.name, item.in_folder, item.file.valid(), item.size});
        if (!item.why.empty()) reasons.push_back(item.why);
    }
    const std::vector<seen> expected = {
        {kind::file, "a.txt", false, true, 3},          {kind::folder_entered, "tree", true, false, 0},
        {kind::skipped, "tree/link", true, false, 0},   {kind::skipped, "tree/pipe", true, false, 0},
        {kind::file, "tree/x", true, true, 1},          {kind::folder_left, "tree", true, false, 0},
        {kind::unsendable, "missing", false, false, 0}, {kind::unsendable, "named-pipe", false, false, 0},
    };
    EXPECT_EQ(items, expected);
    using pushfile::skip_reason;
    EXPECT_EQ(reasons, (std::vector<std::string>{describe(skip_reason::symbolic_link), describe(skip_reason::fifo),
                                                  pushfile::failure_text("cannot read it", ENOENT),
                                                  describe(skip_reason::fifo)}));
}

TEST_F(upload_sources_test, a_file_that_shrinks_while_it_is_read_is_told_how_far_it_got) {
    write_file("f", "12345");
    upload_sources sources;
    sources.start({path("f")}, false);
    const upload_item item = sources.next();
    ASSERT_TRUE(item.file.valid());
    ASSERT_EQ(truncate(path("f").c_str(), 3), 0);
    unsigned char bytes[8];
    std::string error;
    EXPECT_TRUE(read_block(item.file, bytes, 2, 0, item.size, &error));
    EXPECT_FALSE(read_block(item.file, bytes, 3, 2, item.size, &error));
    EXPECT_EQ(error, "it shrank to 3 of its 5 bytes while it was sent");
}

}  // namespace

// A file set aside while those before it go is opened again at its turn only if it is still the
// file that was asked about; one replaced by another (same name, size and time) is not sent.
TEST_F(upload_sources_test, a_file_set_aside_is_taken_up_only_if_it_is_the_same_file) {
    write_file("tree/same", "12345");
    write_file("tree/swapped", "abcde");
    write_file("other", "ABCDE");
    upload_sources sources;
    sources.start({path("tree")}, false);
    upload_item same = sources.next();
    upload_item swapped = sources.next();
    ASSERT_EQ(same.name, "tree/same");
    ASSERT_EQ(swapped.name, "tree/swapped");
    set_aside(&same);
    set_aside(&swapped);
    EXPECT_FALSE(same.file.valid());
    struct stat status {};
    ASSERT_EQ(stat(path("tree/swapped").c_str(), &status), 0);
    const timespec times[2] = {status.st_atim, status.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path("other").c_str(), times, 0), 0);
    fs::rename(folder / "other", folder / "tree" / "swapped");
    take_up(&same);
    take_up(&swapped);
    ASSERT_EQ(same.what, kind::file);
    char bytes[5];
    ASSERT_EQ(read(same.file.get(), bytes, sizeof bytes), 5);
    EXPECT_EQ(std::string(bytes, 5), "12345");
    EXPECT_EQ(swapped.what, kind::unsendable);
    EXPECT_EQ(swapped.why, "it changed while it waited to be sent");
}
