#include "receiver/session/upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/display.h"
#include "common/failure.h"
#include "receiver/session/burst_summary.h"
#include "transfer/stream_parser.h"

namespace pushfile::receive {
namespace {

constexpr unsigned char INTERRUPT_KEY = 0x03;
// Erases a line being typed, in line mode and in a shell's line editor alike: frames that reached
// whatever read after pullfile are taken off its line.
constexpr unsigned char LINE_KILL_KEY = 0x15;
// The user's terminal marks pasted text while this mode is set: the prompt takes a pasted name
// whole, spaces and all.
constexpr std::string_view PASTE_MODE_ON = "\x1b[?2004h";
constexpr std::string_view PASTE_MODE_OFF = "\x1b[?2004l";

static_assert(WALK_PATH_LIMIT <= MAX_UPLOAD_NAME, "a path a folder walk hands out must fit a file frame");

const unsigned char* as_bytes(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }

// Reads until count bytes came or the file ended; -1 when a read failed (errno says why).
long read_fully(int fd, unsigned char* bytes, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t read_now = read(fd, bytes + got, count - got);
        if (read_now < 0 && errno == EINTR) continue;
        if (read_now < 0) return -1;
        if (read_now == 0) break;
        got += static_cast<std::size_t>(read_now);
    }
    return static_cast<long>(got);
}

}  // namespace

upload_engine::upload_engine(progress_display& progress, byte_sink& screen, input_sink& command_input,
                             upload_options options)
    : progress_(progress), screen_(screen), command_input_(command_input), options_(std::move(options)) {}

upload_engine::~upload_engine() = default;

// pullfile waits for a frame before it does anything: the first goes out at once, P while the
// user is asked, R when uploads are off.
void upload_engine::request(std::string_view folder, unsigned pullfile_reads, monotonic_clock::time_point now,
                            bool download_open) {
    if (active()) {
        // A pullfile before this one ended without a word (killed): its upload is over, and its
        // frames not written yet are for nobody.
        progress_.notice("pullfile asked for files again before its last upload ended; that one is over");
        command_input_.discard_queued();
        end_upload();
    }
    if (!frame_) {
        frame_ = std::make_unique_for_overwrite<char[]>(MAX_FRAME_LENGTH);
        block_ = std::make_unique_for_overwrite<unsigned char[]>(UPLOAD_BLOCK_SIZE);
    }
    folder_ = escaped_for_display(folder);
    sequence_ = acked_ = typed_ = 0;
    cancel_due_ = cancelled_ = doubt_pullfile_ = false;
    first_frame_ = frame_count_ = 0;
    first_file_ = file_count_ = 0;
    data_in_flight_ = bytes_acknowledged_ = 0;
    shown_file_ = 0;
    files_announced_ = files_saved_ = bytes_saved_ = 0;
    failed_ = {};
    window_.restart();
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
    format_version_ = upload_version_for(pullfile_reads);
    prepare_last_frame(frame_type::prompting, format_version_);
    // Relative paths start where the user was when they started what runs in the terminal now
    // (the ssh), as they would in that shell; else where the receiver was started.
    std::string working_folder = terminal_ != nullptr ? terminal_->foreground_folder() : std::string();
    if (working_folder.empty()) working_folder = options_.working_folder;
    prompt_.emplace(folder, std::move(working_folder), options_.home);
    consent_ = {};
    drop_told_ = false;
    stage_ = stage::waiting;
    if (!download_open) show_prompt(now);
}

void upload_engine::show_waiting_prompt(monotonic_clock::time_point now) {
    if (stage_ == stage::waiting) show_prompt(now);
}

void upload_engine::show_prompt(monotonic_clock::time_point now) {
    stage_ = stage::prompting;
    if (options_.keyboard_is_terminal && !paste_mode_.bracketed_paste()) {
        screen_.append(as_bytes(PASTE_MODE_ON), PASTE_MODE_ON.size());
        paste_mode_set_ = true;
    }
    progress_.begin_prompt(terminal_);
    draw_prompt();
    consent_.shown(now);
}

void upload_engine::draw_prompt() { progress_.show_prompt(prompt_->line(progress_.prompt_columns())); }

