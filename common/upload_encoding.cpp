#include "common/upload_encoding.h"

#include <array>
#include <cstring>

namespace pushfile {
namespace {

// Eight tables, so that eight bytes are folded in per step (slicing-by-8): several times the speed
// of one table lookup per byte, which matters at the rates a local link reaches.
using crc_tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr crc_tables make_crc_tables() {
    crc_tables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t crc = n;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xEDB88320U : crc >> 1;
        tables[0][n] = crc;
    }
    for (std::size_t t = 1; t < tables.size(); ++t) {
        for (std::size_t n = 0; n < 256; ++n) {
            const std::uint32_t previous = tables[t - 1][n];
            tables[t][n] = (previous >> 8) ^ tables[0][previous & 0xFFU];
        }
    }
    return tables;
}

constexpr crc_tables CRC_TABLES = make_crc_tables();

constexpr char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char NOT_BASE64 = 0xFF;

constexpr std::array<unsigned char, 256> make_base64_values() {
    std::array<unsigned char, 256> values{};
    for (auto& value : values) value = NOT_BASE64;
    for (unsigned char n = 0; n < 64; ++n) values[static_cast<unsigned char>(BASE64_ALPHABET[n])] = n;
    return values;
}

constexpr std::array<unsigned char, 256> BASE64_VALUES = make_base64_values();

std::uint32_t load_little_endian(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::uint32_t crc32(std::uint32_t crc, const void* bytes, std::size_t length) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    const auto& t = CRC_TABLES;
    crc = ~crc;
    for (; length >= 8; length -= 8, next += 8) {
        const std::uint32_t low = load_little_endian(next) ^ crc;
        const std::uint32_t high = load_little_endian(next + 4);
        crc = t[7][low & 0xFFU] ^ t[6][(low >> 8) & 0xFFU] ^ t[5][(low >> 16) & 0xFFU] ^ t[4][low >> 24] ^
              t[3][high & 0xFFU] ^ t[2][(high >> 8) & 0xFFU] ^ t[1][(high >> 16) & 0xFFU] ^ t[0][high >> 24];
    }
    for (; length > 0; --length, ++next) crc = (crc >> 8) ^ t[0][(crc ^ *next) & 0xFFU];
    return ~crc;
}

std::size_t base64_encode(const unsigned char* bytes, std::size_t count, char* text) {
    char* out = text;
    std::size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16 |
                                    static_cast<std::uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
        out[0] = BASE64_ALPHABET[group >> 18];
        out[1] = BASE64_ALPHABET[(group >> 12) & 0x3FU];
        out[2] = BASE64_ALPHABET[(group >> 6) & 0x3FU];
        out[3] = BASE64_ALPHABET[group & 0x3FU];
        out += 4;
    }
    if (const std::size_t left = count - i; left > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (left == 2) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        out[0] = BASE64_ALPHABET[group >> 18];
        out[1] = BASE64_ALPHABET[(group >> 12) & 0x3FU];
        out[2] = left == 2 ? BASE64_ALPHABET[(group >> 6) & 0x3FU] : '=';
        out[3] = '=';
        out += 4;
    }
    return static_cast<std::size_t>(out - text);
}

bool base64_decode(const char* text, std::size_t length, unsigned char* bytes, std::size_t* decoded) {
    *decoded = 0;
    if (length % 4 != 0) return false;
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    unsigned char* out = bytes;
    for (std::size_t i = 0; i < length; i += 4) {
        const unsigned char a = BASE64_VALUES[in[i]];
        const unsigned char b = BASE64_VALUES[in[i + 1]];
        unsigned char c = BASE64_VALUES[in[i + 2]];
        unsigned char d = BASE64_VALUES[in[i + 3]];
        std::size_t padding = 0;
        if (i + 4 == length) {
            // Padding only in the last group: "xx==" or "xxx=".
            if (in[i + 3] == '=') {
                padding = in[i + 2] == '=' ? 2 : 1;
                d = 0;
                if (padding == 2) c = 0;
            }
        }
        if ((a | b | c | d) > 63) return false;  // NOT_BASE64 among them
        const std::uint32_t group = static_cast<std::uint32_t>(a) << 18 | static_cast<std::uint32_t>(b) << 12 |
                                    static_cast<std::uint32_t>(c) << 6 | d;
        // Bits the padding leaves over must be zero, so that each byte string has one encoding.
        if ((padding == 1 && (group & 0xFFU) != 0) || (padding == 2 && (group & 0xFFFFU) != 0)) return false;
        out[0] = static_cast<unsigned char>(group >> 16);
        if (padding < 2) out[1] = static_cast<unsigned char>(group >> 8);
        if (padding < 1) out[2] = static_cast<unsigned char>(group);
        out += 3 - padding;
    }
    *decoded = static_cast<std::size_t>(out - bytes);
    return true;
}

std::size_t dense_encode(const unsigned char* bytes, std::size_t count, char* text) {
    constexpr std::uint32_t VALUE_MASK = (1U << DENSE_BITS) - 1;
    std::size_t written = 0;
    const auto put = [&](std::uint32_t value) {
        const std::uint32_t code_point = DENSE_FIRST_CODE_POINT + value;
        text[written++] = static_cast<char>(0xE0U | code_point >> 12);
        text[written++] = static_cast<char>(0x80U | (code_point >> 6 & 0x3FU));
        text[written++] = static_cast<char>(0x80U | (code_point & 0x3FU));
    };
    std::uint32_t bits = 0;
    unsigned held = 0;
    for (std::size_t i = 0; i < count; ++i) {
        bits = bits << 8 | bytes[i];
        held += 8;
        if (held >= DENSE_BITS) {
            held -= DENSE_BITS;
            put(bits >> held & VALUE_MASK);
        }
    }
    if (held > 0) put(bits << (DENSE_BITS - held) & VALUE_MASK);
    return written;
}

bool dense_decode(const char* text, std::size_t length, unsigned char* bytes, std::size_t count) {
    if (length != dense_length(count)) return false;
    std::uint32_t bits = 0;
    unsigned held = 0;
    std::size_t decoded = 0;
    for (std::size_t at = 0; at < length; at += 3) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const auto middle = static_cast<unsigned char>(text[at + 1]);
        const auto last = static_cast<unsigned char>(text[at + 2]);
        if ((lead & 0xF0U) != 0xE0U || (middle & 0xC0U) != 0x80U || (last & 0xC0U) != 0x80U) return false;
        const std::uint32_t code_point = (lead & 0x0FU) << 12 | (middle & 0x3FU) << 6 | (last & 0x3FU);
        if (code_point < DENSE_FIRST_CODE_POINT || code_point - DENSE_FIRST_CODE_POINT >= 1U << DENSE_BITS) return false;
        bits = bits << DENSE_BITS | (code_point - DENSE_FIRST_CODE_POINT);
        held += DENSE_BITS;
        // What the last character holds past the last byte is padding: zero.
        while (held >= 8) {
            held -= 8;
            const auto byte = static_cast<unsigned char>(bits >> held);
            if (decoded < count) {
                bytes[decoded++] = byte;
            } else if (byte != 0) {
                return false;
            }
        }
        bits &= (1U << held) - 1;
    }
    return bits == 0;
}

}  // namespace pushfile
