// pullfile's session against a hostile receiver: each input is a script of frames, each made well
// formed (its check right) so that what pullfile does with them is reached, mixed with raw bytes,
// lost frames, wrong hashes and starts, names that climb out or look like partial files, and new
// sessions on the same folder that find what the last one kept. After each script the folder is
// checked: nothing outside it, no link inside it.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_hash.h"
#include "pullfile/pull_session.h"
#include "transfer/file_sink.h"
#include "transfer/upload_frames.h"

namespace {

namespace fs = std::filesystem;
using namespace pushfile;

struct ignoring_output final : pull::message_output {
    bool send(const char*, std::size_t) override { return true; }
};

// Reads the script: bytes, small numbers, pieces of names.
class script {
public:
    script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint64_t number() {
        switch (byte() % 4) {
            case 0: return byte();
            case 1: return 37268U + byte();
            case 2: return static_cast<std::uint64_t>(byte()) << 16 | byte();
            default: return ~std::uint64_t{0} - byte();
        }
    }
    std::string_view bytes(std::size_t most) {
        const std::size_t count = std::min<std::size_t>(byte() % (most + 1), size_ - at_);
        const std::string_view taken(reinterpret_cast<const char*>(data_ + at_), count);
        at_ += count;
        return taken;
    }
    std::string name() {
        static constexpr std::string_view pieces[] = {
            "a", "b", "..", ".", "/", "a/b", "../x", ".a.5-1-0.pullfile-part", ".a.", "a.1", "", "\x1b]0;x\x07",
        };
        std::string made;
        for (int part = byte() % 3 + 1; part > 0; --part) {
            const std::uint8_t choice = byte();
            made += choice < 200 ? std::string(pieces[choice % std::size(pieces)]) : std::string(bytes(12));
        }
        return made.empty() ? "a" : made;
    }
    mode_and_time attributes() {
        mode_and_time made;
        made.mode = byte() & 0777U;
        made.seconds = static_cast<std::int64_t>(byte()) - 8;
        made.nanoseconds = byte() % 3;
        return made;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

bool holds_only(const fs::path& root, const fs::path& folder) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root, error)) {
        if (entry.path() != folder) return false;
    }
    for (auto it = fs::recursive_directory_iterator(folder, error); it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (it->is_symlink(error)) return false;
    }
    return true;
}

fs::path scratch_root() {
    static const fs::path made = [] {
        char pattern[] = "/tmp/pullfile-fuzz-XXXXXX";
        const char* path = mkdtemp(pattern);
        if (path == nullptr) std::abort();
        return fs::path(path);
    }();
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path root = scratch_root();
    const fs::path folder = root / "folder";
    std::error_code error;
    fs::remove_all(folder, error);
    fs::create_directory(folder);

    script in(data, size);
    const std::uint8_t flags = in.byte();
    const pull::pull_options options{.skip_identical = (flags & 1) != 0, .replace = (flags & 2) != 0};
    ignoring_output output;
    std::vector<char> frame(MAX_FRAME_LENGTH);
    std::string data_of_file;  // D bytes since the last F, for an E whose hash is right
    for (int session_count = 0; in.more() && session_count < 3; ++session_count) {
        file_sink sink(folder.string(), {.keep_folders = true});
        if (!sink.ok()) std::abort();
        pull::pull_session session(sink, output, folder.string(), options);
        std::uint64_t sequence = 0;
        const auto feed = [&](std::size_t length) {
            session.feed(reinterpret_cast<const unsigned char*>(frame.data()), length);
        };
        while (in.more() && !session.over()) {
            const std::uint8_t op = in.byte();
            // Now and then a frame is lost: the next one comes with a sequence too far.
            sequence += (op & 0x80) != 0 && (op & 0x40) != 0 ? 2 : 1;
            const unsigned version = 1 + in.byte() % 3;
            switch (op % 13) {
                case 0: feed(format_number_frame(frame_type::prompting, sequence, version, frame.data())); break;
                case 1: {
                    const std::uint64_t file_size = in.number();
                    const mode_and_time attributes = in.attributes();
                    feed(format_query_frame(sequence, file_size, attributes, in.name(), frame.data()));
                    break;
                }
                case 2: {
                    const std::uint64_t file_size = in.number();
                    const mode_and_time attributes = in.attributes();
                    const std::uint64_t start = version < 3 ? 0 : in.byte() < 128 ? 0 : in.number();
                    data_of_file.clear();
                    feed(format_file_frame(version, sequence, file_size, attributes, start, in.name(), frame.data()));
                    break;
                }
                case 3: {
                    std::string_view bytes = in.bytes(64);
                    if (bytes.empty()) bytes = "x";
                    data_of_file += bytes;
                    const auto* payload = reinterpret_cast<const unsigned char*>(bytes.data());
                    if ((op & 0x20) != 0) {  // raw, inside a clipboard answer
                        session.feed_answer(reinterpret_cast<const unsigned char*>(frame.data()),
                                            format_raw_data_frame(sequence, payload, bytes.size(), frame.data()));
                        break;
                    }
                    feed((op & 0x10) != 0 ? format_dense_data_frame(sequence, payload, bytes.size(), frame.data())
                                          : format_data_frame(sequence, payload, bytes.size(), frame.data()));
                    break;
                }
                case 4: {
                    file_hash hash;
                    if (in.byte() < 192) {
                        file_hasher hasher;
                        hasher.update(data_of_file.data(), data_of_file.size());
                        hash = hasher.digest();
                    } else {
                        hash.high = in.number();
                        hash.low = in.number();
                    }
                    feed(format_file_end_frame(version, sequence, hash, frame.data()));
                    break;
                }
                case 5: {
                    const mode_and_time attributes = in.attributes();
                    feed(format_folder_frame(sequence, attributes, in.name(), frame.data()));
                    break;
                }
                case 6: feed(format_empty_frame(frame_type::folder_end, sequence, frame.data())); break;
                case 7: feed(format_empty_frame(frame_type::given_up, sequence, frame.data())); break;
                case 8: feed(format_number_frame(frame_type::done, sequence, in.byte(), frame.data())); break;
                case 9: feed(format_empty_frame(frame_type::cancelled, sequence, frame.data())); break;
                case 10: {
                    const frame_type type = in.byte() % 2 == 0 ? frame_type::nothing : frame_type::refused;
                    feed(format_empty_frame(type, sequence, frame.data()));
                    break;
                }
                default: {
                    // Raw bytes: a cut frame, noise, a frame's text with a wrong check.
                    // Or an answer's content that is not whole frames.
                    const std::string_view raw = in.bytes(24);
                    const auto* raw_bytes = reinterpret_cast<const unsigned char*>(raw.data());
                    (op & 0x20) == 0 ? session.feed(raw_bytes, raw.size()) : session.feed_answer(raw_bytes, raw.size());
                    --sequence;
                    break;
                }
            }
        }
        if (!session.over()) session.input_ended("the script ended");
        (void)session.summary();
    }
    if (!holds_only(root, folder)) {
        std::fprintf(stderr, "pullfile wrote outside its folder or made a link in it\n");
        std::abort();
    }
    return 0;
}