void upload_engine::restore_paste_mode() {
    if (paste_mode_set_ && !paste_mode_.bracketed_paste())
        screen_.append(as_bytes(PASTE_MODE_OFF), PASTE_MODE_OFF.size());
    paste_mode_set_ = false;
}

void upload_engine::keyboard(const unsigned char* bytes, std::size_t length, monotonic_clock::time_point now) {
    if (length == 0 || !takes_keys()) return;
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
        case upload_consent::verdict::drop:
            // Said once for each stream of keys, not for each key.
            if (!drop_told_) {
                progress_.prompt_listing(
                    consent_.confirming()
                        ? "keys that came without a pause were dropped: read what is listed, then y sends"
                        : "keys typed as this prompt appeared were dropped: stop, read it, then type");
                draw_prompt();
            }
            drop_told_ = true;
            return;
        case upload_consent::verdict::ignore: return;
        case upload_consent::verdict::cancel: return prompt_answered(upload_prompt::state::nothing, now);
        case upload_consent::verdict::confirm: return start_sending(now);
        case upload_consent::verdict::edit:
            prompt_->reopen();
            progress_.prompt_listing("not sent: edit the line, and Enter checks it again");
            return draw_prompt();
    }
}

void upload_engine::prompt_answered(upload_prompt::state state, monotonic_clock::time_point now) {
    switch (state) {
        case upload_prompt::state::editing:
            if (!prompt_->listing().empty()) progress_.prompt_listing(prompt_->listing());
            draw_prompt();
            return;
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
        progress_.prompt_listing("nothing sent: " + problem);
        return draw_prompt();
    }
    if (!prompt_->typed()) return start_sending(now);
    prompt_->set_question("send " + describe(selection_) +
                          "? y sends, other keys edit, Esc cancels: " + selection_.shown_names);
    consent_.ask_to_confirm(now);
    drop_told_ = false;
    draw_prompt();
}

void upload_engine::start_sending(monotonic_clock::time_point now) {
    prompt_->set_question("sending " + describe(selection_) + ": " + selection_.shown_names);
    leave_prompt();
    paths_ = std::move(selection_.paths);
    selection_ = {};
    next_path_ = 0;
    stage_ = stage::sending;
    // pullfile said nothing while the user chose: its silence counts from now.
    last_heard_ = now;
}

// The prompt's last drawing stays on the screen, as a shell's command line does.
void upload_engine::leave_prompt() {
    progress_.end_prompt(prompt_->line(progress_.prompt_columns()));
    restore_paste_mode();
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
    return stage_ == stage::prompting && (prompt_->escape_pending() || prompt_->paste_open());
}

void upload_engine::tick(monotonic_clock::time_point now) {
    if (stage_ != stage::prompting) return;
    if (prompt_->paste_open() && now - last_key_at_ >= PASTE_END_WAIT) prompt_->paste_timed_out();
    if (prompt_->escape_pending() && now - last_key_at_ >= ESCAPE_KEY_WAIT) {
        prompt_answered(prompt_->escape_timed_out(), now);
    }
}

void upload_engine::command_input_room(std::size_t free) {
    if (!active()) return;
    if (cancel_due_) finish_cancel(free);
    while (frame_count_ < MAX_FRAMES_IN_FLIGHT && prepare_frame() && pending_length_ <= free) {
        free -= pending_length_;
        type_prepared_frame();
    }
    last_free_ = free;
}

// During an upload pullfile writes nothing but its messages; other output while it has frames to
// read is most likely a shell's, pullfile being gone. Its next message says otherwise. That shell
// shows the frames it read as typed: they are left off the screen.
void upload_engine::output_shown(const unsigned char* bytes, std::size_t length, monotonic_clock::time_point now) {
    paste_mode_.scan_all(bytes, length);
    if (length > 0 && stage_ == stage::sending && sequence_ > std::max<std::uint64_t>(acked_, 1)) {
        doubt_pullfile_ = true;
    }
    if (length > 0 && (stage_ == stage::sending || stage_ == stage::closing) && acked_ < sequence_ && sequence_ > 1) {
        expect_echo();
    } else if (active() && !doubt_pullfile_ && echo_.active()) {
        echo_.stop(screen_);  // pullfile spoke again
    }
    echo_.feed(bytes, length, now, screen_);
    if (!echo_.active()) {
        if (const std::string hidden = hidden_echo_text(); !hidden.empty()) progress_.notice(hidden);
    }
}

