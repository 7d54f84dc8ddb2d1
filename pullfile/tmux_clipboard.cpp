#include "pullfile/tmux_clipboard.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/display.h"
#include "common/owned_fd.h"

extern char** environ;

namespace pushfile::pull {
namespace {

constexpr const char* FACTS_FORMAT = "#{version}|#{escape-time}|#{session_attached}|#{client_termfeatures}";
constexpr int FACTS_WAIT_MS = 2000;
constexpr long LEAST_ESCAPE_TIME_MS = 128;

// Starts tmux with args, its output into output_fd (-1: nowhere); 0 when it could not start.
pid_t start_tmux(const std::vector<const char*>& args, int output_fd) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return 0;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return 0;
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (output_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // pullfile blocks its ending signals and ignores SIGPIPE; tmux gets the usual ones.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const char* arg : args) argv.push_back(const_cast<char*>(arg));
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, "tmux", &actions, &attributes, argv.data(), environ) != 0) child = 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return child;
}

// What `tmux display -p` prints for the pane, or empty.
std::string read_facts(const std::string& pane) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return {};
    owned_fd reading(ends[0]);
    owned_fd writing(ends[1]);
    const pid_t child = start_tmux({"tmux", "display-message", "-p", "-t", pane.c_str(), FACTS_FORMAT}, writing.get());
    writing.reset();
    if (child == 0) return {};
    std::string line;
    char buffer[512];
    const auto deadline = monotonic_clock::now() + std::chrono::milliseconds(FACTS_WAIT_MS);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - monotonic_clock::now()).count();
        pollfd entry{reading.get(), POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) break;
        const ssize_t got = read(reading.get(), buffer, sizeof buffer);
        if (got <= 0 || line.size() > 4096) break;
        line.append(buffer, static_cast<std::size_t>(got));
    }
    // Its output ended: it is on its way out, but may not be gone yet.
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 && monotonic_clock::now() < deadline) {
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    if (ended != child) {
        kill(child, SIGKILL);
        (void)waitpid(child, &status, 0);
        return {};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// What tmux says of a count or a time: 1..9 digits.
bool parse_small_number(std::string_view text, long* value) {
    std::uint64_t parsed = 0;
    if (!parse_decimal(text, 9, &parsed)) return false;
    *value = static_cast<long>(parsed);
    return true;
}

}  // namespace

bool parse_tmux_facts(const std::string& line, tmux_facts* facts) {
    std::vector<std::string_view> fields;
    std::string_view rest(line);
    for (std::size_t bar; (bar = rest.find('|')) != std::string_view::npos; rest.remove_prefix(bar + 1)) {
        fields.push_back(rest.substr(0, bar));
    }
    fields.push_back(rest);
    if (fields.size() != 4) return false;
    // "3.3a", or "next-3.6" for a build between releases.
    std::string_view version = fields[0];
    if (version.starts_with("next-")) version.remove_prefix(5);
    const std::size_t dot = version.find('.');
    long major = 0;
    long minor = 0;
    std::size_t minor_end = dot + 1;
    while (dot != std::string_view::npos && minor_end < version.size() && version[minor_end] >= '0' &&
           version[minor_end] <= '9') {
        ++minor_end;
    }
    if (dot == std::string_view::npos || !parse_small_number(version.substr(0, dot), &major) ||
        !parse_small_number(version.substr(dot + 1, minor_end - dot - 1), &minor)) {
        return false;
    }
    facts->major = static_cast<int>(major);
    facts->minor = static_cast<int>(minor);
    if (!parse_small_number(fields[1], &facts->escape_time_ms) || !parse_small_number(fields[2], &facts->clients_attached)) {
        return false;
    }
    facts->client_has_clipboard = false;
    for (std::string_view features = fields[3]; !features.empty();) {
        const std::size_t comma = features.find(',');
        if (features.substr(0, comma) == "clipboard") facts->client_has_clipboard = true;
        features = comma == std::string_view::npos ? std::string_view() : features.substr(comma + 1);
    }
    return true;
}

std::size_t largest_clipboard_chunk(const tmux_facts& facts, std::string* why_not) {
    const int version = facts.major * 100 + facts.minor;
    if (version < 303 || version >= 307) {
        *why_not = "tmux " + std::to_string(facts.major) + "." + std::to_string(facts.minor) +
                   " does not pass clipboard answers to a pane";
    } else if (facts.escape_time_ms < LEAST_ESCAPE_TIME_MS) {
        *why_not = "tmux's escape-time of " + std::to_string(facts.escape_time_ms) + " ms is too short for answers";
    } else if (facts.clients_attached != 1) {
        *why_not = std::to_string(facts.clients_attached) + " clients are attached to the session";
    } else if (!facts.client_has_clipboard) {
        *why_not = "tmux does not know the client's terminal to have a clipboard";
    } else {
        // Answers start at a quarter of this and grow while they arrive in good time.
        return std::clamp(static_cast<std::size_t>(facts.escape_time_ms) * CHUNK_BYTES_PER_ESCAPE_MS,
                          MIN_CLIPBOARD_CHUNK, MAX_CLIPBOARD_CHUNK);
    }
    return 0;
}

bool tmux_clipboard::probe(std::string* why_not) {
    const char* pane = std::getenv("TMUX_PANE");
    if (std::getenv("TMUX") == nullptr || pane == nullptr || !isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        *why_not = "not in a tmux pane";
        return false;
    }
    pane_ = pane;
    tmux_facts facts;
    if (!parse_tmux_facts(read_facts(pane_), &facts)) {
        *why_not = "tmux did not say what it is";
        return false;
    }
    largest_chunk_ = largest_clipboard_chunk(facts, why_not);
    chunk_ = std::max(largest_chunk_ / 4, MIN_CLIPBOARD_CHUNK);
    escape_time_ = std::chrono::milliseconds(facts.escape_time_ms);
    std::uint64_t random = 0;
    if (largest_chunk_ == 0 || getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return false;
    static_assert(CLIPBOARD_TOKEN_LENGTH == 2 * sizeof random);
    format_hex(random, CLIPBOARD_TOKEN_LENGTH, token_.data());
    token_[CLIPBOARD_TOKEN_LENGTH] = '\0';
    return true;
}

std::size_t next_clipboard_chunk(std::size_t chunk, std::size_t largest, monotonic_clock::duration answer_took,
                                 monotonic_clock::duration took_at_half, std::chrono::milliseconds escape_time) {
    if (answer_took >= escape_time / 4) return chunk;
    const std::size_t next = std::min(2 * chunk, largest);
    const bool round_trip_bound = took_at_half.count() > 0 && 2 * answer_took < 3 * took_at_half;
    if (next > LARGE_CLIPBOARD_CHUNK && !round_trip_bound) return std::max(chunk, LARGE_CLIPBOARD_CHUNK);
    return next;
}

bool tmux_clipboard::grow(monotonic_clock::duration answer_took) {
    fastest_ = std::min(fastest_, answer_took);
    const std::size_t next = next_clipboard_chunk(chunk_, largest_chunk_, fastest_, fastest_at_half_, escape_time_);
    if (next == chunk_) return false;
    fastest_at_half_ = next == 2 * chunk_ ? fastest_ : monotonic_clock::duration{0};
    fastest_ = monotonic_clock::duration::max();
    chunk_ = next;
    return true;
}

bool tmux_clipboard::shrink() {
    if (chunk_ <= MIN_CLIPBOARD_CHUNK) return false;
    chunk_ = std::max(chunk_ / 2, MIN_CLIPBOARD_CHUNK);
    largest_chunk_ = chunk_;
    fastest_ = monotonic_clock::duration::max();
    fastest_at_half_ = monotonic_clock::duration{0};
    return true;
}

bool tmux_clipboard::ask(monotonic_clock::time_point now) {
    reap();
    const auto free_slot = std::find(children_.begin(), children_.end(), 0);
    if (free_slot == children_.end()) return false;
    *free_slot = start_tmux({"tmux", "refresh-client", "-l", pane_.c_str()}, -1);
    if (*free_slot == 0) return false;
    asking_ = true;
    asked_at_ = now;
    return true;
}

void tmux_clipboard::reap() {
    for (pid_t& child : children_) {
        int status = 0;
        if (child != 0 && waitpid(child, &status, WNOHANG) == child) child = 0;
    }
}

}  // namespace pushfile::pull
