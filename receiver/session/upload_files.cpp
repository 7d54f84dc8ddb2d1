// The upload's frames of files: which frame is due next, and what pullfile's acknowledgements and
// failures say of the files in flight.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "common/display.h"
#include "common/failure.h"
#include "receiver/session/upload.h"

namespace pushfile::receive {

bool upload_engine::make_frame() {
    if (stage_ != stage::sending || doubt_pullfile_) return false;
    if (format_version_ >= RESUMING_UPLOAD_FORMAT_VERSION) {
        if (walk_paused()) return false;
        if (make_query_frame()) return true;
    }
    return pacer_.current_file() != nullptr ? make_data_frame() : make_file_frame();
}

// After a run of frames typed in this turn, with more of the walk to look at: the relay writes
// them and calls again at once (the queue is not empty). Frames in clipboard answers are not in
// that queue, and never wait. The frames and their order are those of a walk done at once.
bool upload_engine::walk_paused() {
    return !channel_.carrying() && pacer_.frames_typed_this_turn() >= FRAMES_BEFORE_WALK_PAUSE && !queries_.full() &&
           !sources_.exhausted();
}

// Frames that belong to no file, and end what the upload does: P and R, then Z, N or C.
void upload_engine::prepare_last_frame(frame_type type, std::uint64_t number) {
    const std::uint64_t sequence = pacer_.next_sequence();
    char* frame = pacer_.frame_buffer();
    pacer_.prepared(type, type == frame_type::prompting || type == frame_type::done
                              ? format_number_frame(type, sequence, number, frame)
                              : format_empty_frame(type, sequence, frame));
    if (type == frame_type::done || type == frame_type::nothing || type == frame_type::cancelled) {
        final_frame_ = type;
        final_sequence_ = sequence;
    }
}

// The files ahead are asked about as soon as they are looked at, so that the answers' round trip
// overlaps the data of the files before them.
bool upload_engine::make_query_frame() {
    look_ahead();
    upload_query* query = queries_.next_to_ask();
    if (query == nullptr) return false;
    query->sequence = pacer_.next_sequence();
    pacer_.prepared(frame_type::query, format_query_frame(query->sequence, query->item.size, query->item.attributes,
                                                          query->item.name, pacer_.frame_buffer()));
    return true;
}

// Until a file not asked about yet is in the ring: each file is asked about as it is found.
void upload_engine::look_ahead() {
    while (!queries_.full() && queries_.next_to_ask() == nullptr) {
        upload_item item = sources_.next();
        if (item.what == upload_item::kind::none) return;
        if (item.what == upload_item::kind::skipped) {
            tell_skipped(item);
        } else {
            set_aside(&item);
            queries_.push(std::move(item));
        }
    }
}

void upload_engine::tell_skipped(const upload_item& item) {
    progress_.notice(escaped_for_display(item.name) + ": not sent: " + item.why);
}

bool upload_engine::next_item(upload_item* item, std::uint64_t* held, file_hash* held_hash) {
    if (format_version_ < RESUMING_UPLOAD_FORMAT_VERSION) {
        *item = sources_.next();
        for (; item->what == upload_item::kind::skipped; *item = sources_.next()) tell_skipped(*item);
        return true;
    }
    look_ahead();
    if (queries_.empty()) return true;  // every path was gone through: *item says none
    if (!queries_.front_ready()) return false;
    *held = queries_.front().held;
    *held_hash = queries_.front().hash;
    *item = queries_.pop();
    take_up(item);
    return true;
}

// pullfile holds the file's first held bytes: its data starts after them if ours hash the same.
// Either way they are hashed already for the whole file's hash; when they differ they are read
// again, from the start, to be sent.
std::uint64_t upload_engine::resume_point(upload_file& file, std::uint64_t held, const file_hash& held_hash) {
    std::string error;
    if (!hash_file_start(current_, held, file.size, block_.get(), hasher_, &error)) {
        fail_file(file, error);
        current_.reset();
        return 0;
    }
    if (hasher_.digest() == held_hash) return held;
    hasher_.reset();
    if (lseek(current_.get(), 0, SEEK_SET) != 0) {
        fail_file(file, failure_text("cannot read it", errno));
        current_.reset();
    }
    return 0;
}

// The paths named at the prompt in turn (upload_sources.h). A file that cannot be read is
// announced and given up, so that pullfile counts it; what a walk passes over is told, a line each.
bool upload_engine::make_file_frame() {
    if (!pacer_.may_announce_file()) return false;
    upload_item item;
    std::uint64_t held = 0;
    file_hash held_hash;
    if (!next_item(&item, &held, &held_hash)) return false;
    char* frame = pacer_.frame_buffer();
    const std::uint64_t sequence = pacer_.next_sequence();
    switch (item.what) {
        case upload_item::kind::none:
            // Nothing could be sent at all: pullfile is told so, and says it.
            if (files_announced_ == 0) {
                prepare_last_frame(frame_type::nothing);
            } else {
                prepare_last_frame(frame_type::done, files_announced_);
            }
            stage_ = stage::closing;
            return true;
        case upload_item::kind::folder_entered:
            pacer_.prepared(frame_type::folder, format_folder_frame(sequence, item.attributes, item.name, frame));
            return true;
        case upload_item::kind::folder_left:
            pacer_.prepared(frame_type::folder_end, format_empty_frame(frame_type::folder_end, sequence, frame));
            return true;
        case upload_item::kind::skipped:
        case upload_item::kind::file:
        case upload_item::kind::unsendable: break;
    }
    upload_file& file = pacer_.add_file(std::move(item.name), item.size, item.in_folder);
    current_ = std::move(item.file);
    hasher_.reset();
    ++files_announced_;
    if (item.what == upload_item::kind::unsendable) {
        fail_file(file, item.why);
    } else if (held > 0) {
        file.start = resume_point(file, held, held_hash);
    }
    current_sent_ = file.acknowledged = file.start;
    pacer_.prepared(frame_type::file, format_file_frame(format_version_, sequence, item.size, item.attributes,
                                                        file.start, file.name, frame));
    return true;
}

// The file's next block, as the window allows; then its end. A file that cannot be read in full
// is given up with X: pullfile keeps nothing of it.
bool upload_engine::make_data_frame() {
    upload_file& file = *pacer_.current_file();
    char* frame = pacer_.frame_buffer();
    const std::uint64_t sequence = pacer_.next_sequence();
    if (!current_.valid()) {
        pacer_.prepared(frame_type::given_up, format_empty_frame(frame_type::given_up, sequence, frame), 0, true);
        return true;
    }
    if (current_sent_ == file.size) {
        pacer_.prepared(frame_type::file_end, format_file_end_frame(format_version_, sequence, hasher_.digest(), frame),
                        0, true);
        return true;
    }
    // Answers to clipboard queries pace themselves: one at a time, each asked for once the one
    // before was read, and what waits for the next is bounded by its size.
    if (!channel_.carrying() && !pacer_.may_send_data()) return false;
    // Clipboard answers carry data frames raw, whatever the form of typed ones.
    const bool dense = dense_keys_ && !channel_.carrying();
    const auto wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(dense ? DENSE_BLOCK_SIZE : UPLOAD_BLOCK_SIZE, file.size - current_sent_));
    if (std::string error; !read_block(current_, block_.get(), wanted, current_sent_, file.size, &error)) {
        fail_file(file, error);
        pacer_.prepared(frame_type::given_up, format_empty_frame(frame_type::given_up, sequence, frame), 0, true);
        return true;
    }
    if (format_version_ >= RESUMING_UPLOAD_FORMAT_VERSION) hasher_.update(block_.get(), wanted);
    std::size_t length = 0;
    if (channel_.takes_raw_data_frames()) {
        length = format_raw_data_frame(sequence, block_.get(), wanted, frame);
    } else {
        length = dense ? format_dense_data_frame(sequence, block_.get(), wanted, frame)
                       : format_data_frame(sequence, block_.get(), wanted, frame);
    }
    pacer_.prepared(frame_type::data, length, wanted);
    current_sent_ += wanted;
    return true;
}