void upload_engine::output_quiet(monotonic_clock::time_point now) {
    echo_.let_go(now, screen_);
    if (!echo_.active()) {
        if (const std::string hidden = hidden_echo_text(); !hidden.empty()) progress_.notice(hidden);
    }
}

// Every frame from the oldest not acknowledged on, that one whole at most.
void upload_engine::expect_echo() {
    if (frame_count_ == 0) return;
    const frame_record& oldest = frames_[first_frame_];
    const std::uint64_t typed_since = typed_ - oldest.end + std::min<std::uint64_t>(oldest.end, MAX_FRAME_LENGTH);
    echo_.expect(typed_since, acked_ + 1, sequence_);
}

std::string upload_engine::hidden_echo_text() {
    const std::uint64_t hidden = echo_.take_hidden();
    if (hidden == 0) return {};
    return std::to_string(hidden) + " bytes of upload frames echoed back after pullfile was gone were not shown";
}

bool upload_engine::prepare_frame() {
    if (pending_length_ > 0) return true;
    if (stage_ != stage::sending || doubt_pullfile_) return false;
    return have_current_ ? prepare_data_frame() : prepare_file_frame();
}

// Frames that belong to no file, and end what the upload does: P and R, then Z, N or C.
void upload_engine::prepare_last_frame(frame_type type, std::uint64_t number) {
    const std::uint64_t sequence = sequence_ + 1;
    pending_length_ = type == frame_type::prompting || type == frame_type::done
                          ? format_number_frame(type, sequence, number, frame_.get())
                          : format_empty_frame(type, sequence, frame_.get());
    pending_type_ = type;
    pending_data_length_ = 0;
    pending_ends_file_ = false;
    if (type == frame_type::done || type == frame_type::nothing || type == frame_type::cancelled) {
        final_frame_ = type;
        final_sequence_ = sequence;
    }
}

bool upload_engine::prepare_file_frame() {
    forget_done_files();
    if (file_count_ == MAX_FILES_IN_FLIGHT) return false;
    int fd = -1;
    std::string name;
    struct stat status {};
    bool in_folder = false;
    const next_item item = next_file(&fd, &name, &status, &in_folder);
    if (item == next_item::none) {
        // Nothing could be sent at all: pullfile is told so, and says it.
        if (files_announced_ == 0) {
            prepare_last_frame(frame_type::nothing);
        } else {
            prepare_last_frame(frame_type::done, files_announced_);
        }
        stage_ = stage::closing;
        return true;
    }
    const mode_and_time attributes{static_cast<unsigned>(status.st_mode & 0777), status.st_mtim.tv_sec,
                                   static_cast<std::uint32_t>(status.st_mtim.tv_nsec)};
    pending_data_length_ = 0;
    pending_ends_file_ = false;
    if (item == next_item::folder_entered) {
        pending_length_ = format_folder_frame(sequence_ + 1, attributes, name, frame_.get());
        pending_type_ = frame_type::folder;
        return true;
    }
    if (item == next_item::folder_left) {
        pending_length_ = format_empty_frame(frame_type::folder_end, sequence_ + 1, frame_.get());
        pending_type_ = frame_type::folder_end;
        return true;
    }
    const auto size = item == next_item::file ? static_cast<std::uint64_t>(status.st_size) : 0;
    const std::size_t index = first_file_ + file_count_++;
    file_record& file = slot(index);
    file.file_sequence = file.last_sequence = sequence_ + 1;
    file.name = std::move(name);
    file.size = size;
    file.acknowledged = 0;
    file.in_folder = in_folder;
    file.closed = file.failed = false;
    current_.fd.reset(fd);
    current_.sent = 0;
    current_.slot = index;
    have_current_ = true;
    ++files_announced_;
    if (item == next_item::unsendable) fail_file(file, unsendable_why_);
    pending_length_ = format_file_frame(format_version_, sequence_ + 1, size, attributes, file.name, frame_.get());
    pending_type_ = frame_type::file;
    return true;
}

