#include "session.h"

#include <utility>

namespace pushfile::receive {
namespace {

constexpr unsigned char INTERRUPT_KEY = 0x03;  // Ctrl-C cancels a file while it arrives

}  // namespace

transfer_session::transfer_session(file_sink& sink, progress_display& progress, session_options options)
    : sink_(sink), progress_(progress), options_(std::move(options)) {
    sent_path_.reserve(MAX_PATH_LENGTH);
}

void transfer_session::command_output(const unsigned char* bytes, std::size_t length, byte_sink& screen,
                                      byte_sink& command_input) {
    screen_ = &screen;
    command_input_ = &command_input;
    parser_.feed(bytes, length, *this);
    screen_ = nullptr;
    command_input_ = nullptr;
}

// While a file arrives, keystrokes would reach the sender as replies and break the transfer, so
// they are not passed on; Ctrl-C cancels the file instead.
bool transfer_session::wants_keyboard() const { return file_in_progress(); }

void transfer_session::keyboard(const unsigned char* bytes, std::size_t length, byte_sink& command_input) {
    if (phase_ == phase::asking) {
        if (length == 0) return;
        command_input_ = &command_input;
        const bool yes = bytes[0] == 'y' || bytes[0] == 'Y';
        progress_.answered(yes);
        if (yes) {
            start_file();
        } else {
            decline("declined");
        }
        command_input_ = nullptr;
        return;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] == INTERRUPT_KEY) cancelled_ = true;
    }
}

void transfer_session::keyboard_ended(byte_sink& command_input) {
    keyboard_open_ = false;
    if (phase_ != phase::asking) return;
    command_input_ = &command_input;
    decline("no answer can come: the keyboard input has ended");
    command_input_ = nullptr;
}

void transfer_session::decline(const std::string& reason) {
    fail_file(reason);
    reply(false);
}

void transfer_session::tick(clock::time_point now) { progress_.tick(now); }

void transfer_session::output_ended(const char* reason, byte_sink& screen) {
    // A message prefix held back at the very end was ordinary output after all.
    screen_ = &screen;
    parser_.finish(*this);
    screen_ = nullptr;
    if (file_in_progress()) {
        fail_file(reason != nullptr ? reason : "the command's output ended before the file did");
    }
    phase_ = phase::idle;
}

bool transfer_session::file_in_progress() const {
    return phase_ == phase::announced || phase_ == phase::asking || phase_ == phase::receiving;
}

void transfer_session::pass_through(const unsigned char* bytes, std::size_t length) {
    screen_->append(bytes, length);
}

void transfer_session::path_message(std::string_view path) {
    if (file_in_progress()) fail_file("a new file began before this one ended");
    sent_path_.assign(path);
    progress_.file_named(sent_path_);
    phase_ = phase::announced;
    cancelled_ = false;
}

void transfer_session::size_message(std::uint64_t size) {
    if (phase_ != phase::announced) {
        if (file_in_progress()) {
            fail_file("a second size message came");
        } else if (phase_ == phase::idle) {
            progress_.notice("refused a file size that came without a file name");
        }
        reply(false);
        return;
    }
    announced_size_ = size;
    if (options_.max_size && size != UNKNOWN_SIZE && size > *options_.max_size) {
        fail_file("it is larger than the limit of " + human_size(*options_.max_size));
        reply(false);
        return;
    }
    if (options_.ask && !keyboard_open_) {
        decline("no answer can come: the keyboard input has ended");
        return;
    }
    if (options_.ask) {
        phase_ = phase::asking;
        progress_.ask_about_file(size);
        return;
    }
    start_file();
}

void transfer_session::start_file() {
    progress_.file_started(announced_size_, clock::now());
    if (!sink_.begin(sent_path_)) {
        fail_file(sink_.error());
        reply(false);
        return;
    }
    phase_ = phase::receiving;
    reply(true);
}

void transfer_session::block_message(const unsigned char* bytes, std::size_t length) {
    if (phase_ != phase::receiving) {
        if (file_in_progress()) fail_file("data came before its size");
        reply(false);
        return;
    }
    if (cancelled_) {
        fail_file("cancelled");
    } else if (announced_size_ != UNKNOWN_SIZE && length > announced_size_ - sink_.bytes_written()) {
        fail_file("more data came than its size announced");
    } else if (options_.max_size && length > *options_.max_size - sink_.bytes_written()) {
        fail_file("it is larger than the limit of " + human_size(*options_.max_size));
    } else if (!sink_.write(bytes, length)) {
        fail_file(sink_.error());
    } else {
        progress_.file_advanced(sink_.bytes_written(), clock::now());
        reply(true);
        return;
    }
    reply(false);
}

void transfer_session::end_message() {
    switch (phase_) {
        case phase::idle: progress_.notice("ignored the end of a file that never began"); break;
        case phase::announced:
            fail_file("the sender could not read it");
            break;
        case phase::asking: fail_file("it ended before it was accepted"); break;
        case phase::receiving:
            if (cancelled_) {
                fail_file("cancelled");
            } else if (const std::uint64_t received = sink_.bytes_written();
                       announced_size_ != UNKNOWN_SIZE && received != announced_size_) {
                fail_file("only " + std::to_string(received) + " of its " + std::to_string(announced_size_) +
                          " bytes came");
            } else if (!sink_.commit()) {
                fail_file(sink_.error());
            } else {
                ++files_saved_;
                progress_.file_saved(options_.directory + "/" + sink_.saved_name());
            }
            break;
        case phase::refusing: break;
    }
    phase_ = phase::idle;
}

void transfer_session::rejected_message(message_kind kind, parse_error error) {
    if (file_in_progress()) {
        fail_file(std::string("the transfer broke: ") + describe(error));
    } else if (phase_ == phase::idle) {
        progress_.notice(std::string("ignored ") + describe(error));
        // Anything left of a broken file is refused until the next file begins.
        phase_ = phase::refusing;
    }
    // A sender waits for an answer to each size and block message.
    if (kind == message_kind::size || kind == message_kind::block) reply(false);
}

void transfer_session::fail_file(const std::string& reason) {
    sink_.abort();
    progress_.file_failed(reason);
    phase_ = phase::refusing;
}

void transfer_session::reply(bool accepted) {
    if (command_input_ == nullptr) return;
    command_input_->append(accepted ? REPLY_ACCEPTED : REPLY_REFUSED, REPLY_LENGTH);
}

}  // namespace pushfile::receive
