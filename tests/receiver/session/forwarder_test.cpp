// The forwarder without tmux: streams in, the bytes it puts on the screen out, plain and wrapped.
#include "receiver/session/forwarder.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/stream_builder.h"

namespace {

using namespace pushfile;
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

std::string pullfile_message(const std::string& code_and_body) { return "\x1b}f" + code_and_body + '\0'; }

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
        {"pullfile's messages",
         {{false, "$ pullfile\r\n"}, {true, pullfile_message("u/home/\x1b[2Jme")}, {true, pullfile_message("a12")},
          {true, pullfile_message("h3;0")}, {true, pullfile_message("h4;9;0123456789abcdef0123456789abcdef")},
          {true, pullfile_message("e3 cannot save a: \x1b[31m")}, {true, pullfile_message("q255")}, {false, "$ "}}},
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

// pullfile reads its frames through the command's terminal for as long as its user takes to choose.
TEST(message_forwarder, holds_the_terminal_from_pullfiles_request_to_its_end) {
    struct terminal_calls final : command_terminal {
        void hold_for_transfer() override { held = true; }
        void release_after_transfer() override { held = false; }
        void drop_unread_and_release() override { held = false; }
        bool release_pending() const override { return false; }
        bool take_bottom_row() override { return false; }
        void give_bottom_row_back() override {}
        bool held = false;
    } terminal;
    recorded_screen screen;
    message_forwarder forwarder(false, screen);
    forwarder.command_started(terminal);
    const auto feed = [&](const std::string& bytes) {
        forwarder.command_output(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    };
    feed(pullfile_message("u/dl"));
    EXPECT_TRUE(terminal.held);
    forwarder.tick(monotonic_clock::now() + std::chrono::minutes(5));
    EXPECT_TRUE(terminal.held) << "released while the user chose files";
    feed(pullfile_message("q0"));
    EXPECT_FALSE(terminal.held);
}

}  // namespace
