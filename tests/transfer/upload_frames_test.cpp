#include "transfer/upload_frames.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transfer/clipboard_replies.h"

namespace {

using namespace pushfile;
using records = std::vector<std::string>;

// One record per event; stray bytes merged, so that differently split feeds compare equal.
class transcript final : public frame_events {
public:
    void frame_received(const upload_frame& frame) override {
        std::string record(1, static_cast<char>(frame.type));
        record += std::to_string(frame.sequence) + ":" + std::to_string(frame.number) + ":" + std::string(frame.name);
        if (frame.data != nullptr) record += ":" + std::string(reinterpret_cast<const char*>(frame.data), frame.length);
        if (frame.has_mode_and_time) {
            char attributes[64];
            std::snprintf(attributes, sizeof attributes, ":%o:%lld.%09u", frame.attributes.mode,
                          static_cast<long long>(frame.attributes.seconds), frame.attributes.nanoseconds);
            record += attributes;
        }
        if (frame.has_start) record += ":from " + std::to_string(frame.start);
        if (frame.has_hash) {
            char hex[FILE_HASH_HEX_LENGTH];
            format_file_hash(frame.hash, hex);
            record += ":" + std::string(hex, sizeof hex);
        }
        event(record);
    }
    void frame_broken(frame_error error) override { event(std::string("broken: ") + describe(error)); }
    void stray_bytes(const unsigned char* bytes, std::size_t length) override {
        const std::string text(reinterpret_cast<const char*>(bytes), length);
        if (stray_open_) {
            events.back() += text;
        } else {
            events.push_back("stray:" + text);
        }
        stray_open_ = true;
    }

    records events;

private:
    void event(std::string record) {
        events.push_back(std::move(record));
        stray_open_ = false;
    }
    bool stray_open_ = false;
};

std::string frame_text(std::size_t (*format)(char*)) {
    std::string frame(MAX_FRAME_LENGTH, '\0');
    frame.resize(format(frame.data()));
    return frame;
}

std::string data_frame(std::uint64_t sequence, const std::string& bytes) {
    std::string frame(MAX_FRAME_LENGTH, '\0');
    frame.resize(format_data_frame(sequence, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                   frame.data()));
    return frame;
}

std::string file_frame(std::uint64_t sequence, std::uint64_t size, const std::string& name, unsigned version = 1,
                       mode_and_time attributes = {}, std::uint64_t start = 0) {
    std::string frame(MAX_FRAME_LENGTH, '\0');
    frame.resize(format_file_frame(version, sequence, size, attributes, start, name, frame.data()));
    return frame;
}

std::string query_frame(std::uint64_t sequence, std::uint64_t size, const std::string& name, mode_and_time attributes) {
    std::string frame(MAX_FRAME_LENGTH, '\0');
    frame.resize(format_query_frame(sequence, size, attributes, name, frame.data()));
    return frame;
}

std::string end_frame(unsigned version, std::uint64_t sequence, const file_hash& hash) {
    std::string frame(MAX_FRAME_LENGTH, '\0');
    frame.resize(format_file_end_frame(version, sequence, hash, frame.data()));
    return frame;
}

std::string folder_frame(std::uint64_t sequence, const std::string& name, mode_and_time attributes) {
    std::string frame(MAX_FRAME_LENGTH, '\0');
    frame.resize(format_folder_frame(sequence, attributes, name, frame.data()));
    return frame;
}

// A frame around body ("TYPE SEQUENCE , PAYLOAD ,"), its check computed here.
std::string with_check(const std::string& body) {
    const std::uint32_t check = crc32(0, body.data(), body.size());
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", check);
    return "#" + body + hex + ".";
}

records read_frames(const std::string& input, std::size_t chunk) {
    frame_reader reader;
    transcript events;
    for (std::size_t at = 0; at < input.size(); at += chunk) {
        const std::size_t length = std::min(chunk, input.size() - at);
        reader.feed(reinterpret_cast<const unsigned char*>(input.data()) + at, length, events);
    }
    reader.finish(events);
    return events.events;
}

TEST(upload_encoding, known_values) {
    EXPECT_EQ(crc32(0, "123456789", 9), 0xCBF43926U);
    EXPECT_EQ(crc32(crc32(0, "1234", 4), "56789", 5), 0xCBF43926U);
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xff\xfe", "//4="}};
    for (const auto& [bytes, text] : vectors) {
        std::string encoded(base64_length(bytes.size()), '\0');
        EXPECT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), encoded.data()),
                  text.size());
        EXPECT_EQ(encoded, text);
        unsigned char decoded[8];
        std::size_t count = 99;
        ASSERT_TRUE(base64_decode(text.data(), text.size(), decoded, &count)) << text;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(decoded), count), bytes);
    }
    // One encoding per byte string: no stray characters, padding only at the end, no bits left over.
    for (const std::string bad : {"Zg=", "Zg=a", "Z===", "Zh==", "Zm9=", "Zg==Zg==", "Zm~v", "Zm9 "}) {
        unsigned char decoded[8];
        std::size_t count = 0;
        EXPECT_FALSE(base64_decode(bad.data(), bad.size(), decoded, &count)) << bad;
    }
}

