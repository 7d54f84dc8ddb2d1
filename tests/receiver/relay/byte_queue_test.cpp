#include "receiver/relay/byte_queue.h"

#include <csignal>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/pipe_pair.h"

namespace {

using namespace pushfile;
using namespace pushfile::receive;
using namespace pushfile_test;

// The command's keyboard queue, alone: answers are kept whole or dropped whole, and a discard
// never cuts one that is already partly written.

TEST(command_input_queue, appends_are_kept_whole_or_dropped_whole) {
    struct step {
        const char* what;
        std::size_t capacity;
        std::vector<std::string> appends;
        std::string written;  // what one write_to() then puts in the pipe
    };
    const step steps[] = {
        {"all fit", 8, {"ky", "ky", "no"}, "kykyno"},
        {"the one that would cross the end is dropped, a later one that fits is kept",
         5,
         {"ky", "ky", "no", "k"},
         "kykyk"},
        {"one larger than the queue is dropped", 4, {"abcde", "ky"}, "ky"},
    };
    for (const step& item : steps) {
        command_input_queue queue(item.capacity);
        for (const std::string& bytes : item.appends) queue.append(bytes_of(bytes), bytes.size());
        pipe_pair pipe;
        EXPECT_EQ(queue.write_to(pipe.write_end), write_outcome::done) << item.what;
        EXPECT_EQ(pipe.drain(), item.written) << item.what;
        EXPECT_TRUE(queue.empty()) << item.what;
    }
}

TEST(command_input_queue, discard_drops_what_is_queued_but_finishes_an_append_already_begun) {
    // Appends larger than a pipe's atomic size, so that a pipe takes part of them, whole pages
    // at a time, as a terminal would take part of an answer.
    constexpr std::size_t page = 4096;
    struct step {
        const char* what;
        std::vector<std::size_t> sizes;  // of the appends, made of 'a', 'b', 'c', ...
        std::size_t room;                // what the pipe takes of the first write
        std::string written_after_discard;
    };
    const step steps[] = {
        {"nothing written yet: all dropped", {page, page + page / 2, page}, 0, ""},
        {"the first written whole: the rest dropped", {page, page + page / 2, page}, page, ""},
        {"part of the first written: its rest stays", {page + page / 2, page, page}, page, std::string(page / 2, 'a')},
        {"the first and part of the second written",
         {page, page + page / 2, page},
         2 * page,
         std::string(page / 2, 'b')},
    };
    for (const step& item : steps) {
        command_input_queue queue(8 * page);
        char letter = 'a';
        for (const std::size_t size : item.sizes) {
            const std::string bytes(size, letter++);
            queue.append(bytes_of(bytes), bytes.size());
        }
        pipe_pair pipe;
        pipe.leave_room(item.room);
        EXPECT_EQ(queue.write_to(pipe.write_end), write_outcome::partial) << item.what;
        queue.discard_queued();
        pipe.drain();
        EXPECT_EQ(queue.write_to(pipe.write_end), write_outcome::done) << item.what;
        const std::string kept = pipe.drain();
        EXPECT_TRUE(kept == item.written_after_discard) << item.what << ": " << kept.size() << " bytes";
        // Whatever was kept, a new answer comes whole after it, and a second discard drops the next.
        queue.append(bytes_of("ky"), 2);
        queue.write_to(pipe.write_end);
        EXPECT_EQ(pipe.drain(), "ky") << item.what;
        queue.append(bytes_of("no"), 2);
        queue.discard_queued();
        EXPECT_TRUE(queue.empty()) << item.what << ": a stale answer stays queued";
    }
}

TEST(command_input_queue, a_reader_gone_empties_it) {
    command_input_queue queue(16);
    queue.append(bytes_of("ky"), 2);
    pipe_pair pipe;
    close(pipe.read_end);
    pipe.read_end = -1;
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(queue.write_to(pipe.write_end), write_outcome::failed);
    std::signal(SIGPIPE, previous);
    EXPECT_TRUE(queue.empty());
}

}  // namespace
