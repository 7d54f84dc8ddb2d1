// The files looked ahead of the one being sent, from frames of version 3 on: each file's query
// goes out as soon as it is taken here, and pullfile's answer (how much of it pullfile holds
// already, and that part's hash) is kept until the file's own frame. A fixed ring: the upload
// never looks further ahead than UPLOAD_QUERIES_AHEAD items, whatever it sends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/file_hash.h"
#include "receiver/session/upload_sources.h"
#include "transfer/upload_frames.h"

namespace pushfile::receive {

// The walk ahead pauses after this many frames typed in one turn, so that the command's terminal
// takes them before it goes on: pullfile answers the first queries while the walk finds the rest
// (a thousand files walked before the first query went out held every answer back by 2.5 ms).
inline constexpr std::size_t FRAMES_BEFORE_WALK_PAUSE = 64;

struct upload_query {
    upload_item item;
    std::uint64_t sequence = 0;  // of its query frame; 0 until that is prepared
    bool answered = false;
    std::uint64_t held = 0;  // what pullfile holds of the file, 0..item.size
    file_hash hash;          // of those held bytes
};

class upload_queries {
public:
    enum class answer_outcome : unsigned char {
        taken,
        unknown,     // no query in the ring has that sequence, or its answer came already
        beyond_end,  // more held than the file has: taken as nothing held
    };

    void clear();
    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == ring_.size(); }
    // Items in the walk's order: files, folders and files that cannot be read alike.
    void push(upload_item item);
    upload_query& front() { return slot(0); }
    upload_item pop();
    // The first file in the ring not yet asked about, or null.
    upload_query* next_to_ask();
    // Whether the front item may go: a file goes once its answer is in.
    bool front_ready();

    // *query: the query answered, unless the outcome is unknown.
    answer_outcome answer(std::uint64_t query_sequence, std::uint64_t held, const file_hash& hash,
                          const upload_query** query);

private:
    upload_query& slot(std::size_t index) { return ring_[(first_ + index) % ring_.size()]; }

    std::array<upload_query, UPLOAD_QUERIES_AHEAD> ring_{};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    // From the front, the items before these are all asked about (or are no files), and all
    // answered: queries go, and their answers come, in ring order, so a thousand ahead are not
    // looked through again for each one.
    std::size_t asked_ = 0;
    std::size_t answered_ = 0;
};

// A file's first count bytes, through block (UPLOAD_BLOCK_SIZE bytes), into hasher. False, with
// *error for a person, when they cannot all be read (the file shrank since it was opened).
bool hash_file_start(const owned_fd& file, std::uint64_t count, std::uint64_t size, unsigned char* block,
                     file_hasher& hasher, std::string* error);

}  // namespace pushfile::receive