// The file's next block, as the window allows; then its end. A file that cannot be read in full
// is given up with X: pullfile keeps nothing of it.
bool upload_engine::prepare_data_frame() {
    file_record& file = current_slot();
    pending_data_length_ = 0;
    pending_ends_file_ = true;
    if (!current_.fd.valid()) {
        pending_length_ = format_empty_frame(frame_type::given_up, sequence_ + 1, frame_.get());
        pending_type_ = frame_type::given_up;
        return true;
    }
    if (current_.sent == file.size) {
        pending_length_ = format_empty_frame(frame_type::file_end, sequence_ + 1, frame_.get());
        pending_type_ = frame_type::file_end;
        return true;
    }
    if (data_in_flight_ >= std::max<std::uint64_t>(window_.blocks(), 1)) {
        pending_ends_file_ = false;
        return false;
    }
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(UPLOAD_BLOCK_SIZE, file.size - current_.sent));
    const long got = read_fully(current_.fd.get(), block_.get(), wanted);
    const int read_error = errno;
    if (got < 0 || static_cast<std::size_t>(got) < wanted) {
        fail_file(file, got < 0 ? failure_text("cannot read it", read_error)
                                : "it shrank to " + std::to_string(current_.sent + static_cast<std::uint64_t>(got)) +
                                      " of its " + std::to_string(file.size) + " bytes while it was sent");
        pending_length_ = format_empty_frame(frame_type::given_up, sequence_ + 1, frame_.get());
        pending_type_ = frame_type::given_up;
        return true;
    }
    pending_length_ = format_data_frame(sequence_ + 1, block_.get(), wanted, frame_.get());
    pending_type_ = frame_type::data;
    pending_data_length_ = wanted;
    pending_ends_file_ = false;
    current_.sent += wanted;
    return true;
}

void upload_engine::type_prepared_frame() {
    command_input_.append(reinterpret_cast<const unsigned char*>(frame_.get()), pending_length_);
    ++sequence_;
    typed_ += pending_length_;
    last_typed_ = pending_type_;
    pending_length_ = 0;
    const bool of_a_file = pending_type_ == frame_type::file || pending_type_ == frame_type::data ||
                           pending_type_ == frame_type::file_end || pending_type_ == frame_type::given_up;
    frames_[(first_frame_ + frame_count_++) % MAX_FRAMES_IN_FLIGHT] = {sequence_, pending_type_, pending_data_length_,
                                                                       typed_, of_a_file ? current_.slot : 0};
    if (pending_type_ == frame_type::data) ++data_in_flight_;
    if (of_a_file) current_slot().last_sequence = sequence_;
    if (pending_ends_file_) {
        current_slot().closed = true;
        close_current();
    }
}

// The paths named at the prompt in turn, a folder's files as a walk finds them, and for version 2
// the walk's folders as it enters and leaves them. A file that cannot be read is announced and
// given up, so that pullfile counts it; what a walk passes over is told, a line each.
upload_engine::next_item upload_engine::next_file(int* fd, std::string* name, struct stat* found, bool* in_folder) {
    for (;;) {
        if (walk_ && walk_->walking()) {
            if (const next_item item = next_folder_file(fd, name, found); item != next_item::none) {
                *in_folder = true;
                return item;
            }
            continue;
        }
        if (next_path_ == paths_.size()) return next_item::none;
        const std::string& path = paths_[next_path_++];
        name->assign(last_part(path));
        *in_folder = false;
        struct stat status {};
        if (stat(path.c_str(), &status) != 0) {
            const int error = errno;
            unsendable_why_ = failure_text("cannot read it", error);
            return next_item::unsendable;
        }
        if (S_ISDIR(status.st_mode)) {
            if (!walk_) walk_ = std::make_unique<folder_walk>();
            if (!walk_->start(path.c_str(), format_version_ > FIRST_UPLOAD_FORMAT_VERSION)) {
                unsendable_why_ = failure_text("cannot read the folder", errno);
                return next_item::unsendable;
            }
            continue;
        }
        if (!S_ISREG(status.st_mode)) {
            unsendable_why_ = describe(skip_reason_of(status.st_mode));
            return next_item::unsendable;
        }
        owned_fd file(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!file.valid()) {
            const int error = errno;
            unsendable_why_ = failure_text("cannot read it", error);
            return next_item::unsendable;
        }
        if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            unsendable_why_ = "it changed while it was opened";
            return next_item::unsendable;
        }
        *fd = file.release();
        *found = status;
        return next_item::file;
    }
}

