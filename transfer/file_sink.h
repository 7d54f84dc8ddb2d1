// Saves incoming files beneath one directory, safely: whatever path arrives, the result is at most
// a new file with a clean name in that directory or in folders beneath it, made as needed. Nothing
// is ever overwritten, no symlink is followed, and a file only appears under its final name once
// it is complete.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "common/owned_fd.h"
#include "transfer/saved_names.h"

namespace pushfile {

struct file_sink_options {
    // Keep the folders of the path sent (clean_relative_path); false saves the last part only.
    bool keep_folders = true;
    // Resolve folders with openat2(); false walks them a part at a time, as on kernels without it.
    bool use_openat2 = true;
};

// Each step that can fail returns false and puts in *error, for a person to read, what failed, on
// which file, and why.
class file_sink {
public:
    // Opens the target directory, which must exist. On failure ok() is false, and
    // check_writable() says why.
    explicit file_sink(const std::string& directory, file_sink_options options = {});
    ~file_sink();
    file_sink(const file_sink&) = delete;
    file_sink& operator=(const file_sink&) = delete;

    bool ok() const;
    // Whether a file can be created in the directory, found by creating and removing one. For
    // failing at start rather than at the first file.
    bool check_writable(std::string* error);

    // Starts a file that will be saved under clean_relative_path(sent_path) (or clean_file_name()
    // without keep_folders), or a numbered variant. Opens its folder, creating the missing ones,
    // never through a link, and creates the temporary file exclusively inside it; that folder is
    // held open until the file is saved, so a folder swapped for a link meanwhile cannot redirect
    // the file. Any file in progress is aborted.
    bool begin(std::string_view sent_path, std::string* error);
    // Whether the last begin() failed on that file's path alone (a file or a link where a folder
    // is needed, a path too long, a folder that cannot be made): the next file may well succeed.
    bool path_refused() const;
    // The file in progress gets these permission bits, less the umask's and never more than 0777,
    // and this modification time, before commit() gives it its name. Without this call a file
    // keeps what it was created with: 0666 less the umask's bits, and the time it was written.
    void keep_mode_and_time(unsigned mode, const timespec& modified);
    // Appends bytes to the file in progress. On failure the file is given up: its temporary file
    // is removed, and nothing more can be written or saved until the next begin().
    bool write(const unsigned char* bytes, std::size_t length, std::string* error);

    // Flushes the data to disk and gives it its final name without replacing anything: the clean
    // name, else "name.1", "name.2", ... (the suffix comes after the whole name; the name is cut so
    // that name and suffix fit in MAX_NAME_LENGTH bytes). Returns false, with the temporary file
    // removed, on failure. saved_name() is the path chosen, beneath the directory.
    bool commit(std::string* error);
    const std::string& saved_name() const;
    // Adds bytes to the end of the file the last commit() saved, and flushes them to disk: a file
    // that grew while it was sent. Written through the saved file's own descriptor, never by name.
    bool append_to_saved(const unsigned char* bytes, std::size_t length, std::string* error);
    // Whether the last file saved went under another path than the one sent: its name was taken (a
    // numbered variant) or cleaned (".profile" as "_profile"). Empty and "." parts of the path sent
    // do not count.
    bool renamed() const;

    // Takes back the file the last commit() saved, if its name still holds that file: the sender
    // was refused after all. Returns whether it was removed.
    bool remove_saved();

    // A folder of a tree sent, made beneath the directory at clean_relative_path(sent_path), with
    // the folders above it, never through a link, as begin() makes a file's. One that exists
    // already is used as it is: made says whether this call created it.
    struct made_folder {
        std::string path;  // beneath the directory
        bool made = false;
        dev_t device = 0;
        ino_t inode = 0;
    };
    bool make_folder(std::string_view sent_path, made_folder* made, std::string* error);
    // Gives a folder make_folder() created its final permission bits (as keep_mode_and_time()
    // masks them) and modification time, once its files are in: a folder it found, or one swapped
    // for another since, is left as it is. Returns false, with *error, when they could not be set.
    bool finish_folder(const made_folder& made, unsigned mode, const timespec& modified, std::string* error);

    // Removes the temporary file of the file in progress, if any, and the folders made for it that
    // are still empty.
    void abort();

    // With replace on, commit() puts the file over a regular file of its clean name in one rename
    // (there is never a moment without a whole file under that name) rather than choosing a
    // numbered name; a link, a folder or anything else of that name is never replaced.
    void set_replace_existing(bool replace);
    // Whether the last commit() replaced a file.
    bool replaced() const;
    // The folder a file sent as sent_path would be saved in, opened without making anything and
    // never through a link, and the last part of its name there: for looking at what is already
    // there. An invalid descriptor when that folder is not there or the path cannot be saved.
    owned_fd open_existing_folder(std::string_view sent_path, std::string* last_part);
    // Keeps what was written of the file in progress under name beside where it would have gone
    // (replacing a file of that name), rather than removing it: a partial file for a later upload
    // to resume from. Returns false, with the file removed, when that fails.
    bool keep_as(const std::string& name);

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace pushfile