// Dense characters: 14 bits each from U+4E00 on; "\x00\x04" is the first character's value 1
// and 2 bits of padding. Every byte string reads back; anything outside the range, a length that
// does not fit the count, or padding bits set, does not.
TEST(upload_encoding, dense_characters) {
    std::string bytes;
    for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
    for (const std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{256}}) {
        std::string text(dense_length(count), '\0');
        ASSERT_EQ(dense_encode(reinterpret_cast<const unsigned char*>(bytes.data()), count, text.data()), text.size());
        std::string decoded(count, '\0');
        ASSERT_TRUE(dense_decode(text.data(), text.size(), reinterpret_cast<unsigned char*>(decoded.data()), count));
        EXPECT_EQ(decoded, bytes.substr(0, count));
    }
    std::string text(3, '\0');
    dense_encode(reinterpret_cast<const unsigned char*>("\x00\x04"), 2, text.data());
    EXPECT_EQ(text, "\xe4\xb8\x81");  // U+4E01
    unsigned char decoded[2];
    for (const std::string bad : {"\xe4\xb7\xbf", "\xe8\xb8\x80", "\xe4\xb8\x82", "\xe4\x38\x80", "\xe4\xb8"}) {
        EXPECT_FALSE(dense_decode(bad.data(), bad.size(), decoded, 1)) << bad;
    }
}

