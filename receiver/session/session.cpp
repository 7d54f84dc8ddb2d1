#include "receiver/session/session.h"

#include <algorithm>
#include <utility>

namespace pushfile::receive {

// The relay keeps room for what a handler holds back; a message the parser holds, and the output
// the upload holds to see whether it is echo, must fit in it.
static_assert(MAX_RELEASE_BYTES + ECHO_HELD_LIMIT <= MAX_HELD_BYTES);

transfer_session::transfer_session(file_sink& sink, progress_display& progress, session_options options,
                                   byte_sink& screen, input_sink& command_input)
    : stream_parser_events(&upload_),
      sink_(sink),
      progress_(progress),
      options_(std::move(options)),
      screen_(screen),
      command_input_(command_input),
      upload_(*this, progress, screen, command_input, options_.upload) {
    sent_path_.reserve(MAX_PATH_LENGTH);
}

void transfer_session::command_output(const unsigned char* bytes, std::size_t length) {
    last_output_at_ = monotonic_clock::now();
    stall_told_ = false;
    const bool was_open = file_open();
    parser_.feed(bytes, length, *this);
    if (was_open && !file_open()) file_closed_at_ = last_output_at_;
    upload_.output_parsed();
    settle_command_terminal();
    deliver_kept_keys_when_due(last_output_at_);
}

bool transfer_session::wants_ticks() const {
    return progress_.line_shown() || ignored_count_ > 0 || summary_.pending() || kept_length_ > 0 ||
           (blocks_under_way() && !stall_told_) ||
           (!file_open() && parser_.in_message()) || upload_.wants_ticks();
}

void transfer_session::tick(monotonic_clock::time_point now) {
    progress_.tick(now);
    upload_.tick(now);
    deliver_kept_keys_when_due(now);
    tell_of_a_stall(now);
    if (now - last_output_at_ < QUIET_BEFORE_RELEASE) return;
    show_ignored();
    if (!file_open()) show_summary();
    if (!file_open() && parser_.in_message()) finish_held_output();
}

// A sender waits for the answer to each block, and a tmux between drops what it passes on for a
// client that falls behind: a block lost there leaves both sides waiting. The user learns of it,
// and of the way out, rather than watching a line that no longer moves.
void transfer_session::tell_of_a_stall(monotonic_clock::time_point now) {
    if (stall_told_ || !blocks_under_way() || now - last_output_at_ < STALL_NOTICE_AFTER) return;
    stall_told_ = true;
    progress_.file_stalled(std::chrono::duration_cast<std::chrono::seconds>(STALL_NOTICE_AFTER));
}

// A message held back is let go of; a broken block's remains among it are told about.
void transfer_session::finish_held_output() {
    parser_.finish(*this);
    if (hidden_block_bytes_ > 0) progress_.notice(hidden_block_text());
}

// A killed sender leaves up to a block's letters (about 74 KB), which on the screen are hundreds of
// lines of nothing, ahead of the reason they stopped.
bool transfer_session::hide_broken_block(std::size_t length) {
    hidden_block_bytes_ += length;
    return true;
}

std::string transfer_session::hidden_block_text() {
    std::string text = std::to_string(hidden_block_bytes_) + " bytes of a broken transfer block were not shown";
    hidden_block_bytes_ = 0;
    return text;
}

void transfer_session::output_ended(const char* reason) {
    // A message prefix held back at the very end was ordinary output after all.
    finish_held_output();
    upload_.output_quiet(monotonic_clock::now());
    show_ignored();
    if (phase_ == phase::committed) {
        // Saved before its end message could come: it is complete all the same.
        report_saved();
    } else if (file_in_progress()) {
        fail_file(reason != nullptr ? reason : "the command's output ended before the file did");
    }
    phase_ = phase::idle;
    show_summary();
    forget_answers_ahead();
    upload_.output_ended(reason);
    command_terminal_ = nullptr;  // closed with the output
    kept_length_ = 0;             // nobody left to read them
}

bool transfer_session::file_in_progress() const {
    return phase_ == phase::announced || phase_ == phase::asking || phase_ == phase::receiving ||
           phase_ == phase::skipping;
}

bool transfer_session::file_open() const { return file_in_progress() || phase_ == phase::committed; }

void transfer_session::pass_through(const unsigned char* bytes, std::size_t length) {
    // The command speaks again between files: a tree's burst is over, and its summary goes ahead of
    // what follows (the sender's own lines, the shell's prompt). The zero byte after a file's end
    // may come on its own and says nothing; nor does a full-screen program (a remote tmux) redrawing.
    const auto not_zero = [](unsigned char byte) { return byte != 0; };
    if (summary_.pending() && !file_open() && !progress_.full_screen_program() &&
        std::any_of(bytes, bytes + length, not_zero)) {
        show_summary();
    }
    upload_.command_output(bytes, length);
}

void transfer_session::path_message(std::string_view path) {
    show_ignored();
    if (file_in_progress()) fail_file("a new file began before this one ended");
    if (phase_ == phase::committed) {
        report_saved();
    }
    drop_stale_answers();
    if (!burst_summary::summarised(path)) show_summary();
    sent_path_.assign(path);
    progress_.file_named(summary_.progress_name(sent_path_));
    phase_ = phase::announced;
    refusal_written_ = false;
    skip_reported_ = false;
}

// A path message starts a conversation. Answers still under way were meant for messages that came
// before it: a sender sends its next file only after the end of the one before, which wrote its
// answers off, so these belong to a sender that is gone or to output that only looked like a
// transfer. Those still queued must not reach this sender; its own terminal set-up discards those
// that reached its terminal already.
void transfer_session::drop_stale_answers() {
    command_input_.discard_queued();
    forget_answers_ahead();
}

transfer_session::answered_ahead transfer_session::take_answer() {
    if (accepts_ahead_ > 0) {
        --accepts_ahead_;
        return answered_ahead::accepted;
    }
    if (refusal_ahead_) {
        refusal_ahead_ = false;
        return answered_ahead::refused;
    }
    return answered_ahead::no;
}

// The message that came must be refused. If it was accepted ahead, the refusal goes out now and
// reaches the sender after the accepts it still has to read; the messages those bring are dropped.
// A sender's run ends at the first refusal it reads, so one is written per file: after a give-up,
// which wrote off what went out ahead, the blocks still under way would each be refused, and all
// but the first refusal would reach whatever reads the terminal next (a shell, over ssh without
// a terminal, runs them as a command).
void transfer_session::refuse(answered_ahead answered) {
    if (answered == answered_ahead::refused || refusal_written_) return;
    reply(false);
    refusal_written_ = true;
    if (answered == answered_ahead::accepted) refusal_ahead_ = true;
}

void transfer_session::accept(answered_ahead answered) {
    if (answered == answered_ahead::no) reply(true);
}

void transfer_session::size_message(std::uint64_t size) {
    const answered_ahead answered = take_answer();
    if (phase_ != phase::announced) {
        if (file_open()) {
            give_up_file("a second size message came");
            refuse(answered);
        } else if (phase_ == phase::refusing) {
            refuse(answered);
        } else if (answered == answered_ahead::no) {
            // Not answered: a sender always names its file first, so this is output that only
            // looks like a transfer, and an answer would reach whatever reads next.
            note_ignored("a file size that came without a file name");
        }
        return;
    }
    announced_size_ = size;
    if (options_.max_size && size != UNKNOWN_SIZE && size > *options_.max_size) {
        fail_file(over_the_limit(size));
        refuse(answered);
        return;
    }
    if (options_.ask && !keyboard_open_) {
        decline("no answer can come: the keyboard input has ended");
        return;
    }
    if (options_.ask) {
        phase_ = phase::asking;
        progress_.ask_about_file(size, command_terminal_);
        return;
    }
    start_file(answered);
}

void transfer_session::start_file(answered_ahead answered) {
    progress_.file_started(announced_size_, monotonic_clock::now());
    std::string error;
    if (!sink_.begin(sent_path_, &error)) {
        if (sink_.path_refused()) {
            // Only this file's path is at fault (a file where its folder should be): its data is
            // dropped and the sender's run goes on with the next file.
            tell_failure(error);
            count_blocks_from();
            phase_ = phase::skipping;
            skip_reported_ = true;
            accept(answered);
            return;
        }
        fail_file(error);
        refuse(answered);
        return;
    }
    count_blocks_from();
    if (announced_size_ == 0) {
        // Nothing more will come: the size's answer confirms the file is stored.
        if (!sink_.commit(&error)) {
            fail_file(error);
            refuse(answered);
            return;
        }
        phase_ = phase::committed;
        accept(answered);
        return;
    }
    // Blocks are answered ahead only once the first has come: a file that cannot be read (a
    // directory, a file that shrank to nothing) sends none, and answers ahead of it would be lost.
    phase_ = phase::receiving;
    accept(answered);
}

// Tops the answers ahead up to what the window allows for the bytes still to come.
void transfer_session::send_answers_ahead() {
    if (!options_.answer_ahead || (phase_ != phase::receiving && phase_ != phase::skipping) ||
        announced_size_ == UNKNOWN_SIZE || refusal_ahead_ || received_ >= announced_size_) {
        return;
    }
    const std::uint64_t limit = window_.answers_allowed(announced_size_ - received_);
    while (accepts_ahead_ < limit) {
        reply(true);
        ++accepts_ahead_;
    }
}

// The sender goes on with the file, whose data is dropped; its run goes on after it.
void transfer_session::skip_file() {
    count_blocks_from();
    phase_ = phase::skipping;
    reply(true);
}

// A file's blocks begin: none came yet, and the window opens at its first block.
void transfer_session::count_blocks_from() {
    window_.restart();
    received_ = 0;
}

void transfer_session::block_message(const unsigned char* bytes, std::size_t length) {
    const answered_ahead answered = take_answer();
    switch (phase_) {
        case phase::receiving:
        case phase::skipping: receive_block(bytes, length, answered); return;
        case phase::committed:
            // The file grew on the sender's side after all its announced bytes came; the sender
            // goes on until its read finds the end.
            if (grow_saved_file(bytes, length)) {
                accept(answered);
                return;
            }
            break;
        case phase::announced:
        case phase::asking: fail_file("data came before its size"); break;
        case phase::refusing: break;
        case phase::idle: return;  // nothing announced: not answered, like a stray size
    }
    refuse(answered);
}

void transfer_session::receive_block(const unsigned char* bytes, std::size_t length, answered_ahead answered) {
    const bool saving = phase_ == phase::receiving;
    std::string error;
    if (saving && options_.max_size && length > *options_.max_size - received_) {
        fail_file(over_the_limit(received_ + length));
    } else if (saving && !sink_.write(bytes, length, &error)) {
        fail_file(error);
    } else {
        received_ += length;
        // A file that grew before the sender read it fills its last block beyond the size.
        if (announced_size_ != UNKNOWN_SIZE && received_ >= announced_size_ && saving) {
            // The last block: its answer tells the sender the file is stored, so store it first.
            if (!sink_.commit(&error)) {
                fail_file(error);
                refuse(answered);
                return;
            }
            phase_ = phase::committed;
        }
        if (saving) progress_.file_advanced(received_, monotonic_clock::now());
        accept(answered);
        window_.block_arrived(length, received_, monotonic_clock::now());
        send_answers_ahead();
        return;
    }
    refuse(answered);
}

// Every block that comes after the announced size is added to the saved file and flushed before
// it is answered, so that a sender's last answer still means that all it sent is on disk: the
// sender only finds its file's end after that answer, and nothing answers its end message.
bool transfer_session::grow_saved_file(const unsigned char* bytes, std::size_t length) {
    if (options_.max_size && length > *options_.max_size - received_) {
        give_up_file(over_the_limit(received_ + length));
        return false;
    }
    if (std::string error; !sink_.append_to_saved(bytes, length, &error)) {
        give_up_file(error);
        return false;
    }
    received_ += length;
    progress_.file_advanced(received_, monotonic_clock::now());
    return true;
}

void transfer_session::end_message() {
    switch (phase_) {
        case phase::idle: note_ignored("the end of a file that never began"); break;
        case phase::announced: fail_file("the sender could not read it"); break;
        case phase::asking: fail_file("it ended before it was accepted"); break;
        case phase::committed: report_saved(); break;
        case phase::skipping:
            if (!skip_reported_) progress_.file_skipped();
            break;
        case phase::receiving:
            if (announced_size_ != UNKNOWN_SIZE && received_ == 0) {
                // A directory announces a size it never delivers: the size says nothing then.
                fail_file("the sender could not read it");
            } else if (announced_size_ != UNKNOWN_SIZE) {
                fail_file("the sender stopped after " + std::to_string(received_) + " of its " +
                          std::to_string(announced_size_) + " bytes and could not send the rest");
            } else if (std::string error; !sink_.commit(&error)) {
                fail_file(error);
            } else {
                report_saved();
            }
            break;
        case phase::refusing: break;
    }
    phase_ = phase::idle;
    // A file that ended early leaves unread answers behind; a sender's next run throws them away.
    forget_answers_ahead();
}

void transfer_session::rejected_message(message_kind kind, parse_error error) {
    // A sender waits for an answer to each size and block message.
    const bool answer_awaited = kind == message_kind::size || kind == message_kind::block;
    const answered_ahead answered = answer_awaited ? take_answer() : answered_ahead::no;
    std::string what = describe(error);
    if (hidden_block_bytes_ > 0) what += " (" + hidden_block_text() + ")";
    if (file_open()) {
        give_up_file("the transfer broke: " + what);
    } else if (phase_ == phase::idle) {
        note_ignored(what);
        // A sender whose path message broke waits for the answer to its size: its file is
        // refused, at its next message.
        if (kind == message_kind::path) {
            phase_ = phase::refusing;
            refusal_written_ = false;
        }
        return;
    }
    if (answer_awaited) refuse(answered);
}

// Sizes that round to the same text are told apart by their exact byte counts.
std::string transfer_session::over_the_limit(std::uint64_t size) const {
    const std::uint64_t limit = *options_.max_size;
    if (human_size(size) == human_size(limit)) {
        return "it is larger than the limit of " + std::to_string(limit) + " bytes";
    }
    return "it is larger than the limit of " + human_size(limit);
}

void transfer_session::report_saved() {
    if (burst_summary::summarised(sent_path_)) {
        summary_.saved(sent_path_, sink_.saved_name(), received_, sink_.renamed());
        progress_.file_done();
    } else {
        progress_.file_saved(options_.directory + "/" + sink_.saved_name());
    }
}

// A file that was saved already is taken back: the sender is about to be refused, after the
// answers it has not read, which are taken back too: a sender killed mid-file reads none of them.
void transfer_session::give_up_file(const std::string& reason) {
    if (phase_ == phase::committed) sink_.remove_saved();
    fail_file(reason);
    take_back_answers();
}

void transfer_session::fail_file(const std::string& reason) {
    sink_.abort();
    tell_failure(reason);
    phase_ = phase::refusing;
}

void transfer_session::abandon_file(const std::string& reason, sender_told told) {
    // Only a sender whose size was answered waits for answers to its blocks; one that named its
    // file only may send no more message that awaits one.
    const bool sender_waits = blocks_under_way();
    if (phase_ == phase::committed) {
        // Saved, and the sender was told so; only its end message is missing.
        report_saved();
        phase_ = phase::idle;
    } else {
        fail_file(reason);
    }
    take_back_answers();
    // The sender may be waiting for an answer just taken back, or for one to a block that never
    // came (a tmux between drops what it passes on for a client that falls behind): waiting for
    // its next message would then wait for ever. A refusal ends its run whichever answer it
    // reads it as; one that reaches a shell instead is erased by its line kill.
    if (told == sender_told::now && sender_waits) refuse(answered_ahead::no);
    deliver_kept_keys();
}

// While a file is open only answers go to the command, so all it has not read yet is answers:
// they are dropped before the mode is put back, which would otherwise hand them to the next
// program that reads a line.
void transfer_session::take_back_answers() {
    forget_answers_ahead();
    command_input_.discard_queued();
    if (command_terminal_ != nullptr) command_terminal_->drop_unread_and_release();
}

void transfer_session::forget_answers_ahead() {
    accepts_ahead_ = 0;
    refusal_ahead_ = false;
}

// Line mode is off only while answers are written: it comes back once those queued so far have
// reached the command's side, which delivers them as they are. A shell's line editor that looked
// at the mode meanwhile would keep it (no echo) for its next command lines.
// An upload holds the terminal until pullfile ends: the frames go on between its messages.
void transfer_session::settle_command_terminal() {
    if (command_terminal_ != nullptr && !upload_.active()) command_terminal_->release_after_transfer();
}

void transfer_session::upload_requested() {
    show_ignored();
    show_summary();
}

void transfer_session::tell_failure(const std::string& reason) {
    if (burst_summary::summarised(sent_path_)) {
        summary_.failed(sent_path_);
        progress_.file_named(sent_path_);  // the outcome line names it without its place in the burst
    }
    progress_.file_failed(reason);
}

// Files with folders are summed up once their burst ends: the sender is quiet, the output ends, or
// a file without folders comes.
void transfer_session::show_summary() {
    if (!summary_.pending()) return;
    if (const std::string line = summary_.take_line(options_.directory, options_.quiet); !line.empty()) {
        progress_.notice(line);
    }
}

void transfer_session::note_ignored(const std::string& text) {
    if (ignored_count_++ == 0) first_ignored_ = text;
}

void transfer_session::show_ignored() {
    if (ignored_count_ == 0) return;
    std::string text = "ignored " + first_ignored_;
    if (ignored_count_ > 1) {
        text += " and " + std::to_string(ignored_count_ - 1) + " more stray or broken transfer messages";
    }
    ignored_count_ = 0;
    progress_.notice(text);
}

// Every answer is written with line mode and echo off: in line mode it would wait for a newline
// and be echoed on the screen.
void transfer_session::reply(bool accepted) {
    if (command_terminal_ != nullptr) command_terminal_->hold_for_transfer();
    command_input_.append(accepted ? REPLY_ACCEPTED : REPLY_REFUSED, REPLY_LENGTH);
}

}  // namespace pushfile::receive