void upload_engine::close_current() {
    pacer_.close_current_file();
    current_.reset();
}

// Acknowledgements are cumulative: every frame up to sequence is handled.
void upload_engine::upload_ack(std::uint64_t sequence) {
    if (!active()) return;
    heard_from_pullfile();
    pacer_.acknowledged(sequence, last_heard_, *this);
}

void upload_engine::data_acknowledged(upload_file& file, monotonic_clock::time_point now) {
    if (file.failed) return;
    show_file(file, now);
    progress_.file_advanced(file.acknowledged, now);
}

void upload_engine::file_end_acknowledged(upload_file& file, monotonic_clock::time_point now) {
    if (file.failed) return;
    const bool identical = file.size > 0 && file.start == file.size;
    if (identical) {
        ++files_skipped_;
    } else {
        ++files_saved_;
        bytes_saved_ += file.size;
        if (file.start > 0) ++files_resumed_;
    }
    show_file(file, now);
    if (file.in_folder) {
        progress_.file_done();
    } else if (identical) {
        progress_.file_skipped_identical();
    } else {
        progress_.file_sent_up(file.size, folder_, file.start);
    }
    shown_file_ = 0;
}

void upload_engine::show_file(upload_file& file, monotonic_clock::time_point now) {
    if (shown_file_ == file.file_sequence) return;
    progress_.upload_file_named(file.name);
    progress_.file_started(file.size, now, file.start);
    shown_file_ = file.file_sequence;
}

void upload_engine::fail_file(upload_file& file, std::string_view reason) {
    file.failed = true;
    failed_.add(escaped_for_display(file.name));
    progress_.upload_file_named(file.name);
    progress_.file_failed(reason);
    shown_file_ = 0;
}

void upload_engine::upload_failed(std::uint64_t file_sequence, std::string_view reason) {
    if (!active()) return;
    heard_from_pullfile();
    bool current = false;
    upload_file* file = pacer_.find_file(file_sequence, &current);
    if (file == nullptr) {
        progress_.notice("pullfile could not save a file: " + escaped_for_display(reason));
        return;
    }
    if (!file->failed) fail_file(*file, escaped_for_display(reason));
    if (current) {
        // pullfile passes over the rest of it: nothing more of it is typed.
        // A query pending is about a file after it, and its sequence is taken already.
        const frame_type pending = pacer_.pending_type();
        if (pacer_.frame_pending() && pending != frame_type::file && pending != frame_type::query) {
            pacer_.drop_pending();
        }
        close_current();
    }
}

// An answer that names no query of ours, or holds more than the file has, is pullfile's mistake:
// nothing of it is used, and the file goes whole.
void upload_engine::upload_have(std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash) {
    if (!active()) return;
    heard_from_pullfile();
    const upload_query* query = nullptr;
    switch (queries_.answer(query_sequence, held, hash, &query)) {
        case upload_queries::answer_outcome::taken: return;
        case upload_queries::answer_outcome::unknown:
            progress_.notice("pullfile answered about frame " + std::to_string(query_sequence) +
                             ", which asked it nothing; the answer was ignored");
            return;
        case upload_queries::answer_outcome::beyond_end:
            progress_.notice("pullfile said it holds " + std::to_string(held) + " bytes of " +
                             escaped_for_display(query->item.name) + ", which has " + std::to_string(query->item.size) +
                             "; it is sent whole");
            return;
    }
}

}  // namespace pushfile::receive
