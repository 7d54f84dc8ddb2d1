// Fault injection for the sender's tests, loaded with LD_PRELOAD. It wraps write() on chosen
// descriptors (standard output by default), making it misbehave at seeded random points, and
// read() on descriptors above 2 (the files being sent), failing a chosen one. The environment
// drives it:
//
//   PUSHFILE_FAULT_SEED=N            seed of the random points (default 1)
//   PUSHFILE_FAULT_WRITE_FDS=1,...   descriptors whose writes are disturbed (default 1)
//   PUSHFILE_FAULT_SHORT_RATE=P      chance that a write is really cut short (writes fewer bytes)
//   PUSHFILE_FAULT_EINTR_RATE=P      chance that a write fails with EINTR, writing nothing
//   PUSHFILE_FAULT_EAGAIN_RATE=P     chance that a write fails with EAGAIN, writing nothing
//   PUSHFILE_FAULT_EIO_AFTER=N       after N bytes have gone out, every write fails with EIO
//   PUSHFILE_FAULT_READ_FAIL_AT=N    the Nth file read fails (1 = the first), counted over all
//                                    descriptors above 2, ...
//   PUSHFILE_FAULT_READ_FAIL_ERRNO=E ... with error number E (default EIO)
//   PUSHFILE_FAULT_LOG=PATH          counts written here at exit, as "name=value" words
//
// The log also counts writes attempted on a disturbed descriptor after one of its writes failed
// for good (any error but EINTR and EAGAIN, real or injected): a program must stop writing then.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using write_function = ssize_t (*)(int, const void*, std::size_t);
using read_function = ssize_t (*)(int, void*, std::size_t);

constexpr int MAX_WATCHED_FDS = 16;
constexpr int FIRST_FILE_FD = 3;

struct settings {
    std::uint64_t random_state = 1;
    int write_fds[MAX_WATCHED_FDS] = {1};
    int write_fd_count = 1;
    double short_rate = 0;
    double eintr_rate = 0;
    double eagain_rate = 0;
    bool eio_after_set = false;
    std::uint64_t eio_after = 0;
    std::uint64_t read_fail_at = 0;
    int read_fail_errno = EIO;
    const char* log_path = nullptr;
};

struct counts {
    unsigned long writes = 0;
    unsigned long short_writes = 0;
    unsigned long eintr = 0;
    unsigned long eagain = 0;
    unsigned long eio = 0;
    unsigned long failed_for_good = 0;
    unsigned long writes_after_failure = 0;
    unsigned long long bytes = 0;
    unsigned long reads = 0;
    unsigned long read_faults = 0;
};

settings config;
counts seen;
bool initialised = false;
bool output_failed = false;
write_function real_write = nullptr;
read_function real_read = nullptr;

double rate_from(const char* name) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtod(text, nullptr) : 0.0;
}

void initialise() {
    if (initialised) return;
    initialised = true;
    real_write = reinterpret_cast<write_function>(dlsym(RTLD_NEXT, "write"));
    real_read = reinterpret_cast<read_function>(dlsym(RTLD_NEXT, "read"));
    if (real_write == nullptr || real_read == nullptr) std::abort();

    if (const char* seed = std::getenv("PUSHFILE_FAULT_SEED")) config.random_state = std::strtoull(seed, nullptr, 10);
    if (const char* fds = std::getenv("PUSHFILE_FAULT_WRITE_FDS")) {
        config.write_fd_count = 0;
        const char* next = fds;
        while (*next != '\0' && config.write_fd_count < MAX_WATCHED_FDS) {
            char* end = nullptr;
            config.write_fds[config.write_fd_count++] = static_cast<int>(std::strtol(next, &end, 10));
            if (*end != ',') break;
            next = end + 1;
        }
    }
    config.short_rate = rate_from("PUSHFILE_FAULT_SHORT_RATE");
    config.eintr_rate = rate_from("PUSHFILE_FAULT_EINTR_RATE");
    config.eagain_rate = rate_from("PUSHFILE_FAULT_EAGAIN_RATE");
    if (const char* after = std::getenv("PUSHFILE_FAULT_EIO_AFTER")) {
        config.eio_after_set = true;
        config.eio_after = std::strtoull(after, nullptr, 10);
    }
    if (const char* at = std::getenv("PUSHFILE_FAULT_READ_FAIL_AT"))
        config.read_fail_at = std::strtoull(at, nullptr, 10);
    if (const char* number = std::getenv("PUSHFILE_FAULT_READ_FAIL_ERRNO"))
        config.read_fail_errno = static_cast<int>(std::strtol(number, nullptr, 10));
    config.log_path = std::getenv("PUSHFILE_FAULT_LOG");
}

