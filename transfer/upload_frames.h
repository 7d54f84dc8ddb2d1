// The upload's frames: what the receiver types into the terminal for pullfile to read, and how
// pullfile finds them in what it reads. Every byte of a frame is printable ASCII, and none is '~'
// (ssh's escape character), '`' or a control byte, so frames pass ssh with or without a terminal,
// tmux (which reads them as keys), serial consoles with XON/XOFF, and line disciplines in any
// mode: no line end is sent, and CR and LF met inside a frame are ignored.
//
//   frame     '#' TYPE SEQUENCE ',' PAYLOAD ',' CHECK '.'
//   TYPE      one capital letter, frame_type below
//   SEQUENCE  1..19 decimal digits: 1 for an upload's first frame, one more for each frame after it
//   CHECK     8 lowercase hex digits: the CRC-32 of every byte from TYPE to the ',' before CHECK
//   PAYLOAD   by TYPE:
//     P  DIGITS: the version of this format the receiver writes: the highest both sides read
//        (pullfile says which it reads in its request, upload_request_body()). It saw the request
//        and is asking its user which files to send.
//     F  version 1: SIZE ';' NAME
//        version 2: SIZE ';' MODE ';' TIME ';' NAME
//        version 3: SIZE ';' MODE ';' TIME ';' START ';' NAME
//        a file begins. SIZE 1..20 digits; NAME the path to save it under, beneath pullfile's
//        folder, in base64, 1..MAX_UPLOAD_NAME bytes ("photos/2024/a.jpg" for a file of a folder
//        sent); MODE and TIME the file's, as below. START 1..20 digits: the bytes pullfile
//        already holds and keeps (0, or what its 'have' answered for this file's latest Q); the
//        D frames carry the rest.
//     Q  version 3: SIZE ';' MODE ';' TIME ';' NAME: this file may come next; pullfile answers
//        with what it holds of it (CODE_UPLOAD_HAVE).
//     M  version 2: MODE ';' TIME ';' NAME: the folder walk entered the folder NAME (encoded as a
//        file's); its files and folders follow, then its L.
//     L  version 2, empty: the walk left the folder of the last M not yet left.
//     D  the file's next bytes in base64: 1..UPLOAD_BLOCK_SIZE of them
//     E  empty: the file's end; every byte of it came. From version 3 on: HASH, 32 lowercase hex
//        digits, the XXH3-128 of the file's whole content (common/file_hash.h)
//     X  empty: the receiver gave up on the file (it could not be read in full)
//     Z  DIGITS: every file chosen was sent; how many
//     C  empty: the user cancelled the upload
//     N  empty: the user chose no file
//     R  empty: this receiver does not take upload requests
//   MODE      1..3 octal digits: the permission bits (0777 at most; never setuid, setgid, sticky)
//   TIME      ['-'] SECONDS ';' NANOSECONDS: the last modification, SECONDS 1..19 digits since
//             1970 (before it with '-'), NANOSECONDS 1..9 digits, below 1000000000
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/file_hash.h"
#include "common/protocol.h"
#include "common/upload_encoding.h"

