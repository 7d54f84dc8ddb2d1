#include "pullfile/pull_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "common/display.h"
#include "common/failure.h"
#include "common/human_size.h"
#include "common/messages.h"
#include "common/owned_fd.h"
#include "pullfile/held_files.h"

namespace pushfile::pull {
namespace {

std::string lost_frames(std::uint64_t expected, std::uint64_t came) {
    if (came < expected)
        return "frame " + std::to_string(came) + " came again after frame " + std::to_string(expected - 1);
    if (came == expected + 1) return "frame " + std::to_string(expected) + " never came";
    return "frames " + std::to_string(expected) + " to " + std::to_string(came - 1) + " never came";
}

// Where time_t has 32 bits, a time past 2038 cannot be set as sent.
timespec modification_time(const mode_and_time& attributes) {
    return {static_cast<time_t>(attributes.seconds), static_cast<long>(attributes.nanoseconds)};
}

bool same_attributes(const mode_and_time& one, const mode_and_time& other) {
    return one.seconds == other.seconds && one.nanoseconds == other.nanoseconds;
}

}  // namespace

pull_session::pull_session(file_sink& sink, message_output& output, std::string folder, pull_options options)
    : sink_(sink),
      output_(output),
      folder_(std::move(folder)),
      options_(options),
      held_buffer_(std::make_unique_for_overwrite<unsigned char[]>(HELD_READ_SIZE)) {
    sink_.set_replace_existing(options.replace);
}

void pull_session::feed(const unsigned char* bytes, std::size_t length) {
    if (over()) return;
    quiet_acknowledged_ = false;
    reader_.feed(bytes, length, *this);
    acknowledge();
}

void pull_session::feed_answer(const unsigned char* bytes, std::size_t length) {
    if (over()) return;
    quiet_acknowledged_ = false;
    constexpr unsigned char RAW_HEAD[] = {'#', RAW_DATA_FRAME_TYPE};
    for (std::size_t at = 0; at < length && !over();) {
        if (length - at >= 2 && std::equal(RAW_HEAD, RAW_HEAD + 2, bytes + at)) {
            upload_frame frame;
            frame_error error{};
            const std::size_t used = read_raw_data_frame(bytes + at, length - at, &frame, &error);
            if (used == 0) {
                frame_broken(error);
                break;
            }
            frame_received(frame);
            at += used;
            continue;
        }
        // Typed frames, up to the next raw one: '#' begins frames only.
        const unsigned char* next = std::search(bytes + at + 1, bytes + length, RAW_HEAD, RAW_HEAD + 2);
        const auto run = static_cast<std::size_t>(next - (bytes + at));
        reader_.feed(bytes + at, run, *this);
        at += run;
    }
    acknowledge();
}

void pull_session::input_ended(const std::string& why) {
    if (over()) return;
    reader_.finish(*this);
    if (over()) return;
    end_reason_ = why;
    finish(ending::input_ended);
}

void pull_session::stop(const std::string& why) {
    end_reason_ = why;
    drop_file_in_progress();
    leave_every_folder();
    end_ = ending::stopped;
}

void pull_session::frame_received(const upload_frame& frame) {
    if (over()) return;
    answered_ = true;
    if (frames_may_repeat_ && frame.sequence <= last_sequence_) return;
    if (frame.sequence != last_sequence_ + 1) upload_broke(lost_frames(last_sequence_ + 1, frame.sequence));
    last_sequence_ = frame.sequence;
    switch (frame.type) {
        case frame_type::prompting:
            format_version_ = frame.number;
            if (frame.number < FIRST_UPLOAD_FORMAT_VERSION || frame.number > UPLOAD_FORMAT_VERSION)
                return finish(ending::other_version);
            break;
        case frame_type::folder: enter_folder(frame); break;
        case frame_type::folder_end: leave_folder(); break;
        case frame_type::file: begin_file(frame); break;
        case frame_type::query: answer_query(frame); break;
        case frame_type::data: write_data(frame); break;
        case frame_type::file_end: end_file(frame); break;
        case frame_type::given_up: file_given_up(); break;
        case frame_type::done:
            if (file_ == file_state::receiving) upload_broke("the upload ended before the last file did");
            finish(ending::done);
            break;
        // Not acknowledged: pullfile's end answers them.
        case frame_type::cancelled: finish(ending::cancelled); return;
        case frame_type::nothing: finish(ending::nothing_chosen); return;
        case frame_type::refused: finish(ending::refused); return;
    }
    if (!over() || end_ == ending::done) handled_ = frame.sequence;
}

void pull_session::frame_broken(frame_error error) {
    if (over()) return;
    // Before the first frame whatever arrives is a key or noise: nobody is answering.
    if (!answered_) return finish(ending::gave_up);
    upload_broke(describe(error));
}

void pull_session::stray_bytes(const unsigned char* bytes, std::size_t length) {
    (void)bytes, (void)length;
    // Once a receiver answers, it holds the keys: what else arrives is noise of the line.
    if (!answered_ && !over()) finish(ending::gave_up);
}

void pull_session::begin_file(const upload_frame& frame) {
    if (file_ == file_state::receiving) upload_broke("a file began before the last one ended");
    lost_from_ = 0;
    file_sequence_ = frame.sequence;
    file_size_ = frame.number;
    file_received_ = 0;
    file_name_ = frame.name;
    file_attributes_ = frame.attributes;
    file_start_ = 0;
    file_identical_ = false;
    hasher_.reset();
    file_ = file_state::receiving;
    const offer* offered = frame.start > 0 ? offer_of(frame) : nullptr;
    if (offered != nullptr && offered->identical) {
        // The file there stays as it is: no temporary file is made for it (on a busy disk, making
        // and dropping one took a quarter of a millisecond for each file skipped).
        file_start_ = file_received_ = file_size_;
        file_identical_ = true;
        file_offered_hash_ = offered->hash;
        return;
    }
    if (std::string error; !sink_.begin(file_name_, &error)) return file_failed(file_sequence_, file_name_, error);
    if (frame.has_mode_and_time) {
        sink_.keep_mode_and_time(frame.attributes.mode, modification_time(frame.attributes));
    }
    if (frame.start > 0) (void)resume_file(frame, offered);
}

void pull_session::answer_query(const upload_frame& frame) {
    offer& answer = offers_[next_offer_];
    next_offer_ = (next_offer_ + 1) % offers_.size();
    answer = offer{std::string(frame.name), frame.number, frame.attributes, 0, {}, false};
    std::string last_part;
    const owned_fd folder = sink_.open_existing_folder(frame.name, &last_part);
    struct stat folder_status {};
    if (folder.valid() && fstat(folder.get(), &folder_status) == 0) {
        // A thousand files of one folder asked about must not list it a thousand times.
        const bool known_clean = clean_folder_known_ && folder_status.st_dev == clean_folder_device_ &&
                                 folder_status.st_ino == clean_folder_inode_;
        bool partials_seen = false;
        const held_bytes held = find_held(folder.get(), last_part, frame.number, frame.attributes,
                                          options_.skip_identical, held_buffer_.get(), !known_clean, &partials_seen);
        if (!known_clean && !partials_seen) {
            clean_folder_known_ = true;
            clean_folder_device_ = folder_status.st_dev;
            clean_folder_inode_ = folder_status.st_ino;
        }
        answer.held = held.count;
        answer.hash = held.hash;
        answer.identical = held.identical;
    }
    send(format_upload_have(message_, frame.sequence, answer.held, answer.hash));
}

// Only a start that was offered, for the latest query of this very file: a receiver cannot make
// pullfile resume anywhere else. From the newest back to the first that matches, rather than
// through the whole table for every file.
const pull_session::offer* pull_session::offer_of(const upload_frame& frame) const {
    for (std::size_t back = 1; back <= offers_.size(); ++back) {
        const offer& candidate = offers_[(next_offer_ + offers_.size() - back) % offers_.size()];
        if (candidate.held == frame.start && candidate.size == frame.number && candidate.name == frame.name &&
            same_attributes(candidate.attributes, frame.attributes))
            return &candidate;
    }
    return nullptr;
}

bool pull_session::resume_file(const upload_frame& frame, const offer* offered) {
    const std::string shown = escaped_for_display(file_name_);
    if (offered == nullptr) {
        sink_.abort();
        file_failed(
            file_sequence_, file_name_,
            "cannot save " + shown + " from byte " + std::to_string(frame.start) + ": pullfile offered no such start");
        return false;
    }
    file_start_ = frame.start;
    std::string last_part;
    std::string error = "it is gone";
    const owned_fd folder = sink_.open_existing_folder(file_name_, &last_part);
    const owned_fd partial(folder.valid()
                               ? openat(folder.get(), partial_name(last_part, file_size_, file_attributes_).c_str(),
                                        O_RDONLY | O_NOFOLLOW | O_CLOEXEC)
                               : -1);
    if (!partial.valid() || !read_held(partial.get(), frame.start, hasher_, held_buffer_.get(), &sink_, &error)) {
        sink_.abort();
        file_failed(file_sequence_, file_name_, "cannot resume " + shown + " from its partial file: " + error);
        return false;
    }
    file_received_ = frame.start;
    return true;
}

// The folders left open whose path does not hold this one are left first: the walk left them,
// even if their L frames were lost.
void pull_session::enter_folder(const upload_frame& frame) {
    const std::string path = clean_relative_path(frame.name);
    while (!folders_.empty()) {
        const std::size_t length = folders_.back().path_length;
        if (path.size() > length && path[length] == '/' &&
            path.starts_with(std::string_view(folders_path_).substr(0, length)))
            break;
        leave_folder();
    }
    file_sink::made_folder made;
    if (std::string error; !sink_.make_folder(frame.name, &made, &error)) {
        not_saved_.add(escaped_for_display(frame.name) + "/ (" + error + ")");
        send(format_upload_failed(message_, frame.sequence, error.c_str()));
        return;
    }
    folders_path_ = made.path;
    folders_.push_back({made.path.size(), made.made, made.device, made.inode, frame.attributes});
}

void pull_session::leave_folder() {
    if (folders_.empty()) return;
    const folder_entered left = folders_.back();
    folders_.pop_back();
    const file_sink::made_folder made{folders_path_.substr(0, left.path_length), left.made, left.device, left.inode};
    folders_path_.resize(folders_.empty() ? 0 : folders_.back().path_length);
    if (std::string error; !sink_.finish_folder(made, left.attributes.mode, modification_time(left.attributes), &error))
        without_mode_.add(escaped_for_display(made.path) + " (" + error + ")");
}

void pull_session::leave_every_folder() {
    while (!folders_.empty()) leave_folder();
}

void pull_session::write_data(const upload_frame& frame) {
    typed_dense_ = typed_dense_ || frame.dense;
    if (file_ != file_state::receiving) return orphan_frame(frame.sequence);
    // Nothing beyond the size announced is written: a stream that lies about it cannot fill the disk.
    if (frame.length > file_size_ - file_received_) {
        sink_.abort();
        return file_failed(file_sequence_, file_name_,
                           "more bytes came for " + escaped_for_display(file_name_) + " than the " +
                               std::to_string(file_size_) + " announced");
    }
    file_received_ += frame.length;
    hasher_.update(frame.data, frame.length);
    if (std::string error; !sink_.write(frame.data, frame.length, &error))
        file_failed(file_sequence_, file_name_, error);
}

void pull_session::end_file(const upload_frame& frame) {
    if (file_ != file_state::receiving) return orphan_frame(last_sequence_);
    const bool checked = format_version_ >= RESUMING_UPLOAD_FORMAT_VERSION;
    if (checked && file_received_ == file_size_ &&
        !(frame.has_hash && frame.hash == (file_identical_ ? file_offered_hash_ : hasher_.digest()))) {
        // Nothing of it is kept, not even as a partial file: which bytes are wrong is unknown.
        sink_.abort();
        ++failed_check_;
        return file_failed(file_sequence_, file_name_,
                           escaped_for_display(file_name_) + (frame.has_hash ? " failed its whole-file check: what "
                                                                               "came differs from the file sent"
                                                                             : " came without its whole-file hash"));
    }
    if (file_identical_) {
        file_ = file_state::none;
        ++skipped_identical_;
        return;
    }
    if (file_received_ != file_size_) {
        sink_.abort();
        return file_failed(file_sequence_, file_name_,
                           std::to_string(file_received_) + " bytes came for " + escaped_for_display(file_name_) +
                               ", not the " + std::to_string(file_size_) + " announced");
    }
    if (std::string error; !sink_.commit(&error)) return file_failed(file_sequence_, file_name_, error);
    file_ = file_state::none;
    ++saved_;
    saved_bytes_ += file_size_;
    if (checked) {
        // The partial file is whole now, or was passed over: either way it is done with.
        std::string last_part;
        if (const owned_fd folder = sink_.open_existing_folder(file_name_, &last_part); folder.valid())
            (void)unlinkat(folder.get(), partial_name(last_part, file_size_, file_attributes_).c_str(), 0);
    }
    if (file_start_ > 0) ++resumed_, resumed_at_ = file_start_;
    if (sink_.replaced()) ++replaced_;
    if (sink_.renamed())
        renamed_.add(escaped_for_display(file_name_) + " as " + escaped_for_display(sink_.saved_name()));
}

void pull_session::file_given_up() {
    if (file_ != file_state::receiving) return orphan_frame(last_sequence_);
    sink_.abort();
    file_ = file_state::none;
    not_saved_.add(escaped_for_display(file_name_) + " (given up on the sending side)");
}

void pull_session::orphan_frame(std::uint64_t sequence) {
    if (file_ == file_state::skipping) return;
    // A file's data without its file frame: that frame broke or was lost at the last break, or
    // never came at all.
    std::uint64_t file_sequence = lost_from_;
    if (file_sequence == 0) {
        upload_broke("a file's data came without its file frame");
        file_sequence = sequence;
    }
    lost_from_ = 0;
    file_failed(file_sequence, "", "the upload broke: its file frame never came");
}

void pull_session::upload_broke(const std::string& what) {
    if (!broken_) break_reason_ = what;
    broken_ = true;
    if (file_ == file_state::receiving) {
        keep_or_drop_file();
        file_failed(file_sequence_, file_name_, "the upload broke: " + what);
    } else if (file_ == file_state::none && lost_from_ == 0) {
        lost_from_ = last_sequence_ + 1;
    }
}

void pull_session::file_failed(std::uint64_t file_sequence, std::string_view name, const std::string& reason) {
    file_ = file_state::skipping;
    not_saved_.add((name.empty() ? "a file whose name was lost" : escaped_for_display(name)) + " (" + reason + ")");
    send(format_upload_failed(message_, file_sequence, reason.c_str()));
}

void pull_session::finish(ending end) {
    if (end != ending::done) drop_file_in_progress();
    // However the upload ends, the folders made so far get their mode and time.
    leave_every_folder();
    end_ = end;
}

void pull_session::drop_file_in_progress() {
    if (file_ != file_state::receiving) return;
    keep_or_drop_file();
    file_ = file_state::none;
    dropped_name_ = file_name_;
}

// Every byte written came in a frame whose check matched: what is there is worth resuming from.
void pull_session::keep_or_drop_file() {
    if (format_version_ < RESUMING_UPLOAD_FORMAT_VERSION || file_identical_ || file_received_ == 0) {
        sink_.abort();
        return;
    }
    std::string last_part;
    (void)sink_.open_existing_folder(file_name_, &last_part);
    if (sink_.keep_as(partial_name(last_part, file_size_, file_attributes_))) {
        dropped_kept_ = file_received_;
        dropped_name_ = file_name_;
    }
}

void pull_session::send(std::size_t text_length) {
    if (end_ == ending::output_failed || output_.send(message_, text_length + 1)) return;
    drop_file_in_progress();
    end_reason_ = "the terminal's output failed";
    end_ = ending::output_failed;
}

void pull_session::input_quiet() {
    if (!in_upload() || acknowledged_ == 0 || quiet_acknowledged_) return;
    quiet_acknowledged_ = true;
    send(format_upload_ack(message_, acknowledged_));
}

void pull_session::acknowledge() {
    if (handled_ <= acknowledged_ || end_ == ending::output_failed) return;
    acknowledged_ = handled_;
    send(format_upload_ack(message_, handled_));
}

int pull_session::exit_status() const {
    switch (end_) {
        case ending::done:
            if (broken_) return EXIT_BROKEN;
            return not_saved_.count > 0 ? EXIT_NOT_ALL_SAVED : EXIT_ALL_SAVED;
        case ending::nothing_chosen:
        case ending::refused: return EXIT_NOT_ALL_SAVED;
        default: return EXIT_BROKEN;
    }
}

std::string pull_session::summary() const {
    std::string line;
    const auto add = [&line](const std::string& part) { line += (line.empty() ? "" : "; ") + part; };
    switch (end_) {
        case ending::nothing_chosen: return "nothing was sent";
        case ending::refused:
            return "the terminal refuses uploads (its pushfile-receive runs with --no-upload, or its configuration "
                   "says upload = no)";
        case ending::gave_up: return "given up: a key came before any terminal answered";
        case ending::other_version:
            return "the terminal's pushfile-receive writes upload frames of version " +
                   std::to_string(format_version_) + ", this pullfile reads versions " +
                   std::to_string(FIRST_UPLOAD_FORMAT_VERSION) + " to " + std::to_string(UPLOAD_FORMAT_VERSION) +
                   ": use the same release on both sides";
        case ending::cancelled: add("cancelled on the sending side"); break;
        case ending::input_ended:
        case ending::output_failed:
        case ending::stopped: add(end_reason_); break;
        case ending::none:
        case ending::done: break;
    }
    if (broken_) add("the upload broke: " + break_reason_);
    if (saved_ > 0 || end_ == ending::done) {
        add("saved " + std::to_string(saved_) + (saved_ == 1 ? " file (" : " files (") + human_size(saved_bytes_) +
            ") in " + escaped_for_display(folder_));
    }
    if (resumed_ == 1) add("1 resumed at " + human_size(resumed_at_));
    if (resumed_ > 1) add(std::to_string(resumed_) + " resumed");
    if (skipped_identical_ > 0) add(std::to_string(skipped_identical_) + " skipped (identical)");
    if (replaced_ > 0) add(std::to_string(replaced_) + " replaced");
    if (failed_check_ > 0)
        add(std::to_string(failed_check_) + " failed " + (failed_check_ == 1 ? "its" : "their") + " whole-file check");
    if (renamed_.count > 0) add(renamed_.text("renamed"));
    if (not_saved_.count > 0) add(not_saved_.text("not saved"));
    if (without_mode_.count > 0) add(without_mode_.text("saved without their mode and time"));
    if (dropped_kept_ > 0) {
        add(human_size(dropped_kept_) + " of " + escaped_for_display(dropped_name_) +
            " kept as a partial file, for the next upload to resume from");
    } else if (!dropped_name_.empty()) {
        add("nothing of " + escaped_for_display(dropped_name_) + " was kept");
    }
    return line;
}

}  // namespace pushfile::pull
