// What the upload prompt named, in the order it goes up: each path given, and beneath a folder
// the files (and, for frames of version 2, the folders) a walk finds, each file opened as its
// turn comes. Every use of the folder walk on the receiver's side is here.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/owned_fd.h"
#include "transfer/upload_frames.h"

namespace pushfile {
struct folder_walk;
}

namespace pushfile::receive {

struct upload_item {
    enum class kind : unsigned char {
        none,            // every path was gone through
        file,            // file is open for reading; size and attributes are its own
        unsendable,      // named, or found in a folder named, and cannot be read: why says why
        skipped,         // passed over in a folder (a link, a FIFO...): why says why; not sent
        folder_entered,  // a walk's folder, with its attributes (frames of version 2)
        folder_left,
    };
    kind what = kind::none;
    std::string name;  // as it goes up: the path's last part, or NAME/relative/path in a folder
    bool in_folder = false;
    owned_fd file;
    std::uint64_t size = 0;
    mode_and_time attributes;
    std::string why;
    // A file: where it is on this side, and which file it was, to open it again after set_aside().
    std::string local_path;
    dev_t device = 0;
    ino_t inode = 0;
};

// A file waiting its turn far ahead holds no descriptor: a deep look-ahead would hold one per file.
void set_aside(upload_item* item);
// Opens a file set aside again. Unless it is the same file, of the same size and time, it is made
// unsendable: what was told of it would not hold.
void take_up(upload_item* item);

class upload_sources {
public:
    upload_sources();
    ~upload_sources();
    upload_sources(const upload_sources&) = delete;
    upload_sources& operator=(const upload_sources&) = delete;

    // The paths in the prompt's order; report_folders: a walk hands out its folders too.
    void start(std::vector<std::string> paths, bool report_folders);
    // The next item; kind::none once all are gone through.
    upload_item next();
    // Whether next() has nothing more to find.
    bool exhausted() const;
    // Nothing more goes: an unfinished walk ends.
    void clear();

private:
    upload_item next_in_folder();
    void end_walk();

    std::vector<std::string> paths_;
    std::size_t next_path_ = 0;
    bool report_folders_ = false;
    std::unique_ptr<folder_walk> walk_;
    std::string walk_root_;  // the folder being walked, as named
};

// Reads the file's next count bytes into bytes. False, with *error for a person, when the read
// failed or the file ended first: it shrank from its size while it was sent (sent bytes before).
bool read_block(const owned_fd& file, unsigned char* bytes, std::size_t count, std::uint64_t sent, std::uint64_t size,
                std::string* error);

// Adds to *files and *bytes the files beneath the folder, as an upload's walk will find them.
// False, with *error for a person, when the folder cannot be read.
bool count_folder_files(const std::string& folder, std::uint64_t* files, std::uint64_t* bytes, std::string* error);

}  // namespace pushfile::receive