// Every frame is printable ASCII without '~' or '`', and reads back as written however the
// input is split, with line ends anywhere in it and keys around it.
TEST(upload_frames, read_back_whatever_the_split) {
    std::mt19937 random(7);
    std::string block(UPLOAD_BLOCK_SIZE, '\0');
    for (char& byte : block) byte = static_cast<char>(random());
    const std::string name = "photos/\xc3\xa9t\xc3\xa9 1/a.jpg";
    std::string input = "ls\r";
    input += frame_text([](char* f) { return format_number_frame(frame_type::prompting, 1, 1, f); });
    input += file_frame(2, UPLOAD_BLOCK_SIZE + 2, name);
    input += data_frame(3, block);
    input += data_frame(4, "\n\x01");
    input += frame_text([](char* f) { return format_empty_frame(frame_type::file_end, 5, f); });
    input += folder_frame(6, "photos", {0750, -86401, 999999999});
    input += file_frame(7, 0, "photos/e", 2, {0644, 1700000000, 5});
    input += frame_text([](char* f) { return format_empty_frame(frame_type::folder_end, 8, f); });
    input += query_frame(9, 7, "b", {0600, 5, 6});
    input += file_frame(10, 7, "b", 3, {0600, 5, 6}, 4);
    input += data_frame(11, "xyz");
    input += end_frame(3, 12, {0x0123456789abcdefU, 0xfedcba9876543210U});
    input += end_frame(2, 13, {1, 2});
    input += frame_text([](char* f) { return format_number_frame(frame_type::done, 14, 2, f); });
    for (const char byte : input.substr(3)) {
        const auto value = static_cast<unsigned char>(byte);
        ASSERT_TRUE(value > ' ' && value < 0x7F && value != '~' && value != '`') << int{value};
    }
    input.insert(input.size() / 2, "\r\n");
    input += "q";
    const records expected = {"stray:ls\r",
                              "P1:1:",
                              "F2:" + std::to_string(UPLOAD_BLOCK_SIZE + 2) + ":" + name,
                              "D3:0::" + block,
                              "D4:0::\n\x01",
                              "E5:0:",
                              "M6:0:photos:750:-86401.999999999",
                              "F7:0:photos/e:644:1700000000.000000005",
                              "L8:0:",
                              "Q9:7:b:600:5.000000006",
                              "F10:7:b:600:5.000000006:from 4",
                              "D11:0::xyz",
                              "E12:0::0123456789abcdeffedcba9876543210",
                              "E13:0:",
                              "Z14:2:",
                              "stray:q"};
    for (const std::size_t chunk : {input.size(), std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
        EXPECT_EQ(read_frames(input, chunk), expected) << "chunks of " << chunk;
    }
}

TEST(upload_frames, broken_frames_are_reported_and_what_follows_is_read) {
    const std::string good = frame_text([](char* f) { return format_empty_frame(frame_type::file_end, 9, f); });
    std::string flipped = data_frame(3, "abc");
    flipped[5] = flipped[5] == 'A' ? 'B' : 'A';
    const std::string long_frame = "#D1," + std::string(MAX_FRAME_LENGTH, 'A') + ",00000000.";
    struct broken_case {
        const char* label;
        std::string input;
        const char* error;
    };
    const broken_case cases[] = {
        {"check does not match", flipped, "a frame whose check does not match"},
        {"cut by the next frame", data_frame(3, "abc").substr(0, 9), "a frame that was cut off"},
        {"control byte inside", "#D3,YW\x1b" "Jj,0.", "a frame holding a byte that does not belong in one"},
        {"longer than any frame", long_frame, "a frame longer than the longest frame"},
        {"data frame without data", with_check("D3,,"), "a frame whose content is malformed"},
        {"unknown type", with_check("W3,,"), "a frame whose content is malformed"},
        {"query without mode and time", with_check("Q3,1;YQ==,"), "a frame whose content is malformed"},
        {"query with a start", with_check("Q3,1;7;0;0;0;YQ==,"), "a frame whose content is malformed"},
        {"start beyond the size", with_check("F3,1;7;0;0;2;YQ==,"), "a frame whose content is malformed"},
        {"start of 21 digits", with_check("F3,1;7;0;0;123456789012345678901;YQ==,"), "a frame whose content is malformed"},
        {"hash of 31 digits", with_check("E3," + std::string(31, 'a') + ","), "a frame whose content is malformed"},
        {"hash in capitals", with_check("E3," + std::string(32, 'A') + ","), "a frame whose content is malformed"},
        {"hash not hex", with_check("E3," + std::string(31, 'a') + "g,"), "a frame whose content is malformed"},
        {"file without a size", with_check("F3,YQ==,"), "a frame whose content is malformed"},
        {"name with a NUL", with_check("F3,1;YQBi,"), "a frame whose content is malformed"},
        {"sequence of 20 digits", with_check("E12345678901234567890,,"), "a frame whose content is malformed"},
        {"mode of 4 digits", with_check("F3,1;4755;0;0;YQ==,"), "a frame whose content is malformed"},
        {"mode not octal", with_check("M3,8;0;0;YQ==,"), "a frame whose content is malformed"},
        {"a second of 20 digits", with_check("M3,7;12345678901234567890;0;YQ==,"), "a frame whose content is malformed"},
        {"a whole second of nanoseconds", with_check("M3,7;0;1000000000;YQ==,"), "a frame whose content is malformed"},
        {"a minus inside the time", with_check("M3,7;1-2;0;YQ==,"), "a frame whose content is malformed"},
        {"time without nanoseconds", with_check("F3,1;7;0;YQ==,"), "a frame whose content is malformed"},
        {"folder without a name", with_check("M3,7;0;0;,"), "a frame whose content is malformed"},
        {"folder end with a payload", with_check("L3,YQ==,"), "a frame whose content is malformed"},
        {"data beyond a block", with_check("D3," + std::string(base64_length(UPLOAD_BLOCK_SIZE + 3), 'A') + ","),
         "a frame whose content is malformed"},
    };
    for (const broken_case& c : cases) {
        const records expected = {std::string("broken: ") + c.error, "E9:0:"};
        EXPECT_EQ(read_frames(c.input + good, c.input.size() + good.size()), expected) << c.label;
        EXPECT_EQ(read_frames(c.input + good, 5), expected) << c.label << ", in chunks of 5";
    }
    EXPECT_EQ(read_frames(good.substr(0, 6), 100), records{"broken: a frame that was cut off"});
}

// Version 1's file frame is what a pullfile of version 1 reads: it must not change. Version 2's
// adds MODE and TIME, and only the permission bits go.
TEST(upload_frames, each_version_writes_its_own_file_frame) {
    EXPECT_EQ(file_frame(2, 3, "a", 1, {0644, 1700000000, 5}), with_check("F2,3;YQ==,"));
    EXPECT_EQ(file_frame(2, 3, "a", 2, {04755, 1700000000, 5}), with_check("F2,3;755;1700000000;5;YQ==,"));
    EXPECT_EQ(folder_frame(2, "a", {0700, -1, 0}), with_check("M2,700;-1;0;YQ==,"));
    EXPECT_EQ(file_frame(2, 3, "a", 3, {0644, 1, 5}, 2), with_check("F2,3;644;1;5;2;YQ==,"));
    EXPECT_EQ(end_frame(2, 4, {}), with_check("E4,,"));
    EXPECT_EQ(end_frame(3, 4, {}), with_check("E4," + std::string(32, '0') + ","));
}

// The hash both sides compute: XXH3-128's published value for no bytes, and its text read back;
// a text of any other form is refused.
TEST(upload_frames, file_hash_of_known_bytes_and_its_text) {
    file_hasher hasher;
    EXPECT_EQ(hasher.digest(), (file_hash{0x99aa06d3014798d8U, 0x6001c324468d497fU}));
    const std::string bytes(1000, 'x');
    hasher.update(bytes.data(), bytes.size());
    const file_hash whole = hasher.digest();
    char hex[FILE_HASH_HEX_LENGTH];
    format_file_hash(whole, hex);
    file_hash read;
    ASSERT_TRUE(parse_file_hash(std::string_view(hex, sizeof hex), &read));
    EXPECT_EQ(read, whole);
    EXPECT_FALSE(parse_file_hash(std::string(32, 'F'), &read));
    EXPECT_FALSE(parse_file_hash(std::string(31, 'f'), &read));
}

// A data frame goes raw inside a clipboard answer; read back it carries the same sequence and
// bytes, and one cut short, with a byte changed or a count beyond a block is not taken.
TEST(upload_frames, a_raw_data_frame_is_read_back_only_whole_and_checked) {
    const std::string bytes("#B9,.\x00,\xff", 9);
    std::string raw(MAX_FRAME_LENGTH, '\0');
    raw.resize(format_raw_data_frame(41, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), raw.data()));
    auto* raw_bytes = reinterpret_cast<unsigned char*>(raw.data());
    ASSERT_EQ(raw, with_check("B41,9," + bytes + ","));
    upload_frame frame;
    frame_error error{};
    ASSERT_EQ(read_raw_data_frame(raw_bytes, raw.size(), &frame, &error), raw.size());
    EXPECT_EQ(frame.sequence, 41U);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(frame.data), frame.length), bytes);
    EXPECT_EQ(read_raw_data_frame(raw_bytes, raw.size() - 1, &frame, &error), 0U);
    EXPECT_EQ(error, frame_error::cut);
    raw[8] ^= 1;
    EXPECT_EQ(read_raw_data_frame(raw_bytes, raw.size(), &frame, &error), 0U);
    EXPECT_EQ(error, frame_error::bad_check);
    const std::string beyond = with_check("B1," + std::to_string(UPLOAD_BLOCK_SIZE + 1) + "," + std::string(UPLOAD_BLOCK_SIZE + 1, 'x') + ",");
    EXPECT_EQ(read_raw_data_frame(reinterpret_cast<const unsigned char*>(beyond.data()), beyond.size(), &frame, &error), 0U);
}

