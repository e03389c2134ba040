// SPDX-License-Identifier: Apache-2.0
// How a link's data messages reach the system.
//
// Back to back, one call carries several messages: on TCP one sendmsg of the data
// buffer over and over, on UDP one sendmmsg of a datagram per message. Every data
// message of a link is the same bytes, so a TCP link can also send them without
// copying them from the program's memory (the copy-free path): a memory file holds the
// message repeated, and the system sends from the file's pages (sendfile). Where the
// system refuses that (no memory files, a socket that cannot take file pages), the
// link sends by copy.
//
// Whatever the path, the stream is what one send per message gives: every call starts
// at the beginning of a message, whole messages follow each other, and a call that the
// socket cuts short leaves the rest of its last message unsent, as a short send does.
// Datagrams are each one message; back to back, several go in one call (sendmmsg).
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/protocol.h"
#include "net/sockets.h"

namespace kelbos {

// The call that sends bytes of a file on a socket, as sendfile(2) does. Tests put in
// one that refuses, as an old system would.
using FileSendCall = ssize_t (*)(int socket, int file, off_t* offset, std::size_t count);
ssize_t system_sendfile(int socket, int file, off_t* offset, std::size_t count);

// copy: every call copies the messages from the data buffer; copy_free: a TCP link
// sends from the memory file. On loopback the copy costs less per byte than the
// system's bookkeeping of every file page it sends (docs/performance.md), so the copy
// is the default.
enum class SendPath { copy, copy_free };

// One call carries at most this many messages (the system's limit of pieces per
// call), and no more bytes than BATCH_BYTES, but always one whole message. Calls of
// about the largest send buffer the system sizes by itself cost the least per byte.
inline constexpr std::size_t BATCH_MESSAGES = 1024;
inline constexpr std::size_t BATCH_BYTES = std::size_t{4} << 20;
std::size_t batch_messages(std::uint32_t message_length);

// A memory file that holds one message a number of times over. Its bytes never change
// once written: the system may still be sending from its pages after a call returns,
// so a different message gets a new file.
class RepeatedMessage {
public:
    // Makes the file hold `message` `copies` times unless it already does. False, with
    // errno, when the system gives no memory file.
    bool hold(std::span<const std::uint8_t> message, std::size_t copies);
    // Sends the first `bytes` of the copies held (at most all of them) on `socket`: the
    // bytes accepted, or -1 with errno. A socket whose peer has gone fails with EPIPE:
    // the first call has SIGPIPE ignored, unless the program handles it itself.
    ssize_t send(int socket, std::size_t bytes, FileSendCall call) const;
    std::size_t copies() const { return copies_; }

private:
    Socket file_;
    std::uint32_t length_ = 0;
    std::array<std::uint8_t, 4> head_{};  // the message's first bytes: its ConnId field
    std::size_t copies_ = 0;
};

// Sends a link's data messages by the path chosen, falling back to the copy where the
// system refuses the file.
class MessageSender {
public:
    explicit MessageSender(SendPath path = SendPath::copy, FileSendCall call = system_sendfile)
        : path_(path), call_(call) {}

    // Sends up to `messages` (at least 1) copies of `message` on `fd`, a TCP connection
    // when `stream`, else a connected datagram socket. Returns the bytes the system
    // accepted: on a stream whole messages and possibly the start of one more, on a
    // datagram socket whole datagrams. -1 with errno when nothing was sent. Given
    // `numbers`, each datagram carries its own: the first those, each next one the
    // following sequence number (the message itself is not changed). No more than
    // `max_bytes` (at least 1) go: the last message is cut short there.
    ssize_t send(int fd, bool stream, std::span<const std::uint8_t> message, std::size_t messages,
                 const DatagramNumbers* numbers = nullptr, std::uint64_t max_bytes = UINT64_MAX);
    // The datagrams the last send on a datagram socket got out.
    std::size_t last_datagrams() const { return last_datagrams_; }
    // The link has closed: its file goes, and the next link tries the file path again.
    void reset() {
        refused_ = false;
        file_ = RepeatedMessage{};
    }

private:
    friend struct MessageSenderPeer;  // the tests' door to the path taken

    // `last` is the length of the last message, the others are whole.
    ssize_t send_copy(int fd, std::span<const std::uint8_t> message, std::size_t messages, std::size_t last);
    ssize_t send_datagrams(int fd, std::span<const std::uint8_t> message, std::size_t messages,
                           std::size_t last, const DatagramNumbers* numbers);

    SendPath path_;
    FileSendCall call_;
    RepeatedMessage file_;
    bool refused_ = false;         // the file path was refused: by copy until reset
    bool sent_copy_free_ = false;  // the last stream send went by the file (whatever its result)
    std::array<iovec, BATCH_MESSAGES> iov_{};
    std::array<mmsghdr, BATCH_MESSAGES> datagrams_{};
    // A numbered datagram is its own head, then the rest of the message.
    std::array<std::array<std::uint8_t, NUMBERED_HEAD_LEN>, BATCH_MESSAGES> heads_{};
    std::array<std::array<iovec, 2>, BATCH_MESSAGES> numbered_iov_{};
    std::size_t last_datagrams_ = 0;
};

}  // namespace kelbos
