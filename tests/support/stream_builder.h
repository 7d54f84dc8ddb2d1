// Builds transfer streams byte by byte, the way a sender writes them, for tests and fuzz seeds.
// Written independently of the sender's own code so that each checks the other.
#pragma once

#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <string_view>

namespace pushfile_test {

inline std::string letters_of(std::string_view data) {
    std::string letters;
    letters.reserve(2 * data.size());
    for (const char c : data) {
        const auto byte = static_cast<unsigned char>(c);
        letters += static_cast<char>('@' + (byte >> 4));
        letters += static_cast<char>('@' + (byte & 15));
    }
    return letters;
}

inline long checksum_of(std::string_view letters) {
    long sum = 0;
    for (const char c : letters) sum += static_cast<unsigned char>(c);
    return sum;
}

inline std::string path_message(std::string_view path) { return std::string("\x1b}fr") + std::string(path) + '\0'; }

inline std::string size_message(std::uint64_t size) { return "\x1b}fs" + std::to_string(size) + '\0'; }

inline std::string block_message(std::string_view data) {
    const std::string letters = letters_of(data);
    return "\x1b}fd" + std::to_string(checksum_of(letters)) + ' ' + letters + '\0';
}

inline std::string end_message() { return std::string("\x1b}fx\0\0", 6); }

// A whole file as a sender sends it: path, size, blocks of at most block_size bytes, end.
inline std::string file_stream(std::string_view path, std::string_view data, std::size_t block_size = 37268) {
    std::string stream = path_message(path) + size_message(data.size());
    for (std::size_t offset = 0; offset < data.size(); offset += block_size) {
        stream += block_message(data.substr(offset, block_size));
    }
    return stream + end_message();
}

// Random output without a NUL, with 2000 message beginnings scattered through it: no message can
// be complete in it, so all of it is ordinary output.
inline std::string random_with_beginnings(unsigned seed = 10) {
    const std::string beginnings[] = {"\x1b",      "\x1b}",   "\x1b}f",      "\x1b}fr",        "\x1b}fs",
                                      "\x1b}fs12", "\x1b}fd", "\x1b}fd408 ", "\x1b}fd408 FAF", "\x1b}fx"};
    std::mt19937 random(seed);
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        for (std::size_t n = random() % 200; n > 0; --n) text += static_cast<char>(1 + random() % 255);
        text += beginnings[random() % std::size(beginnings)];
    }
    return text;
}

}  // namespace pushfile_test
