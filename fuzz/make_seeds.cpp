// Writes the seed corpus for stream_parser_fuzz: valid transfers as a sender writes them and
// broken ones of every kind the parser rejects, each behind the fuzz target's four control bytes.
// Generated at run time so that no binary corpus lives in the repository.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/stream_builder.h"

namespace {

using namespace pushfile_test;

constexpr std::size_t FULL_BLOCK = 37268;

std::string bytes_counting(std::size_t count) {
    std::string data(count, '\0');
    unsigned value = 1;
    for (char& c : data) {
        value = value * 1103515245U + 12345U;
        c = static_cast<char>(value >> 16U);
    }
    return data;
}

std::vector<std::pair<std::string, std::string>> seeds() {
    const std::string small = "hello\n";
    const std::string binary = bytes_counting(300);
    const std::string one_block = bytes_counting(FULL_BLOCK);
    const std::string two_blocks = bytes_counting(FULL_BLOCK + 77);
    const std::string nul(1, '\0');
    // Control bytes: whole-ish chunks, byte-sized chunks, small blocks with noise, unknown size.
    const std::string whole("\x10\x01\x00\x00", 4);
    const std::string bytewise("\x80\x02\x00\x02", 4);
    const std::string small_blocks("\x05\x03\x01\x02", 4);
    const std::string unknown("\x09\x04\x00\x01", 4);

    return {
        {"empty", whole},
        {"plain_text", bytewise + "just a shell prompt $ \x1b[1mbold\x1b[0m\r\n"},
        {"small_file", whole + file_stream("notes.txt", small)},
        {"small_file_bytewise", bytewise + "before" + file_stream("dir/a b", small) + "after"},
        {"binary_file", small_blocks + file_stream("bin", binary, 7)},
        {"empty_file", unknown + file_stream("empty", "")},
        {"one_block", whole + file_stream("one", one_block)},
        {"two_blocks", small_blocks + file_stream("two", two_blocks)},
        {"two_files", bytewise + file_stream("a", small) + file_stream("b", binary)},
        {"unopened_file", whole + path_message("missing") + end_message()},
        {"unknown_size",
         unknown + path_message("fifo") + size_message(18446744073709551615ULL) + block_message(small) + end_message()},
        {"longest_path", whole + path_message(std::string(12283, 'p')) + size_message(0) + end_message()},
        {"path_too_long", whole + "\x1b}fr" + std::string(12300, 'p') + nul},
        {"bad_size", bytewise + "\x1b}fs12a3" + nul + file_stream("ok", small)},
        {"empty_size", bytewise + "\x1b}fs" + nul},
        {"size_too_large", whole + "\x1b}fs18446744073709551616" + nul},
        {"checksum_mismatch", bytewise + "\x1b}fd409 FAFBFC" + nul},
        {"bad_letter", bytewise + "\x1b}fd408 FAFBFP" + nul},
        {"odd_letters", bytewise + "\x1b}fd338 FAFBF" + nul},
        {"empty_block", bytewise + "\x1b}fd0 " + nul},
        {"bad_checksum", bytewise + "\x1b}fd FA" + nul + "\x1b}fd99999999999 FA" + nul},
        {"block_too_long", small_blocks + "\x1b}fd1 " + std::string(2 * FULL_BLOCK + 10, 'F') + nul},
        {"bad_end", bytewise + "\x1b}fxjunk" + end_message()},
        {"lookalikes", bytewise + "\x1b\x1b}\x1b}f\x1b}fz\x1b}x}f" + end_message()},
        {"cut_mid_block", small_blocks + "\x1b}fd408 FAF" + path_message("next")},
        {"truncated", whole + file_stream("cut", binary).substr(0, 250)},
        {"broken_then_valid", bytewise + "\x1b}fsabc\x1b}fd12 xyz\x1b}fxy" + file_stream("ok", small)},
        {"leading_zeros", bytewise + "\x1b}fs0006" + nul + "\x1b}fd00" + block_message(small).substr(4) + "\x1b}fs007"},
        {"path_without_nul", small_blocks + "\x1b}fr" + std::string(13000, 't') + end_message()},
        {"upload_conversation", bytewise + "\x1b}fu2;/home/me/dl" + nul + "\x1b}fa1" + nul + "\x1b}fe2 cannot save a" +
                                    nul + "\x1b}fa9223372036854775807" + nul + "\x1b}fq0" + nul +
                                    "\x1b}fh3;0" + nul + "\x1b}fh4;1288490188;0123456789abcdeffedcba9876543210" + nul},
        {"upload_broken", bytewise + "\x1b}fa" + nul + "\x1b}fq256" + nul + "\x1b}fe7" + nul + "\x1b}fe x" + nul +
                              "\x1b}fa12345678901234567890" + nul + "\x1b}fh3;5" + nul +
                              "\x1b}fh3;0;0123456789abcdeffedcba9876543210" + nul + "\x1b}fh3;1;0123" + nul},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argc > 0 ? argv[0] : "make_seeds");
        return 2;
    }
    for (const auto& [name, content] : seeds()) {
        const std::string path = std::string(argv[1]) + "/seed_" + name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) {
            std::fprintf(stderr, "make_seeds: %s: %s\n", path.c_str(), std::strerror(errno));
            return 1;
        }
        const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
        if (std::fclose(file) != 0 || !written) {
            std::fprintf(stderr, "make_seeds: %s: write failed\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