// The walk's next file or folder, or none after telling of an entry passed over or at the walk's
// end.
upload_engine::next_item upload_engine::next_folder_file(int* fd, std::string* name, struct stat* found) {
    walk_entry entry;
    const walk_step step = walk_->next(&entry);
    switch (step) {
        case walk_step::done: return next_item::none;
        case walk_step::skipped:
            progress_.notice(escaped_for_display(entry.sent_path) + ": not sent: " + describe(entry.skipped));
            return next_item::none;
        case walk_step::unreadable:
            name->assign(entry.sent_path);
            unsendable_why_ = failure_text("cannot read it", entry.error);
            return next_item::unsendable;
        case walk_step::folder_entered:
        case walk_step::folder_left:
            name->assign(entry.sent_path);
            *found = {};
            found->st_mode = entry.mode;
            found->st_mtim = entry.modified;
            return step == walk_step::folder_entered ? next_item::folder_entered : next_item::folder_left;
        case walk_step::file: break;
    }
    owned_fd file = std::move(entry.file);
    struct stat status {};
    name->assign(entry.sent_path);
    if (!file.valid() || fstat(file.get(), &status) != 0) {
        const int error = file.valid() ? errno : entry.error;
        unsendable_why_ = failure_text("cannot read it", error);
        return next_item::unsendable;
    }
    *fd = file.release();
    *found = status;
    return next_item::file;
}

void upload_engine::close_current() {
    current_.fd.reset();
    have_current_ = false;
}

// Acknowledgements are cumulative: every frame up to sequence is handled.
void upload_engine::acknowledged(std::uint64_t sequence, monotonic_clock::time_point now) {
    if (!active()) return;
    last_heard_ = now;
    doubt_pullfile_ = false;
    if (sequence <= acked_ || sequence > sequence_) return;
    acked_ = sequence;
    while (frame_count_ > 0 && frames_[first_frame_].sequence <= sequence) {
        const frame_record record = frames_[first_frame_];
        first_frame_ = (first_frame_ + 1) % MAX_FRAMES_IN_FLIGHT;
        --frame_count_;
        if (record.type == frame_type::data) {
            --data_in_flight_;
            bytes_acknowledged_ += record.data_length;
            // The window grows with the blocks acknowledged and follows the rate they come at.
            window_.block_arrived(record.data_length, bytes_acknowledged_, now);
            file_record& file = slot(record.file);
            file.acknowledged += record.data_length;
            if (!file.failed) {
                show_file(file, now);
                progress_.file_advanced(file.acknowledged, now);
            }
        } else if (record.type == frame_type::file_end) {
            file_saved(slot(record.file), now);
        }
    }
    forget_done_files();
}

// An end frame is acknowledged once pullfile saved the file under its final name.
void upload_engine::file_saved(file_record& file, monotonic_clock::time_point now) {
    if (file.failed) return;
    ++files_saved_;
    bytes_saved_ += file.size;
    show_file(file, now);
    if (file.in_folder) {
        progress_.file_done();
    } else {
        progress_.file_sent_up(file.size, folder_);
    }
    shown_file_ = 0;
}

void upload_engine::show_file(file_record& file, monotonic_clock::time_point now) {
    if (shown_file_ == file.file_sequence) return;
    progress_.upload_file_named(file.name);
    progress_.file_started(file.size, now);
    shown_file_ = file.file_sequence;
}

void upload_engine::fail_file(file_record& file, std::string_view reason) {
    file.failed = true;
    failed_.add(escaped_for_display(file.name));
    progress_.upload_file_named(file.name);
    progress_.file_failed(reason);
    shown_file_ = 0;
}

