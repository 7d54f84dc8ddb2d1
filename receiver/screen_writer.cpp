#include "receiver/screen_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/io.h"
#include "receiver/program.h"

namespace pushfile::receive {
namespace {

constexpr std::size_t OUTPUT_CAPACITY = SCREEN_ROOM_FOR_READ + COMMAND_READ_SIZE;
constexpr std::size_t LINES_CAPACITY = std::size_t{64} * 1024;
// After POLLOUT, a pipe or terminal takes a write this small without blocking.
constexpr std::size_t CAREFUL_WRITE_LIMIT = 4096;

bool same_file(int first, int second) {
    struct stat a {};
    struct stat b {};
    return fstat(first, &a) == 0 && fstat(second, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
           a.st_rdev == b.st_rdev;
}

}  // namespace

void screen_writer::destination::open_for(int given_fd) {
    fd = given_fd;
    struct stat status {};
    if (fstat(given_fd, &status) != 0 || S_ISREG(status.st_mode)) return;  // files take every write
    if (S_ISSOCK(status.st_mode)) {
        use_send = true;
        return;
    }
    const int flags = fcntl(given_fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) return;
    // Setting O_NONBLOCK on the descriptor itself would reach the shell that shares it; a
    // descriptor of our own for the same terminal or pipe keeps it to us.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", given_fd);
    const int own = move_above_standard(open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (own < 0) {
        careful = true;
        ready = false;
        return;
    }
    fd = own;
    own_fd = true;
}

long screen_writer::destination::write_some(const unsigned char* bytes, std::size_t length) {
    if (careful) {
        length = std::min(length, CAREFUL_WRITE_LIMIT);
        ready = false;
    }
    const ssize_t written = use_send ? send(fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL) : write(fd, bytes, length);
    if (written > 0) {
        if (static_cast<std::size_t>(written) < length) ready = false;
        return written;
    }
    if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (errno == EAGAIN) ready = false;
        return 0;
    }
    error = written == 0 ? EIO : errno;
    return -1;
}

screen_writer::screen_writer(int output_fd, int error_fd)
    : messages_fd_(error_fd), output_(OUTPUT_CAPACITY), lines_(LINES_CAPACITY) {
    out_.open_for(output_fd);
    lines_inline_ = same_file(output_fd, error_fd);
    if (!lines_inline_) err_.open_for(error_fd);
    messages_on_terminal_ = isatty(error_fd) == 1;
}

screen_writer::~screen_writer() {
    if (out_.own_fd) close(out_.fd);
    if (err_.own_fd) close(err_.fd);
}

void screen_writer::output_sink::append(const unsigned char* bytes, std::size_t length) {
    // The relay reads only while a read's worth of room is left, so everything fits.
    owner_.output_appended_ += owner_.output_.append(bytes, length);
}

std::size_t screen_writer::output_sink::discard_queued() {
    const std::size_t dropped = owner_.output_.size();
    owner_.output_written(dropped);
    return dropped;
}

void screen_writer::message_sink::append(const unsigned char* bytes, std::size_t length) {
    owner_.queue_line(bytes, length);
}

std::size_t screen_writer::message_sink::discard_queued() {
    // A line already begun on the screen is finished, or the next would run into it.
    const std::size_t before = owner_.lines_.size();
    owner_.lines_.keep_first(owner_.front_line_written_ > 0 ? sizeof(line_header) + owner_.front_line().length : 0);
    if (owner_.lines_.empty()) owner_.front_line_written_ = 0;
    return before - owner_.lines_.size();
}

void screen_writer::queue_line(const unsigned char* bytes, std::size_t length) {
    if (length == 0) return;
    if (lines_.free_space() < sizeof(line_header) + length) {
        ++dropped_messages_;
        return;
    }
    const line_header header{output_appended_, length};
    lines_.append(reinterpret_cast<const unsigned char*>(&header), sizeof header);
    lines_.append(bytes, length);
}

screen_writer::line_header screen_writer::front_line() const {
    line_header header{};
    std::memcpy(&header, lines_.data(), sizeof header);
    return header;
}

bool screen_writer::line_due() const { return !lines_.empty() && front_line().due <= output_written_; }

void screen_writer::output_written(std::size_t length) {
    output_.consume(length);
    output_written_ += length;
}

// Each returns whether it wrote all it had to, so that the next step may go on.
bool screen_writer::write_front_line() {
    destination& target = line_destination();
    const line_header header = front_line();
    if (target.error == 0) {
        if (!target.ready) return false;
        const unsigned char* text = lines_.data() + sizeof header;
        const long written = target.write_some(text + front_line_written_, header.length - front_line_written_);
        if (written >= 0) {
            front_line_written_ += static_cast<std::size_t>(written);
            if (front_line_written_ < header.length) return false;
        }
    }
    // Written, or the descriptor failed: nothing else can be done with this line.
    lines_.consume(sizeof header + header.length);
    front_line_written_ = 0;
    return true;
}

bool screen_writer::write_output() {
    if (out_.error != 0) {
        output_written(output_.size());
        return true;
    }
    if (!out_.ready) return false;
    std::size_t length = output_.size();
    if (!lines_.empty()) {
        // Output before the next line, at most what is queued: it fits a size_t.
        length = static_cast<std::size_t>(std::min<std::uint64_t>(length, front_line().due - output_written_));
    }
    const long written = out_.write_some(output_.data(), length);
    if (written > 0) output_written(static_cast<std::size_t>(written));
    if (written < 0) output_written(output_.size());
    return written < 0 || static_cast<std::size_t>(written) == length;
}

void screen_writer::write_ready() {
    for (;;) {
        if (line_due()) {
            if (!write_front_line()) return;
        } else if (!output_.empty()) {
            if (!write_output()) return;
        } else if (dropped_messages_ > 0 && lines_.empty()) {
            const std::string note = std::string(PROGRAM_NAME) + ": " + std::to_string(dropped_messages_) +
                                     " more messages came at once and were not shown" +
                                     (messages_on_terminal_ ? "\r\n" : "\n");
            dropped_messages_ = 0;
            queue_line(reinterpret_cast<const unsigned char*>(note.data()), note.size());
        } else {
            return;
        }
    }
}

int screen_writer::waits_for() const {
    if (line_due()) {
        const destination& target = line_destination();
        return target.error == 0 && !target.ready ? target.fd : -1;
    }
    if (!output_.empty() && out_.error == 0 && !out_.ready) return out_.fd;
    return -1;
}

void screen_writer::became_writable(int fd) {
    if (fd == out_.fd) out_.ready = true;
    if (fd == err_.fd) err_.ready = true;
}

void screen_writer::flush(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        write_ready();
        const int fd = waits_for();
        if (fd < 0) return;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd entry{fd, POLLOUT, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) return;
        became_writable(fd);
    }
}

}  // namespace pushfile::receive
