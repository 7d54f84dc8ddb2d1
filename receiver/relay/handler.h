// What the relay calls and what it hands out: the handler of the command's output, the byte
// queues it writes to, the command's terminal as a transfer changes it, and the relay's bounds a
// handler must keep within. Nothing here knows what the handler looks for in the output.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "common/clock.h"

namespace pushfile::receive {

// The most the relay reads from the command's terminal (or the keyboard) at once: a handler gets
// chunks of at most this many bytes.
inline constexpr std::size_t COMMAND_READ_SIZE = std::size_t{64} * 1024;
// The most bytes a handler may hold back and then release at once (something that turned out not
// to be what it was waiting for). The relay keeps this much room in its screen queue beyond each read.
inline constexpr std::size_t MAX_HELD_BYTES = std::size_t{80} * 1024;
// A handler may put on the screen up to this many times what it was given and held back: a
// message forwarded in tmux's passthrough takes at most about three times its own length.
inline constexpr std::size_t MAX_OUTPUT_GROWTH = 4;

// A bounded byte queue the handler appends to; the relay drains it.
class byte_sink {
public:
    virtual void append(const unsigned char* bytes, std::size_t length) = 0;

protected:
    ~byte_sink() = default;
};

// The command's keyboard, where answers can turn stale before they are written.
class input_sink : public byte_sink {
public:
    // Drops every byte still queued, not yet written (stale answers when a new transfer begins),
    // but for the rest of an append already partly written: half an answer would be a broken one.
    virtual void discard_queued() = 0;
    // Drops every byte queued, the rest of a partly written append too: what reads it is gone,
    // and that rest would reach whatever reads next as text of no meaning.
    virtual void drop_all() = 0;

protected:
    ~input_sink() = default;
};

// The command's terminal, as far as a transfer changes it.
class command_terminal {
public:
    // When the terminal is in line mode or echoes, switches both off as the next answers are
    // written, so that they reach the command at once and do not show on the screen.
    virtual void hold_for_transfer() = 0;
    // Puts back exactly what hold_for_transfer() found, once the answers queued so far are
    // written, unless the command changed the mode itself meanwhile.
    virtual void release_after_transfer() = 0;
    // The transfer was given up: what the command has not read yet of its input (answers nobody
    // will read) is dropped, and the mode is put back now.
    virtual void drop_unread_and_release() = 0;
    // A release is waiting for the answers to reach the command's side.
    virtual bool release_pending() const = 0;
    // Makes the command's window one row shorter, so that a full-screen program keeps off the
    // screen's last row, which is then free to draw on; the window follows the user's less that
    // row until it is given back. False when it cannot be (no window size, a single row).
    virtual bool take_bottom_row() = 0;
    // The window's full height again: a full-screen program redraws its whole screen.
    virtual void give_bottom_row_back() = 0;
    // The working folder of the program in the terminal's foreground (the ssh the user started
    // from a shell in some folder, say), or empty when it cannot be known.
    virtual std::string foreground_folder() const { return {}; }

protected:
    ~command_terminal() = default;
};

// Sees what the command writes, and may answer it. A handler is made with the two queues it
// writes to, the same ones run_relay() is given: the screen (screen_writer::command_output()) and
// the command's input (command_input_queue).
class stream_handler {
public:
    // The command runs; its terminal is there until its output ends.
    virtual void command_started(command_terminal& terminal) { (void)terminal; }
    // Bytes the command wrote, in order, in chunks of any size up to COMMAND_READ_SIZE. Bytes
    // meant for the user's screen go to the screen queue; answers go to the command's input, in
    // the order they must arrive. The screen has room for MAX_OUTPUT_GROWTH times the chunk and
    // MAX_HELD_BYTES: a handler puts there no more than that many times what it was given plus
    // what it held back, and holds back at most MAX_HELD_BYTES.
    virtual void command_output(const unsigned char* bytes, std::size_t length) = 0;
    // Whether the command's output should wait unread for now (the terminal holds it, and the
    // command blocks once that is full): a question on the screen that it must not cover.
    virtual bool output_paused() const { return false; }
    // Whether keystrokes should go to the handler instead of the command (during a transfer).
    // While it wants them they are read whether or not the command's input queue has room.
    virtual bool wants_keyboard() const = 0;
    virtual void keyboard(const unsigned char* bytes, std::size_t length) = 0;
    // The command's input queue has free bytes of room, before and after each write to the
    // command: a handler that types input of its own (an upload's frames) appends what fits. Only
    // what the handler appends changes the room between these calls.
    virtual void command_input_room(std::size_t free) { (void)free; }
    // The relay's standard input has ended: no more keystrokes will come.
    virtual void keyboard_ended() = 0;
    // Whether tick() is wanted now (a progress line to redraw, held bytes to let go of once the
    // command is quiet). Otherwise the relay sleeps until something happens: a receiver wrapping a
    // whole session must not wake while it is idle.
    virtual bool wants_ticks() const = 0;
    // Called a few times a second while wants_ticks(). Held bytes let go of go to the screen.
    virtual void tick(monotonic_clock::time_point now) = 0;
    // The command's output has ended (reason null) or the receiver is stopping (reason says why):
    // end any unfinished work. Bytes still held back go to the screen now; they always fit.
    virtual void output_ended(const char* reason) = 0;

protected:
    ~stream_handler() = default;
};

}  // namespace pushfile::receive