// pullfile says which versions it reads ahead of its folder; a folder alone is version 1's, and
// anything else is taken whole as the folder, as a receiver of version 1 takes it.
TEST(upload_frames, the_request_says_which_versions_pullfile_reads) {
    EXPECT_EQ(upload_request_body("/home/me"), std::to_string(UPLOAD_FORMAT_VERSION) + ";/home/me");
    const struct {
        const char* body;
        unsigned version;
        const char* folder;
    } requests[] = {
        {"2;/home/me", 2, "/home/me"}, {"/home/me", 1, "/home/me"}, {"/a;2;/b", 1, "/a;2;/b"},
        {"9;/x;y", 9, "/x;y"},         {"0;/x", 1, "0;/x"},         {"2;x", 1, "2;x"},
        {"1234;/x", 1, "1234;/x"},     {";/x", 1, ";/x"},           {"2a;/x", 1, "2a;/x"},
    };
    for (const auto& r : requests) {
        const upload_request request = parse_upload_request(r.body);
        EXPECT_EQ(request.highest_version, r.version) << r.body;
        EXPECT_EQ(request.folder, r.folder) << r.body;
    }
    EXPECT_EQ(upload_version_for(1), 1U);
    EXPECT_EQ(upload_version_for(9), UPLOAD_FORMAT_VERSION);
}

}  // namespace

