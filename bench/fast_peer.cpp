// bench_peer: the far end of a pipe benchmark. Reads a sender's output on standard input, answers
// every size and block message with an acceptance on standard output at once, and writes the
// verified file bytes to one output file (/dev/null discards them). It does only what a real
// receiver must do per byte, so the sender's own cost dominates what is measured.
//
//   bench_peer -o OUTPUT
//
// On standard error at the end: stream_bytes=N file_bytes=N blocks=N files=N rejected=N.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/display.h"
#include "common/protocol.h"
#include "transfer/stream_parser.h"

namespace {

using pushfile::message_kind;
using pushfile::parse_error;

constexpr int EXIT_PEER_FAILED = 2;
// Larger than a full block message, so a block usually arrives in one or two reads.
constexpr std::size_t READ_CHUNK = 128 * 1024;

bool write_all(int fd, const unsigned char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

class peer final : public pushfile::stream_parser_events {
public:
    explicit peer(int output) : output_(output) {}

    void pass_through(const unsigned char*, std::size_t length) override { stray_bytes_ += length; }
    void path_message(std::string_view) override { ++files_; }
    void size_message(std::uint64_t) override { accept(); }
    void block_message(const unsigned char* bytes, std::size_t length) override {
        ++blocks_;
        file_bytes_ += length;
        if (!write_all(output_, bytes, length)) fail("cannot write the output file", errno);
        accept();
    }
    void end_message() override {}
    void rejected_message(message_kind, parse_error error) override {
        ++rejected_;
        std::fprintf(stderr, "bench_peer: rejected a message: %s\n", pushfile::describe(error));
        // The sender waits for a reply after a size or block; refusing ends its run instead of a hang.
        reply(pushfile::REPLY_REFUSED);
    }

    bool failed() const { return failed_; }
    void report(std::uint64_t stream_bytes) const {
        std::fprintf(stderr,
                     "stream_bytes=%" PRIu64 " file_bytes=%" PRIu64 " blocks=%" PRIu64 " files=%" PRIu64
                     " rejected=%" PRIu64 " stray_bytes=%" PRIu64 "\n",
                     stream_bytes, file_bytes_, blocks_, files_, rejected_, stray_bytes_);
    }
    bool clean() const { return !failed_ && rejected_ == 0 && stray_bytes_ == 0; }

private:
    void accept() { reply(pushfile::REPLY_ACCEPTED); }
    void reply(const unsigned char (&answer)[pushfile::REPLY_LENGTH]) {
        if (!failed_ && !write_all(STDOUT_FILENO, answer, sizeof answer)) fail("cannot answer the sender", errno);
    }
    void fail(const char* what, int error) {
        if (!failed_) std::fprintf(stderr, "bench_peer: %s: %s\n", what, std::strerror(error));
        failed_ = true;
    }

    int output_;
    bool failed_ = false;
    std::uint64_t file_bytes_ = 0;
    std::uint64_t blocks_ = 0;
    std::uint64_t files_ = 0;
    std::uint64_t rejected_ = 0;
    std::uint64_t stray_bytes_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "-o") != 0) {
        std::fprintf(stderr, "Usage: %s -o OUTPUT\n", argc > 0 ? argv[0] : "bench_peer");
        return EXIT_PEER_FAILED;
    }
    const int output = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) {
        const int error = errno;
        char shown[4096];
        pushfile::escape_for_display(argv[2], std::strlen(argv[2]), shown, sizeof shown);
        std::fprintf(stderr, "bench_peer: cannot open %s: %s\n", shown, std::strerror(error));
        return EXIT_PEER_FAILED;
    }

    static unsigned char chunk[READ_CHUNK];
    pushfile::stream_parser parser;
    peer events(output);
    std::uint64_t stream_bytes = 0;
    for (;;) {
        const ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "bench_peer: cannot read the sender's output: %s\n", std::strerror(errno));
            return EXIT_PEER_FAILED;
        }
        if (count == 0) break;
        stream_bytes += static_cast<std::uint64_t>(count);
        parser.feed(chunk, static_cast<std::size_t>(count), events);
    }
    parser.finish(events);
    if (close(output) != 0) {
        std::fprintf(stderr, "bench_peer: cannot finish the output file: %s\n", std::strerror(errno));
        return EXIT_PEER_FAILED;
    }
    events.report(stream_bytes);
    return events.clean() && !parser.in_message() ? 0 : EXIT_PEER_FAILED;
}