// splitmix64: the same points for the same seed, whatever the platform.
std::uint64_t next_random() {
    std::uint64_t z = (config.random_state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
}

double next_chance() { return static_cast<double>(next_random() >> 11U) / 9007199254740992.0; }

bool is_watched(int fd) {
    for (int i = 0; i < config.write_fd_count; ++i) {
        if (config.write_fds[i] == fd) return true;
    }
    return false;
}

ssize_t fail_with(int error) {
    errno = error;
    return -1;
}

ssize_t note_result(ssize_t result) {
    if (result > 0) seen.bytes += static_cast<unsigned long long>(result);
    if (result < 0 && errno != EINTR && errno != EAGAIN) {
        output_failed = true;
        ++seen.failed_for_good;
    }
    return result;
}

// Writes the counts with the real write, so that the log is never disturbed nor counted.
__attribute__((destructor)) void write_log() {
    if (!initialised || config.log_path == nullptr) return;
    const int fd = open(config.log_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    char text[512];
    const int length =
        std::snprintf(text, sizeof text,
                      "writes=%lu short=%lu eintr=%lu eagain=%lu eio=%lu failed_for_good=%lu writes_after_failure=%lu "
                      "bytes=%llu reads=%lu read_faults=%lu\n",
                      seen.writes, seen.short_writes, seen.eintr, seen.eagain, seen.eio, seen.failed_for_good,
                      seen.writes_after_failure, seen.bytes, seen.reads, seen.read_faults);
    if (length > 0) (void)real_write(fd, text, static_cast<std::size_t>(length));
    close(fd);
}

}  // namespace

extern "C" ssize_t write(int fd, const void* bytes, std::size_t count) {
    initialise();
    if (!is_watched(fd)) return real_write(fd, bytes, count);

    ++seen.writes;
    if (output_failed) ++seen.writes_after_failure;
    if (config.eio_after_set) {
        if (seen.bytes >= config.eio_after) {
            ++seen.eio;
            return note_result(fail_with(EIO));
        }
        // A write that crosses the limit goes out up to it, as a device failing mid-write would.
        const std::uint64_t room = config.eio_after - seen.bytes;
        if (count > room) return note_result(real_write(fd, bytes, static_cast<std::size_t>(room)));
    }

    const double chance = next_chance();
    if (chance < config.eintr_rate) {
        ++seen.eintr;
        return fail_with(EINTR);
    }
    if (chance < config.eintr_rate + config.eagain_rate) {
        ++seen.eagain;
        return fail_with(EAGAIN);
    }
    if (count > 1 && chance < config.eintr_rate + config.eagain_rate + config.short_rate) {
        ++seen.short_writes;
        const std::size_t part = 1 + static_cast<std::size_t>(next_random() % (count - 1));
        return note_result(real_write(fd, bytes, part));
    }
    return note_result(real_write(fd, bytes, count));
}

extern "C" ssize_t read(int fd, void* bytes, std::size_t count) {
    initialise();
    if (fd < FIRST_FILE_FD) return real_read(fd, bytes, count);

    ++seen.reads;
    if (config.read_fail_at != 0 && seen.reads == config.read_fail_at) {
        ++seen.read_faults;
        return fail_with(config.read_fail_errno);
    }
    return real_read(fd, bytes, count);
}