// pullfile's reader of tmux's clipboard answers: an answer tmux passed on is decoded and taken out
// of the input, one it typed as keys (a miss) or one that is broken is dropped whole, and every
// other byte stays input, wherever the reads split it.
TEST(clipboard_answers, passed_on_answers_are_read_and_the_rest_stays_input) {
    struct recorder final : clipboard_answer_reader::events {
        void plain(const unsigned char* bytes, std::size_t length) override {
            input.append(reinterpret_cast<const char*>(bytes), length);
        }
        void answer(const unsigned char* content, std::size_t length) override {
            answers.emplace_back(reinterpret_cast<const char*>(content), length);
        }
        void answer_lost() override { answers.emplace_back("lost"); }
        std::string input;
        records answers;
    };
    struct answer_case {
        std::string stream;
        std::string input;
        records answers;
    };
    const answer_case cases[] = {
        {"#P1,3,x.\x1b]52;;dG9rZW4jRDEs\x1b\\#Z2,1,y.", "#P1,3,x.#Z2,1,y.", {"token#D1,"}},
        {"a\x1b]52;c;dG9rZW4=\x07" "b", "ab", {"lost"}},
        {"\x1b]52;;dG9r*W4=\x1b\\\x1b[A\x1b]5x\x1b]52;;\x07", "\x1b[A\x1b]5x", {"lost", ""}},
    };
    for (const answer_case& test : cases) {
        for (std::size_t cut = 0; cut <= test.stream.size(); ++cut) {
            clipboard_answer_reader reader;
            recorder seen;
            const auto* bytes = reinterpret_cast<const unsigned char*>(test.stream.data());
            reader.feed(bytes, cut, seen);
            reader.feed(bytes + cut, test.stream.size() - cut, seen);
            EXPECT_EQ(seen.input, test.input) << test.stream << " cut at " << cut;
            EXPECT_EQ(seen.answers, test.answers) << test.stream << " cut at " << cut;
        }
    }
}
