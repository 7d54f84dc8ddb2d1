#include "pushfile/transfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/letters.h"
#include "common/messages.h"
#include "common/owned_fd.h"
#include "pushfile/terminal.h"
#include "remote/standard_streams.h"

namespace pushfile::send {
namespace {

bool write_text_and_nul(const char* buffer, std::size_t length) {
    return remote::write_message(buffer, length + 1, nullptr, 0);
}

bool answer_accepted = false;

}  // namespace

namespace {

// Announces the size of an opened file and sends its blocks, each after the terminal has answered
// the message before it. A failed read of the file ends it like its end; so do reads that end
// before a known size. *fault tells either.
transfer_outcome send_contents(int file, char* message, file_fault* fault) {
    unsigned char block[BLOCK_SIZE];
    unsigned char letters[LETTER_BUFFER_SIZE];
    unsigned char reply[REPLY_LENGTH];

    // A file that cannot seek announces (off_t)-1, read as an unsigned size: "unknown".
    const off_t size = lseek(file, 0, SEEK_END);
    (void)lseek(file, 0, SEEK_SET);
    fault->announced_size = static_cast<std::uint64_t>(size);
    if (!write_text_and_nul(message, format_size_message(message, fault->announced_size)))
        return transfer_outcome::channel_failure;

    for (;;) {
        if (read_reply(reply) != 2) return transfer_outcome::no_reply;
        if (reply[0] != REPLY_ACCEPT) return transfer_outcome::refused_reply;
        answer_accepted = true;

        // One read per block, sent as it comes.
        const ssize_t count = read(file, block, BLOCK_SIZE);
        if (count < 0) {
            fault->error = errno;
            return transfer_outcome::completed;
        }
        if (count == 0) {
            // Where the size is unknown the end of the reads is the file's real end; a file that
            // grew past its size was sent to its end, which is no fault either.
            fault->ended_short = fault->announced_size != UNKNOWN_SIZE && fault->bytes_sent < fault->announced_size;
            return transfer_outcome::completed;
        }
        const auto length = static_cast<std::size_t>(count);
        const auto checksum = static_cast<std::int32_t>(pushfile::encode_letters(block, length, letters));
        letters[2 * length] = '\0';
        const std::size_t header_length = format_block_header(message, checksum);
        if (!remote::write_message(message, header_length, letters, 2 * length + 1))
            return transfer_outcome::channel_failure;
        fault->bytes_sent += length;
    }
}

// The conversation after the path message: size and blocks when the file is open, then the end.
transfer_outcome finish_file(owned_fd file, char* message, file_fault* fault) {
    if (file.valid()) {
        const transfer_outcome outcome = send_contents(file.get(), message, fault);
        file.reset();
        if (outcome != transfer_outcome::completed) return outcome;
    }

    // The zero byte that follows the end message travels with it.
    const unsigned char zero_byte = 0;
    if (!remote::write_message(message, format_end_message(message) + 1, &zero_byte, 1))
        return transfer_outcome::channel_failure;
    return transfer_outcome::completed;
}

}  // namespace

transfer_outcome send_file(const char* path, file_fault* fault) {
    char message[MESSAGE_BUFFER_SIZE];
    *fault = file_fault{};

    if (!write_text_and_nul(message, format_path_message(message, path))) return transfer_outcome::channel_failure;

    owned_fd file(open(path, O_RDONLY));
    if (!file.valid()) fault->error = errno;
    return finish_file(std::move(file), message, fault);
}

transfer_outcome send_opened_file(const char* sent_path, owned_fd file, int open_error, file_fault* fault) {
    char message[MESSAGE_BUFFER_SIZE];
    *fault = file_fault{};
    if (!file.valid()) fault->error = open_error;

    if (!write_text_and_nul(message, format_path_message(message, sent_path))) return transfer_outcome::channel_failure;
    return finish_file(std::move(file), message, fault);
}

bool any_answer_accepted() { return answer_accepted; }

}  // namespace pushfile::send
