// The forwarder without tmux: streams in, the bytes it puts on the screen out, plain and wrapped.
#include "receiver/session/forwarder.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/stream_builder.h"

namespace {

using namespace pushfile::receive;
using namespace pushfile_test;

struct recorded_screen final : byte_sink {
    void append(const unsigned char* bytes, std::size_t length) override {
        text.append(reinterpret_cast<const char*>(bytes), length);
    }
    std::string text;
};

// tmux's passthrough, written out here apart from the code under test.
std::string wrapped(const std::string& message) {
    std::string text = "\x1bPtmux;";
    for (const char c : message) text += c == '\x1b' ? std::string("\x1b\x1b") : std::string(1, c);
    return text + "\x1b\\";
}

struct piece {
    bool message;  // a complete valid message, forwarded; otherwise ordinary output, passed as it is
    std::string bytes;
};

std::string all_bytes(std::size_t count) {
    std::string data(count, '\0');
    for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<char>(i * 7 % 256);
    return data;
}

TEST(message_forwarder, passes_messages_on_plain_or_wrapped_and_everything_else_as_it_came) {
    const std::size_t longest_path = MAX_PATH_LENGTH;
    const std::vector<std::pair<const char*, std::vector<piece>>> rows = {
        {"ordinary output around every kind of message",
         {{false, "$ pushfile a\r\n"}, {true, path_message("dir/a")}, {true, size_message(5)},
          {true, block_message("hello")}, {true, end_message()}, {false, "done\r\n$ "}}},
        {"escapes in a path, a longest path of escapes, a full block, an unknown size",
         {{true, path_message("\x1b[31mred\x1b")}, {true, path_message(std::string(longest_path, '\x1b'))},
          {true, size_message(pushfile::UNKNOWN_SIZE)}, {true, block_message(all_bytes(pushfile::BLOCK_SIZE))},
          {true, block_message(std::string(1, '\x1b'))}, {true, end_message()}}},
        {"broken messages, over-long ones and a bare prefix pass as they came",
         {{false, "\x1b}fs12x"}, {false, std::string("\x1b}fd1 @@\0", 9)}, {false, "\x1b"},
          {true, size_message(7)}, {false, "\x1b}fr" + std::string(longest_path + 1, 'p')},
          {false, block_message(all_bytes(pushfile::BLOCK_SIZE + 1))}, {true, end_message()}, {false, "\x1b}fd408 FAF"}}},
    };
    for (const auto& [name, pieces] : rows) {
        std::string stream, tmux;  // plain, the forwarder gives back what it was given
        for (const piece& p : pieces) {
            stream += p.bytes;
            tmux += p.message ? wrapped(p.bytes) : p.bytes;
        }
        for (const bool wrap : {false, true}) {
            for (const std::size_t chunk : {stream.size(), std::size_t{1}, std::size_t{3}, std::size_t{4096}}) {
                SCOPED_TRACE(std::string(name) + (wrap ? ", wrapped" : ", plain") + ", chunks of " +
                             std::to_string(chunk));
                recorded_screen screen;
                message_forwarder forwarder(wrap, screen);
                for (std::size_t at = 0; at < stream.size(); at += chunk) {
                    const std::string part = stream.substr(at, chunk);
                    forwarder.command_output(reinterpret_cast<const unsigned char*>(part.data()), part.size());
                }
                forwarder.output_ended(nullptr);
                ASSERT_EQ(screen.text, wrap ? tmux : stream);
            }
        }
    }
}

}  // namespace
