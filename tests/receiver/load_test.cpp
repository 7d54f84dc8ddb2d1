// The real sender and receiver under load: a thousand small files in one run, and one 2 GiB file.
// Everything must arrive identical while the receiver's memory stays small and flat.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/receiver_run.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace pushfile_test;

// A bound on memory, not a timing: buffers are fixed, so no amount of data may raise it.
constexpr long MAX_RECEIVER_RSS_KIB = 8 * 1024;
constexpr std::size_t PATTERN_SIZE = 1U << 20;
constexpr std::uint64_t BIG_FILE_SIZE = 2ULL << 30;
constexpr std::uint64_t FREE_SPACE_NEEDED = 5ULL << 30;

// Reads up to length bytes, fewer only at the end of the file.
std::size_t read_full(int fd, char* into, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = read(fd, into + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

TEST(load, thousand_small_files_in_one_run) {
    constexpr std::size_t FILE_COUNT = 1000;
    constexpr std::size_t LARGEST = 5000;
    scratch_dir source;
    scratch_dir target;
    ASSERT_FALSE(source.path.empty());
    ASSERT_FALSE(target.path.empty());

    // Sizes from a seed, the edges included; contents are made again from their seeds to compare,
    // so that no copy is held while the receiver runs.
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> size_of(0, LARGEST);
    std::vector<std::size_t> sizes(FILE_COUNT);
    for (std::size_t& size : sizes) size = size_of(random);
    sizes[0] = 0;
    sizes[1] = LARGEST;
    sizes[2] = 1;
    std::vector<std::string> arguments = {"-d", target.path.string(), "--", PUSHFILE_BINARY};
    for (std::size_t i = 0; i < FILE_COUNT; ++i) {
        const fs::path file = source.path / ("file-" + std::to_string(i));
        ASSERT_TRUE(write_file(file, random_bytes(sizes[i], i)));
        arguments.push_back(file.string());
    }

    const run_result result = run_receiver(arguments, {.hang_guard = 300s});
    ASSERT_FALSE(result.hung) << "the run did not end";
    EXPECT_EQ(result.status, 0) << result.errors.substr(0, 2000);
    std::cout << "receiver peak RSS, 1000 small files: " << result.max_rss_kib << " KiB\n";
    EXPECT_LT(result.max_rss_kib, MAX_RECEIVER_RSS_KIB);

    std::size_t identical = 0;
    EXPECT_EQ(names_in(target.path).size(), FILE_COUNT) << "no extra or temporary files";
    for (std::size_t i = 0; i < FILE_COUNT; ++i) {
        const fs::path saved = target.path / ("file-" + std::to_string(i));
        const int fd = open(saved.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            ADD_FAILURE() << saved << " was not saved";
            continue;
        }
        std::string data(LARGEST + 1, '\0');
        data.resize(read_full(fd, data.data(), data.size()));
        close(fd);
        if (data == random_bytes(sizes[i], i)) {
            ++identical;
        } else {
            ADD_FAILURE() << saved << " differs: " << data.size() << " bytes, sent " << sizes[i];
        }
    }
    EXPECT_EQ(identical, FILE_COUNT);
}

TEST(load, two_gib_file) {
    scratch_dir source;
    scratch_dir target;
    ASSERT_FALSE(source.path.empty());
    ASSERT_FALSE(target.path.empty());
    struct statvfs space {};
    ASSERT_EQ(statvfs(source.path.c_str(), &space), 0);
    const std::uint64_t available = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    if (available < FREE_SPACE_NEEDED) {
        GTEST_SKIP() << "needs 5 GiB free under " << source.path.parent_path() << ", has " << (available >> 20)
                     << " MiB";
    }

    // A random 1 MiB repeated: quick to write, and any misplaced chunk still shows.
    const fs::path big = source.path / "big.bin";
    {
        const std::string pattern = random_bytes(PATTERN_SIZE, 7);
        const int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        bool written = true;
        for (std::uint64_t done = 0; done < BIG_FILE_SIZE && written; done += PATTERN_SIZE) {
            written = write_all(fd, pattern.data(), pattern.size());
        }
        ASSERT_EQ(close(fd), 0);
        ASSERT_TRUE(written);
    }

    const run_result result =
        run_receiver({"-d", target.path.string(), "--", PUSHFILE_BINARY, big.string()}, {.hang_guard = 600s});
    ASSERT_FALSE(result.hung) << "the run did not end";
    EXPECT_EQ(result.status, 0) << result.errors;
    std::cout << "receiver peak RSS, 2 GiB file: " << result.max_rss_kib << " KiB\n";
    EXPECT_LT(result.max_rss_kib, MAX_RECEIVER_RSS_KIB);
    fs::remove(big);

    const fs::path saved = target.path / "big.bin";
    ASSERT_TRUE(fs::exists(saved)) << result.errors;
    EXPECT_EQ(fs::file_size(saved), BIG_FILE_SIZE);
    const std::string pattern = random_bytes(PATTERN_SIZE, 7);
    std::string chunk(PATTERN_SIZE, '\0');
    const int fd = open(saved.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::uint64_t offset = 0;
    std::uint64_t first_difference = UINT64_MAX;
    for (;;) {
        const std::size_t got = read_full(fd, chunk.data(), chunk.size());
        if (got == 0) break;
        if (got != PATTERN_SIZE || std::memcmp(chunk.data(), pattern.data(), got) != 0) {
            first_difference = offset;
            break;
        }
        offset += got;
    }
    close(fd);
    EXPECT_EQ(first_difference, UINT64_MAX) << "the saved file differs in the MiB at " << first_difference;
    EXPECT_EQ(offset, BIG_FILE_SIZE);
    EXPECT_EQ(names_in(target.path).size(), 1U) << "no temporary file left";
    fs::remove(saved);
}

}  // namespace
