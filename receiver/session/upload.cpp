#include "receiver/session/upload.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/display.h"
#include "transfer/clipboard_replies.h"

namespace pushfile::receive {
namespace {

constexpr unsigned char INTERRUPT_KEY = 0x03;
// Erases a line being typed, in line mode and in a shell's line editor alike: frames that reached
// whatever read after pullfile are taken off its line.
constexpr unsigned char LINE_KILL_KEY = 0x15;

}  // namespace

upload_engine::upload_engine(upload_host& host, progress_display& progress, byte_sink& screen,
                             input_sink& command_input, upload_options options)
    : host_(host),
      progress_(progress),
      screen_(screen),
      command_input_(command_input),
      options_(std::move(options)),
      view_(progress.question(), screen, options_.keyboard_is_terminal),
      channel_(command_input),
      pacer_(channel_) {}

upload_engine::~upload_engine() = default;

// pullfile waits for a frame before it does anything: the first goes out at once, P while the
// user is asked, R when uploads are off.
void upload_engine::upload_request(std::string_view body) {
    host_.upload_requested();
    const pushfile::upload_request asked = parse_upload_request(body);
    const monotonic_clock::time_point now = host_.last_output_at();
    if (active()) {
        // A pullfile before this one ended without a word (killed): its upload is over, and its
        // frames not written yet are for nobody.
        progress_.notice("pullfile asked for files again before its last upload ended; that one is over");
        command_input_.discard_queued();
        channel_.abandon();
        end_upload();
    }
    if (!block_) block_ = std::make_unique_for_overwrite<unsigned char[]>(UPLOAD_BLOCK_SIZE);
    pacer_.restart();
    folder_ = escaped_for_display(asked.folder);
    cancel_due_ = cancelled_ = doubt_pullfile_ = dense_keys_ = false;
    shown_file_ = 0;
    files_announced_ = files_saved_ = bytes_saved_ = files_resumed_ = files_skipped_ = 0;
    failed_ = {};
    last_heard_ = now;
    // Line mode and echo stay off until pullfile ends: without a terminal of its own (ssh without
    // -t), it reads the frames through this one.
    if (terminal_ != nullptr) terminal_->hold_for_transfer();
    if (options_.refuse) {
        prepare_last_frame(frame_type::refused);
        stage_ = stage::refusing;
        progress_.notice("refused pullfile's request for files to go up to " + folder_ +
                         ": uploads are off here (--no-upload, or upload = no)");
        return;
    }
    format_version_ = upload_version_for(asked.highest_version);
    prepare_last_frame(frame_type::prompting, format_version_);
    // Relative paths start where the user was when they started what runs in the terminal now
    // (the ssh), as they would in that shell; else where the receiver was started.
    std::string working_folder = terminal_ != nullptr ? terminal_->foreground_folder() : std::string();
    if (working_folder.empty()) working_folder = options_.working_folder;
    prompt_.emplace(asked.folder, std::move(working_folder), options_.home);
    consent_ = {};
    drop_told_ = false;
    stage_ = stage::waiting;
    if (!host_.download_open()) show_prompt(now);
}

void upload_engine::output_parsed() { show_waiting_prompt(host_.last_output_at()); }

void upload_engine::show_waiting_prompt(monotonic_clock::time_point now) {
    if (stage_ == stage::waiting && !host_.download_open()) show_prompt(now);
}

void upload_engine::show_prompt(monotonic_clock::time_point now) {
    stage_ = stage::prompting;
    view_.open(*prompt_, terminal_);
    consent_.shown(now);
}

void upload_engine::keyboard(const unsigned char* bytes, std::size_t length) {
    if (length == 0 || !wants_keyboard()) return;
    const auto now = monotonic_clock::now();
    if (stage_ == stage::prompting) {
        last_key_at_ = now;
        prompt_keys(bytes, length, now);
        return;
    }
    // Keys would reach pullfile among the frames: they are held back, but for these.
    const bool interrupt = std::memchr(bytes, INTERRUPT_KEY, length) != nullptr;
    if (interrupt && may_cancel()) {
        cancel();
    } else if (interrupt) {
        give_up("given up waiting for pullfile's end");
        command_input_.append(bytes, length);
    } else if (now - last_heard_ >= QUIET_SENDER_LIMIT) {
        give_up("given up: pullfile stopped answering and a key was pressed");
        command_input_.append(bytes, length);
    }
}

// Keys count only once the user can have seen what they answer (upload_consent.h).
void upload_engine::prompt_keys(const unsigned char* bytes, std::size_t length, monotonic_clock::time_point now) {
    const upload_consent::verdict verdict = consent_.keys(bytes, length, now);
    if (verdict != upload_consent::verdict::drop) drop_told_ = false;
    switch (verdict) {
        case upload_consent::verdict::take: return prompt_answered(prompt_->feed(bytes, length), now);
        case upload_consent::verdict::drop: return tell_dropped_keys();
        case upload_consent::verdict::ignore: return;
        case upload_consent::verdict::cancel: return prompt_answered(upload_prompt::state::nothing, now);
        case upload_consent::verdict::confirm: return start_sending(now);
        case upload_consent::verdict::edit:
            prompt_->reopen();
            return view_.tell("not sent: edit the line, and Enter checks it again", *prompt_);
    }
}

// Said once for each stream of keys, not for each key.
void upload_engine::tell_dropped_keys() {
    if (!drop_told_) {
        view_.tell(consent_.confirming()
                       ? "keys that came without a pause were dropped: read what is listed, then y sends"
                       : "keys typed as this prompt appeared were dropped: stop, read it, then type",
                   *prompt_);
    }
    drop_told_ = true;
}

void upload_engine::prompt_answered(upload_prompt::state state, monotonic_clock::time_point now) {
    switch (state) {
        case upload_prompt::state::editing: return view_.tell(prompt_->listing(), *prompt_);
        case upload_prompt::state::send: return line_entered(now);
        case upload_prompt::state::nothing:
            prompt_->set_question("nothing sent");
            leave_prompt();
            prepare_last_frame(frame_type::nothing);
            stage_ = stage::closing;
            return;
    }
}

// Every word is resolved before anything is read. A line that only pastes made (a dropped file)
// goes at once; one that keys shaped is shown for the user to confirm.
void upload_engine::line_entered(monotonic_clock::time_point now) {
    std::string problem;
    if (!select_upload(prompt_->named_paths(), &selection_, &problem)) {
        prompt_->reopen();
        return view_.tell("nothing sent: " + problem, *prompt_);
    }
    if (!prompt_->typed()) return start_sending(now);
    prompt_->set_question("send " + describe(selection_) +
                          "? y sends, other keys edit, Esc cancels: " + selection_.shown_names);
    consent_.ask_to_confirm(now);
    drop_told_ = false;
    view_.draw(*prompt_);
}

void upload_engine::start_sending(monotonic_clock::time_point now) {
    prompt_->set_question("sending " + describe(selection_) + ": " + selection_.shown_names);
    leave_prompt();
    sources_.start(std::move(selection_.paths), format_version_ > FIRST_UPLOAD_FORMAT_VERSION);
    queries_.clear();
    selection_ = {};
    stage_ = stage::sending;
    // pullfile said nothing while the user chose: its silence counts from now.
    last_heard_ = now;
}

// The prompt's last drawing stays on the screen, as a shell's command line does.
void upload_engine::leave_prompt() {
    view_.close(*prompt_);
    prompt_.reset();
}

void upload_engine::keyboard_ended() {
    if (stage_ != stage::prompting && stage_ != stage::waiting) return;
    if (stage_ == stage::prompting) leave_prompt();
    prompt_.reset();
    prepare_last_frame(frame_type::nothing);
    stage_ = stage::closing;
}

bool upload_engine::wants_ticks() const {
    return stage_ == stage::waiting || echo_.holding() || channel_.wants_ticks() || (sending_or_closing() && !stall_told_) ||
           (stage_ == stage::prompting && (prompt_->escape_pending() || prompt_->paste_open()));
}

void upload_engine::tick(monotonic_clock::time_point now) {
    if (stage_ == stage::prompting && prompt_->paste_open() && now - last_key_at_ >= PASTE_END_WAIT) {
        prompt_->paste_timed_out();
    }
    if (stage_ == stage::prompting && prompt_->escape_pending() && now - last_key_at_ >= ESCAPE_KEY_WAIT) {
        prompt_answered(prompt_->escape_timed_out(), now);
    }
    show_waiting_prompt(now);
    tell_of_a_stall(now);
    if (now - host_.last_output_at() >= QUIET_BEFORE_RELEASE) output_quiet(now);
}

// pullfile answers within a round trip; a tmux between drops what a pane passes on when its
// client falls behind, and its acknowledgements lost there leave the frames waiting.
void upload_engine::tell_of_a_stall(monotonic_clock::time_point now) {
    if (stall_told_ || !sending_or_closing() || !pacer_.frames_in_flight() || now - last_heard_ < UPLOAD_STALL_NOTICE) {
        return;
    }
    stall_told_ = true;
    progress_.notice("nothing has come from pullfile for " +
                     std::to_string(std::chrono::duration_cast<std::chrono::seconds>(UPLOAD_STALL_NOTICE).count()) +
                     " s; Ctrl-C cancels the upload, another key gives it up");
}

void upload_engine::command_input_room(std::size_t free) {
    if (!active()) return;
    if (cancel_due_) {
        // The frames dropped are taken back: C follows the last one pullfile will see.
        cancel_due_ = false;
        pacer_.take_back_dropped(channel_.room(free));
        prepare_last_frame(frame_type::cancelled);
    }
    // Frames typed again after a lost answer go first; an answer takes frames that waited, and
    // their room is filled again at once, so that the pacer knows the room there is should a
    // cancel drop what waits.
    free -= channel_.pump(free, monotonic_clock::now());
    pacer_.type_frames(channel_.room(free), *this);
    if (channel_.carrying()) {
        free -= channel_.pump(free, monotonic_clock::now());
        pacer_.type_frames(channel_.room(free), *this);
    }
    if (pacer_.current_file() == nullptr) current_.reset();
}

void upload_engine::upload_clipboard(std::uint64_t chunk, std::string_view token) {
    if (!active() || format_version_ < CLIPBOARD_UPLOAD_FORMAT_VERSION) return;
    heard_from_pullfile();
    if (chunk == 0) return channel_.stop();
    // Beyond what an answer may carry, whatever the width of size_t.
    if (!channel_.start(static_cast<std::size_t>(std::min<std::uint64_t>(chunk, MAX_CLIPBOARD_CHUNK + 1)), token,
                        format_version_ >= ANSWERS_AHEAD_UPLOAD_FORMAT_VERSION)) {
        progress_.notice("pullfile asked for answers of " + std::to_string(chunk) +
                         " bytes to tmux's clipboard queries, more or less than they carry; the frames are typed");
    }
}

void upload_engine::upload_keys(std::uint64_t dense) {
    if (!active() || format_version_ < ANSWERS_AHEAD_UPLOAD_FORMAT_VERSION) return;
    heard_from_pullfile();
    dense_keys_ = dense != 0;
}

bool upload_engine::clipboard_query() { return channel_.take_query(host_.last_output_at()); }

// During an upload pullfile writes nothing but its messages; other output while it has frames to
// read is most likely a shell's, pullfile being gone. Its next message says otherwise. That shell
// shows the frames it read as typed: they are left off the screen. Frames in clipboard answers
// reach no shell (tmux drops an answer nobody asked for), and tmux redraws a little of its
// client's screen for each query pullfile asks.
void upload_engine::command_output(const unsigned char* bytes, std::size_t length) {
    const monotonic_clock::time_point now = host_.last_output_at();
    const std::uint64_t sequence = pacer_.sequence();
    const std::uint64_t acked = pacer_.last_acknowledged();
    view_.output_shown(bytes, length);
    if (length > 0 && stage_ == stage::sending && sequence > std::max<std::uint64_t>(acked, 1) && !channel_.carrying()) {
        doubt_pullfile_ = true;
    }
    if (length > 0 && (stage_ == stage::sending || stage_ == stage::closing) && acked < sequence && sequence > 1) {
        expect_echo();
    } else if (active() && !doubt_pullfile_ && echo_.active()) {
        echo_.stop(screen_);  // pullfile spoke again
    }
    echo_.feed(bytes, length, now, screen_);
    tell_hidden_echo();
}

void upload_engine::output_quiet(monotonic_clock::time_point now) {
    echo_.let_go(now, screen_);
    tell_hidden_echo();
}

void upload_engine::tell_hidden_echo() {
    if (echo_.active()) return;
    if (const std::string hidden = hidden_echo_text(); !hidden.empty()) progress_.notice(hidden);
}

// Every frame from the oldest not acknowledged on, that one whole at most.
void upload_engine::expect_echo() {
    if (!pacer_.frames_in_flight()) return;
    echo_.expect(pacer_.unacknowledged_bytes(), pacer_.last_acknowledged() + 1, pacer_.sequence());
}

std::string upload_engine::hidden_echo_text() {
    const std::uint64_t hidden = echo_.take_hidden();
    if (hidden == 0) return {};
    return std::to_string(hidden) + " bytes of upload frames echoed back after pullfile was gone were not shown";
}

void upload_engine::upload_end(std::uint64_t status) {
    if (!active()) return;
    const std::string line = summary_line(status);
    // pullfile ends on C, N and R without acknowledging them; anything else unacknowledged it
    // left unread.
    const frame_type last = pacer_.last_typed();
    erase_unread_frames(last != frame_type::cancelled && last != frame_type::nothing && last != frame_type::refused);
    end_upload();
    if (!line.empty()) progress_.notice(line);
}

std::string upload_engine::summary_line(std::uint64_t status) const {
    if (stage_ == stage::refusing) return {};  // told at the request
    if (options_.quiet && status == 0 && failed_.count == 0) return {};
    std::string line = cancelled_ ? "upload cancelled: " : "upload over: ";
    if (files_saved_ == 0) {
        line += "no file was sent up to " + folder_;
    } else {
        line += "sent " + std::to_string(files_saved_) + (files_saved_ == 1 ? " file (" : " files (") +
                human_size(bytes_saved_) + ") up to " + folder_;
    }
    if (files_resumed_ > 0) line += "; " + std::to_string(files_resumed_) + " resumed";
    if (files_skipped_ > 0) line += "; " + std::to_string(files_skipped_) + " skipped (identical)";
    if (failed_.count > 0) line += "; " + failed_.text("not sent");
    if (status != 0) line += " (pullfile's exit status " + std::to_string(status) + ")";
    return line;
}

bool upload_engine::may_cancel() const {
    return stage_ == stage::sending ||
           (stage_ == stage::closing && final_frame_ == frame_type::done && pacer_.last_acknowledged() < final_sequence_);
}

// What is still queued is dropped, but for the rest of a frame partly written (upload_pacer.h).
void upload_engine::cancel() {
    pacer_.drop_unwritten();
    cancel_due_ = true;
    cancelled_ = true;
    if (upload_file* file = pacer_.current_file(); file != nullptr) {
        fail_file(*file, "cancelled");
        close_current();
    }
    sources_.clear();
    queries_.clear();
    stage_ = stage::closing;
}

// pullfile reads nothing more: frames it has not read, the rest of one partly written too, would
// reach whatever reads next. unread: some of them are not acknowledged and may have been read by
// what reads now.
void upload_engine::erase_unread_frames(bool unread) {
    channel_.drop_all();
    if (terminal_ != nullptr) terminal_->drop_unread_and_release();
    if (unread && pacer_.last_acknowledged() < pacer_.sequence()) {
        command_input_.append(&LINE_KILL_KEY, 1);
        expect_echo();
        echo_.end_by(monotonic_clock::now());
    }
}

void upload_engine::give_up(std::string_view why) {
    erase_unread_frames(true);
    std::string line(why);
    if (const std::string hidden = hidden_echo_text(); !hidden.empty()) line += "; " + hidden;
    if (files_saved_ > 0) {
        line += "; " + std::to_string(files_saved_) + (files_saved_ == 1 ? " file" : " files") + " went up to " +
                folder_ + " before";
    }
    end_upload();
    progress_.notice(line);
}

void upload_engine::output_ended(const char* reason) {
    if (active()) {
        const std::string why = reason != nullptr ? reason : "the command's output ended";
        end_upload();
        progress_.notice("the upload ended: " + why);
    }
    terminal_ = nullptr;  // closed with the output
}

void upload_engine::end_upload() {
    if (stage_ == stage::prompting) leave_prompt();
    prompt_.reset();
    close_current();
    sources_.clear();
    queries_.clear();
    pacer_.drop_pending();
    channel_.reset(monotonic_clock::now());
    cancel_due_ = false;
    stage_ = stage::idle;
    progress_.file_done();
}

}  // namespace pushfile::receive