namespace pushfile {

enum class frame_type : unsigned char {
    prompting = 'P',
    file = 'F',
    data = 'D',
    file_end = 'E',
    given_up = 'X',
    done = 'Z',
    cancelled = 'C',
    nothing = 'N',
    refused = 'R',
    folder = 'M',
    folder_end = 'L',
    query = 'Q',
};

// The highest version of the frames this side writes and reads; every version from 1 up to it
// is read.
inline constexpr unsigned UPLOAD_FORMAT_VERSION = 5;
// The version without modes, times or folders.
inline constexpr unsigned FIRST_UPLOAD_FORMAT_VERSION = 1;
// The version with modes, times and folders.
inline constexpr unsigned FOLDERS_UPLOAD_FORMAT_VERSION = 2;
// The version with queries, start offsets and whole-file hashes.
inline constexpr unsigned RESUMING_UPLOAD_FORMAT_VERSION = 3;
// The frames of version 3, which may also come in answers to tmux's clipboard queries
// (CODE_UPLOAD_CLIPBOARD).
inline constexpr unsigned CLIPBOARD_UPLOAD_FORMAT_VERSION = 4;
// The frames of version 4, whose answers may go ahead of tmux's query: one that tmux may have
// dropped for coming before it is sent again, and pullfile passes over frames it had already.
inline constexpr unsigned ANSWERS_AHEAD_UPLOAD_FORMAT_VERSION = 5;
// How many files ahead of the one being sent the receiver may type Q frames.
inline constexpr std::size_t UPLOAD_QUERIES_AHEAD = 1024;
// As a download's block, so that one answer window sizes both directions.
inline constexpr std::size_t UPLOAD_BLOCK_SIZE = BLOCK_SIZE;
inline constexpr std::size_t MAX_UPLOAD_NAME = 4095;
inline constexpr std::size_t MAX_SEQUENCE_DIGITS = 19;
// The longest frame: a data frame of a full block.
inline constexpr std::size_t MAX_FRAME_LENGTH = 2 + MAX_SEQUENCE_DIGITS + 1 + base64_length(UPLOAD_BLOCK_SIZE) + 1 + 8 + 1;

// A file's or folder's permission bits and modification time, as they travel.
struct mode_and_time {
    unsigned mode = 0;  // 0777 at most
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
};

struct upload_frame {
    frame_type type = frame_type::nothing;
    std::uint64_t sequence = 0;
    std::uint64_t number = 0;               // P: the version; F, Q: the size; Z: the file count
    std::string_view name;                  // F, Q, M: the path decoded (may hold any byte but NUL)
    bool has_mode_and_time = false;         // F of version 2 on, Q, M
    bool has_start = false;                 // F of version 3
    std::uint64_t start = 0;
    bool has_hash = false;                  // E of version 3
    file_hash hash;
    mode_and_time attributes;
    const unsigned char* data = nullptr;    // D: the bytes decoded
    bool dense = false;                     // D that came in dense characters (W)
    std::size_t length = 0;
};

enum class frame_error : unsigned char {
    cut,          // a new frame began, or the input ended, before this one did
    bad_byte,     // a byte that cannot stand where it stands
    too_long,     // longer than any frame, or a field longer than its limit
    bad_check,    // the CRC-32 does not match
    bad_payload,  // the check matches but the payload is not what its type carries
};

// A short description for people, e.g. "a frame whose check does not match".
const char* describe(frame_error error);

class frame_events {
public:
    // A complete frame whose check matched and whose payload is well formed. Its views are valid
    // until the next feed.
    virtual void frame_received(const upload_frame& frame) = 0;
    virtual void frame_broken(frame_error error) = 0;
    // Bytes outside any frame: keys typed on this side, or noise. CR and LF inside frames are not
    // reported.
    virtual void stray_bytes(const unsigned char* bytes, std::size_t length) { (void)bytes, (void)length; }

protected:
    ~frame_events() = default;
};

// Finds the frames in what pullfile reads, fed in chunks of any size. Memory is fixed: one
// frame's text and its decoded payload.
class frame_reader {
public:
    frame_reader();
    void feed(const unsigned char* bytes, std::size_t length, frame_events& events);
    // The input ended: a frame begun is reported cut.
    void finish(frame_events& events);
    bool in_frame() const { return length_ > 0; }

private:
    void complete(frame_events& events);
    void broken(frame_error error, frame_events& events);

