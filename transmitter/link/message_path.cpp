// SPDX-License-Identifier: Apache-2.0
#include "transmitter/link/message_path.h"

#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

namespace kelbos {

ssize_t system_sendfile(int socket, int file, off_t* offset, std::size_t count) {
    return ::sendfile(socket, file, offset, count);
}

std::size_t batch_messages(std::uint32_t message_length) {
    if (message_length == 0) return 1;
    return std::clamp<std::size_t>(BATCH_BYTES / message_length, 1, BATCH_MESSAGES);
}

namespace {

// Errors by which the system refuses to send file pages on a socket, rather than
// reporting on the connection.
bool refusal(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// A file send has no MSG_NOSIGNAL, and the system raises SIGPIPE for the whole
// process when the peer has gone. The program sends every other byte with
// MSG_NOSIGNAL and never relies on the signal, so it is ignored from the first file
// send on (unless someone has handled it already): the send then fails with EPIPE
// like every other send.
void ignore_pipe_signal() {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

bool RepeatedMessage::hold(std::span<const std::uint8_t> message, std::size_t copies) {
    std::array<std::uint8_t, 4> head{};
    std::copy_n(message.begin(), std::min(head.size(), message.size()), head.begin());
    // The rest of a data message is zeros: its length and ConnId field tell it.
    if (file_ && length_ == message.size() && head_ == head && copies_ >= copies) return true;
    Socket file(::memfd_create("kelbos-message", MFD_CLOEXEC));
    if (!file) return false;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(message.size() * copies);
    for (std::size_t i = 0; i < copies; ++i) bytes.insert(bytes.end(), message.begin(), message.end());
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(file.fd(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    file_ = std::move(file);  // the old file stays alive while the system sends from it
    length_ = static_cast<std::uint32_t>(message.size());
    head_ = head;
    copies_ = copies;
    return true;
}

ssize_t RepeatedMessage::send(int socket, std::size_t bytes, FileSendCall call) const {
    static const bool ignoring = (ignore_pipe_signal(), true);
    (void)ignoring;
    off_t offset = 0;  // every call starts at the start of a message
    ssize_t n;
    do {
        n = call(socket, file_.fd(), &offset, std::min(bytes, copies_ * length_));
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t MessageSender::send(int fd, bool stream, std::span<const std::uint8_t> message, std::size_t messages,
                            const DatagramNumbers* numbers, std::uint64_t max_bytes) {
    messages = std::clamp<std::size_t>(messages, 1, batch_messages(static_cast<std::uint32_t>(message.size())));
    std::size_t last = message.size();
    if (!message.empty() && max_bytes < std::uint64_t{messages} * message.size()) {
        messages = static_cast<std::size_t>(
            std::max<std::uint64_t>((max_bytes + message.size() - 1) / message.size(), 1));
        last =
            static_cast<std::size_t>(std::max<std::uint64_t>(max_bytes - (messages - 1) * message.size(), 1));
    }
    const std::size_t bytes = (messages - 1) * message.size() + last;
    sent_copy_free_ = false;
    if (stream && path_ == SendPath::copy_free && !refused_ && !message.empty()) {
        if (file_.hold(message, batch_messages(static_cast<std::uint32_t>(message.size())))) {
            const ssize_t n = file_.send(fd, bytes, call_);
            if (n >= 0 || !refusal(errno)) {
                sent_copy_free_ = true;
                return n;
            }
        }
        // Refused before a byte was sent: this and every later message of the link go
        // by copy.
        refused_ = true;
    }
    if (!stream) return send_datagrams(fd, message, messages, last, numbers);
    return send_copy(fd, message, messages, last);
}

ssize_t MessageSender::send_copy(int fd, std::span<const std::uint8_t> message, std::size_t messages,
                                 std::size_t last) {
    if (messages == 1) return ::send(fd, message.data(), last, MSG_NOSIGNAL);
    // One message after another in one call: the system copies each in turn.
    for (std::size_t i = 0; i < messages; ++i)
        iov_[i] = iovec{const_cast<std::uint8_t*>(message.data()), i + 1 < messages ? message.size() : last};
    msghdr m{};
    m.msg_iov = iov_.data();
    m.msg_iovlen = messages;
    return ::sendmsg(fd, &m, MSG_NOSIGNAL);
}

ssize_t MessageSender::send_datagrams(int fd, std::span<const std::uint8_t> message, std::size_t messages,
                                      std::size_t last, const DatagramNumbers* numbers) {
    last_datagrams_ = 0;
    // A datagram cut too short for its numbers goes without them.
    const auto numbered_at = [&](std::size_t length) { return numbers && length >= NUMBERED_MIN_MESSAGE; };
    if (messages == 1 && !numbered_at(last)) {
        const ssize_t n = ::send(fd, message.data(), last, MSG_NOSIGNAL);
        if (n >= 0) last_datagrams_ = 1;
        return n;
    }
    for (std::size_t i = 0; i < messages; ++i) {
        const std::size_t length = i + 1 < messages ? message.size() : last;
        datagrams_[i] = mmsghdr{};
        if (numbered_at(length)) {
            std::array<std::uint8_t, NUMBERED_HEAD_LEN>& head = heads_[i];
            std::copy_n(message.begin(), NUMBERED_HEAD_LEN, head.begin());
            write_datagram_numbers(head, static_cast<std::uint32_t>(message.size()),
                                   DatagramNumbers{numbers->sequence + i, numbers->send_ns});
            numbered_iov_[i][0] = iovec{head.data(), head.size()};
            numbered_iov_[i][1] = iovec{const_cast<std::uint8_t*>(message.data()) + NUMBERED_HEAD_LEN,
                                        length - NUMBERED_HEAD_LEN};
            datagrams_[i].msg_hdr.msg_iov = numbered_iov_[i].data();
            datagrams_[i].msg_hdr.msg_iovlen = 2;
        } else {
            iov_[i] = iovec{const_cast<std::uint8_t*>(message.data()), length};
            datagrams_[i].msg_hdr.msg_iov = &iov_[i];
            datagrams_[i].msg_hdr.msg_iovlen = 1;
        }
    }
    // The datagrams the system took, each a whole message; an error after the first
    // comes back with the next call.
    const int sent = ::sendmmsg(fd, datagrams_.data(), static_cast<unsigned>(messages), MSG_NOSIGNAL);
    if (sent < 0) return -1;
    last_datagrams_ = static_cast<std::size_t>(sent);
    const std::size_t whole = std::min(last_datagrams_, messages - 1);
    return static_cast<ssize_t>(whole * message.size() + (last_datagrams_ == messages ? last : 0));
}

}  // namespace kelbos
