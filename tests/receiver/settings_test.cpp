#include "receiver/settings.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "tests/support/receiver_run.h"

namespace {

namespace fs = std::filesystem;
using namespace pushfile;
using namespace pushfile::receive;
using pushfile_test::scratch_dir;
using pushfile_test::write_file;

// Each step adds a source of the folder, which must win over those before it.
TEST(where_files_go, each_source_overrides_the_next) {
    scratch_dir home;
    const fs::path config = home.path / "config";
    std::map<std::string, std::string> variables = {{"HOME", home.path}};
    const environment_lookup environment = [&variables](const char* name) {
        const auto found = variables.find(name);
        return found == variables.end() ? nullptr : found->second.c_str();
    };
    std::optional<std::string> directory_option;
    const auto expect_folder = [&](const fs::path& path, const std::string& source) {
        settings_file settings;
        std::string error;
        ASSERT_TRUE(load_settings(environment, &settings, &error)) << error;
        const receive_folder folder = where_files_go(directory_option, settings, environment);
        EXPECT_EQ(folder.path, path);
        EXPECT_NE(folder.source.find(source), std::string::npos) << folder.source;
    };
    expect_folder(".", "the current folder");
    fs::create_directory(home.path / "Downloads");
    expect_folder(home.path / "Downloads", "the download folder");
    variables["XDG_CONFIG_HOME"] = config;
    fs::create_directories(config / "pushfile");
    write_file(config / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/dl\"\n");
    expect_folder(home.path / "Downloads", "the download folder");  // named, but not there
    fs::create_directory(home.path / "dl");
    expect_folder(home.path / "dl", "XDG_DOWNLOAD_DIR in " + config.string());
    write_file(config / "pushfile" / "receive.conf", "# mine\n\ndir = ~/conf\n");
    expect_folder(home.path / "conf", "dir in " + (config / "pushfile" / "receive.conf").string() + ", line 3");
    variables["PUSHFILE_RECEIVE_DIR"] = "~/variable";
    expect_folder(home.path / "variable", "PUSHFILE_RECEIVE_DIR");
    directory_option = "option";
    expect_folder("option", "-d");
}

TEST(parse_settings, reads_every_setting_and_names_the_line_of_a_bad_one) {
    const environment_lookup environment = [](const char* name) {
        return std::string(name) == "HOME" ? "/h" : nullptr;
    };
    settings_file settings;
    settings.path = "receive.conf";
    std::string error;
    ASSERT_TRUE(
        parse_settings("ask = On\n  max-size=2K \nflat = TRUE\nno-answer-ahead = off\nquiet = no\n"
                       "notify = auto\nupload = NO\ndir = ~",
                       environment, &settings, &error))
        << error;
    EXPECT_TRUE(settings.ask == true && settings.max_size == 2048U && settings.flat == true &&
                settings.no_answer_ahead == false && settings.quiet == false &&
                settings.notify == notify_setting::automatic && settings.upload == false &&
                settings.directory == "/h");
    using namespace std::string_literals;
    const std::pair<std::string, std::string> bad[] = {
        {"ask = yes\nask = maybe", "receive.conf:2: ask wants yes or no: ask = maybe"},
        // Refused, not cut at the NUL; shown escaped.
        {"dir = /x/real\0/elsewhere"s,
         "receive.conf:1: a value may not hold control bytes: dir = /x/real\\x00/elsewhere"},
        {"dir = /x/\x1b[2J", "receive.conf:1: a value may not hold control bytes: dir = /x/\\e[2J"},
        {"# comment\n\nsize = 1", "receive.conf:3: unknown setting 'size'"},
        {"max-size = 1X", "receive.conf:1: max-size wants a number"},
        {"notify = sometimes", "receive.conf:1: notify wants yes, no or auto"},
        {"dir = relative/x", "receive.conf:1: dir wants an absolute path"},
        {"ask", "receive.conf:1: a line wants the form name = value"},
    };
    for (const auto& [text, expected] : bad) {
        EXPECT_FALSE(parse_settings(text, environment, &settings, &error)) << text;
        EXPECT_TRUE(error.starts_with(expected)) << error;
    }
}

// The size option's bytes: digits and one suffix, within 64 bits; nothing before, nothing after.
TEST(parse_byte_count, takes_digits_and_one_suffix_within_64_bits) {
    const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"17179869183G", UINT64_MAX - (1ULL << 30) + 1},
        {"17179869184G", std::nullopt},
        {"3k", 3ULL << 10},
        {"3m", 3ULL << 20},
        {"3g", 3ULL << 30},
        {"3t", 3ULL << 40},
        {"3T", 3ULL << 40},
        {"1Kb", std::nullopt},
        {"K", std::nullopt},
        {"", std::nullopt},
        {"-1", std::nullopt},
        {"+1", std::nullopt},
        {" 1", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse_byte_count(text), expected) << '"' << text << '"';
}

}  // namespace