void upload_engine::file_failed(std::uint64_t file_sequence, std::string_view reason, monotonic_clock::time_point now) {
    if (!active()) return;
    last_heard_ = now;
    doubt_pullfile_ = false;
    for (std::size_t index = first_file_; index < first_file_ + file_count_; ++index) {
        file_record& file = slot(index);
        if (file.file_sequence != file_sequence) continue;
        if (!file.failed) fail_file(file, escaped_for_display(reason));
        if (have_current_ && current_.slot == index) {
            // pullfile passes over the rest of it: nothing more of it is typed.
            if (pending_length_ > 0 && pending_type_ != frame_type::file) pending_length_ = 0;
            file.closed = true;
            close_current();
        }
        return;
    }
    progress_.notice("pullfile could not save a file: " + escaped_for_display(reason));
}

// Files go in order, so the oldest are done with first.
void upload_engine::forget_done_files() {
    while (file_count_ > 0 && slot(first_file_).closed && acked_ >= slot(first_file_).last_sequence) {
        ++first_file_;
        --file_count_;
    }
}

void upload_engine::ended(std::uint64_t status) {
    if (!active()) return;
    const std::string line = summary_line(status);
    // pullfile reads nothing more: frames it has not read, the rest of one partly written too,
    // would reach whatever reads next.
    command_input_.drop_all();
    if (terminal_ != nullptr) terminal_->drop_unread_and_release();
    // pullfile ends on C, N and R without acknowledging them; anything else unacknowledged it
    // left unread.
    if (acked_ < sequence_ && last_typed_ != frame_type::cancelled && last_typed_ != frame_type::nothing &&
        last_typed_ != frame_type::refused) {
        command_input_.append(&LINE_KILL_KEY, 1);
        expect_echo();
        echo_.end_by(monotonic_clock::now());
    }
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
    if (failed_.count > 0) line += "; " + failed_.text("not sent");
    if (status != 0) line += " (pullfile's exit status " + std::to_string(status) + ")";
    return line;
}

bool upload_engine::may_cancel() const {
    return stage_ == stage::sending ||
           (stage_ == stage::closing && final_frame_ == frame_type::done && acked_ < final_sequence_);
}

// What is still queued is dropped, but for the rest of a frame partly written; how much that was
// shows in the room the queue has at the next call (only our frames went into it meanwhile).
void upload_engine::cancel() {
    free_before_cancel_ = last_free_;
    command_input_.discard_queued();
    cancel_due_ = true;
    cancelled_ = true;
    pending_length_ = 0;
    if (have_current_) {
        file_record& file = current_slot();
        fail_file(file, "cancelled");
        file.closed = true;
        close_current();
    }
    if (walk_) walk_->end();
    paths_.clear();
    stage_ = stage::closing;
}

void upload_engine::finish_cancel(std::size_t free) {
    cancel_due_ = false;
    typed_ -= std::min<std::uint64_t>(free > free_before_cancel_ ? free - free_before_cancel_ : 0, typed_);
    // The frames dropped are the newest; pullfile never saw them, and the next frame follows the
    // last one it will see.
    while (frame_count_ > 0) {
        const frame_record& newest = frames_[(first_frame_ + frame_count_ - 1) % MAX_FRAMES_IN_FLIGHT];
        if (newest.end <= typed_) break;
        if (newest.type == frame_type::data) --data_in_flight_;
        sequence_ = newest.sequence - 1;
        --frame_count_;
    }
    while (file_count_ > 0 && slot(first_file_ + file_count_ - 1).file_sequence > sequence_) --file_count_;
    for (std::size_t index = first_file_; index < first_file_ + file_count_; ++index) {
        slot(index).last_sequence = std::min(slot(index).last_sequence, sequence_);
    }
    prepare_last_frame(frame_type::cancelled);
}

void upload_engine::give_up(std::string_view why) {
    // pullfile is gone: the rest of a frame partly written is for nobody.
    command_input_.drop_all();
    if (terminal_ != nullptr) terminal_->drop_unread_and_release();
    if (acked_ < sequence_) {
        command_input_.append(&LINE_KILL_KEY, 1);
        expect_echo();
        echo_.end_by(monotonic_clock::now());
    }
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
    if (walk_) walk_->end();
    paths_.clear();
    pending_length_ = 0;
    cancel_due_ = false;
    stage_ = stage::idle;
    progress_.file_done();
}

}  // namespace pushfile::receive