    std::unique_ptr<char[]> text_;  // the frame from TYPE on, MAX_FRAME_LENGTH bytes
    std::size_t length_ = 0;        // 0: outside a frame; else bytes held, '#' counted
    bool skipping_ = false;         // the rest of a broken frame, up to its '.'
    std::unique_ptr<unsigned char[]> decoded_;
};

// Typed through a tmux (version 5, once pullfile asks for it), a data frame may carry up to
// DENSE_BLOCK_SIZE bytes in dense characters (common/upload_encoding.h): tmux reads each key on its
// own, and a dense one carries 1.75 bytes where base64's carries 0.75. '#' 'W' SEQ ',' COUNT ';'
// CHARACTERS ',' CRC '.'; read, it is a data frame like any other.
inline constexpr unsigned char DENSE_DATA_FRAME_TYPE = 'W';
inline constexpr std::size_t DENSE_BLOCK_SIZE = 28672;
static_assert(2 + MAX_SEQUENCE_DIGITS + 1 + 6 + 1 + dense_length(DENSE_BLOCK_SIZE) + 1 + 8 + 1 <= MAX_FRAME_LENGTH,
              "a dense data frame fits where a data frame does");

// Inside clipboard answers (version 5) a data frame carries its bytes as they are, tmux's base64
// of the answer being the only one on the way: '#' 'B' SEQ ',' COUNT ',' BYTES ',' CRC '.', the
// check over everything after '#' up to its last separator, as in every frame. It is never typed.
inline constexpr unsigned char RAW_DATA_FRAME_TYPE = 'B';
static_assert(2 + MAX_SEQUENCE_DIGITS + 1 + 6 + 1 + UPLOAD_BLOCK_SIZE + 1 + 8 + 1 <= MAX_FRAME_LENGTH,
              "a raw data frame fits where a data frame does");
// B: count bytes, up to UPLOAD_BLOCK_SIZE, into frame (room for MAX_FRAME_LENGTH bytes).
std::size_t format_raw_data_frame(std::uint64_t sequence, const unsigned char* bytes, std::size_t count, char* frame);
// The raw data frame at the start of bytes: its length, with *frame, or 0 when it is cut or does
// not check (*error says which).
std::size_t read_raw_data_frame(const unsigned char* bytes, std::size_t length, upload_frame* frame,
                                frame_error* error);

// Each writes one whole frame into frame (room for MAX_FRAME_LENGTH bytes) and returns its length.
// A frame without payload (E below version 3, X, C, N, R):
std::size_t format_empty_frame(frame_type type, std::uint64_t sequence, char* frame);
// P and Z:
std::size_t format_number_frame(frame_type type, std::uint64_t sequence, std::uint64_t number, char* frame);
// name: 1..MAX_UPLOAD_NAME bytes. Version 1 carries no mode and time: attributes are left out;
// start is written from version 3 on (and must be 0 below it).
std::size_t format_file_frame(unsigned version, std::uint64_t sequence, std::uint64_t size,
                              const mode_and_time& attributes, std::uint64_t start, std::string_view name,
                              char* frame);
// Q, of version 3 only: the F of version 2's payload.
std::size_t format_query_frame(std::uint64_t sequence, std::uint64_t size, const mode_and_time& attributes,
                               std::string_view name, char* frame);
// E: empty below version 3, the hash from 3 on.
std::size_t format_file_end_frame(unsigned version, std::uint64_t sequence, const file_hash& hash, char* frame);
// M, of version 2 only.
std::size_t format_folder_frame(std::uint64_t sequence, const mode_and_time& attributes, std::string_view name,
                                char* frame);
// count: 1..UPLOAD_BLOCK_SIZE bytes.
std::size_t format_data_frame(std::uint64_t sequence, const unsigned char* bytes, std::size_t count, char* frame);
// W: count bytes, up to DENSE_BLOCK_SIZE.
std::size_t format_dense_data_frame(std::uint64_t sequence, const unsigned char* bytes, std::size_t count, char* frame);

// pullfile's request (CODE_UPLOAD_REQUEST): which versions it reads, and its folder. From version 2
// on the body is DIGITS ';' FOLDER, DIGITS the highest version it reads; a pullfile of version 1
// sends the folder alone, which always starts with '/'. A receiver that reads the request as
// version 1 does shows the body whole as the folder, and writes version 1, which pullfile reads.
struct upload_request {
    unsigned highest_version = FIRST_UPLOAD_FORMAT_VERSION;  // that pullfile reads
    std::string_view folder;
};
std::string upload_request_body(std::string_view folder);
// A body of any other form is taken as version 1's: the whole of it the folder.
upload_request parse_upload_request(std::string_view body);
// The version the receiver writes for a pullfile that reads up to highest.
constexpr unsigned upload_version_for(unsigned highest) { return highest < UPLOAD_FORMAT_VERSION ? highest : UPLOAD_FORMAT_VERSION; }

}  // namespace pushfile
