// SPDX-License-Identifier: Apache-2.0
#include "scripted_receiver.h"

#include <sys/socket.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <stdexcept>

#include "net/address.h"
#include "net/resolve.h"

namespace kelbos::test {

Socket bound_loopback(int type, std::uint16_t& port, bool listening) {
    Socket s = make_socket(type);
    const SocketAddress a = resolve_host("127.0.0.1", 0).at(0);
    if (!s || ::bind(s.fd(), a.get(), a.length) != 0) throw std::runtime_error("bind");
    if (type == SOCK_STREAM && listening && ::listen(s.fd(), LISTEN_BACKLOG) != 0)
        throw std::runtime_error("listen");
    port = port_of(local_address(s.fd()));
    return s;
}

ScriptedReceiver::ScriptedReceiver()
    : control(bound_loopback(SOCK_STREAM, ports.control)),
      stream(bound_loopback(SOCK_STREAM, ports.stream)),
      datagram(bound_loopback(SOCK_DGRAM, ports.datagram)) {}

bool ScriptedReceiver::any_traffic() const {
    for (const Socket* s : {&control, &stream, &datagram})
        if (wait_readable(s->fd(), 0ms) == WaitResult::ready) return true;
    return false;
}

std::future<SetupPeer> play_setup(const Socket& listener, Bytes reply, bool close_after) {
    const int fd = listener.fd();
    return std::async(std::launch::async, [fd, reply = std::move(reply), close_after] {
        SetupPeer peer;
        if (wait_readable(fd, PEER_WAIT) != WaitResult::ready) return peer;
        peer.connection = Socket(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
        if (!peer.connection) return peer;
        peer.request = read_bytes(peer.connection.fd(), SETUP_REQUEST_LEN);
        if (!reply.empty()) send_bytes(peer.connection.fd(), reply);
        if (close_after) peer.connection.reset();
        return peer;
    });
}

std::future<Bytes> play_shutdown(int fd, Bytes ack, bool end_after) {
    return std::async(std::launch::async, [fd, ack = std::move(ack), end_after] {
        Bytes request = read_bytes(fd, SHUTDOWN_REQUEST_LEN);
        if (!ack.empty()) send_bytes(fd, ack);
        if (end_after) ::shutdown(fd, SHUT_RDWR);
        return request;
    });
}

Bytes read_bytes(int fd, std::size_t n) {
    Bytes got(n);
    std::size_t have = 0;
    while (have < n && wait_readable(fd, PEER_WAIT) == WaitResult::ready) {
        const ssize_t r = ::recv(fd, got.data() + have, n - have, MSG_DONTWAIT);
        if (r <= 0) {
            if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            break;
        }
        have += static_cast<std::size_t>(r);
    }
    got.resize(have);
    return got;
}

bool read_to_end(int fd, Bytes& got) {
    std::uint8_t buffer[65536];
    while (wait_readable(fd, PEER_WAIT) == WaitResult::ready) {
        const ssize_t r = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (r == 0) return true;
        if (r < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return errno == ECONNRESET;
        }
        got.insert(got.end(), buffer, buffer + r);
    }
    return false;
}

std::size_t drain(int fd, Bytes* got) {
    std::uint8_t buffer[65536];
    std::size_t total = 0;
    for (;;) {
        const ssize_t r = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (r <= 0) return total;
        total += static_cast<std::size_t>(r);
        if (got) got->insert(got->end(), buffer, buffer + r);
    }
}

void send_bytes(int fd, const Bytes& bytes, int flags) {
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | flags) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("send");
}

void reset_connection(Socket& socket) {
    const linger hard{1, 0};
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket.reset();
}

bool closed_silently(int fd) {
    Bytes got;
    return read_to_end(fd, got) && got.empty();
}

Bytes data_message(const Bytes& field, std::size_t length) {
    Bytes message(length, 0);
    std::copy_n(field.begin(), std::min(field.size(), length), message.begin());
    return message;
}

Bytes message_stream(const std::vector<int>& accepted, std::size_t length, const Bytes& field) {
    const Bytes message = data_message(field, length);
    Bytes stream;
    for (int n : accepted)
        for (auto left = static_cast<std::size_t>(n); left > 0; left -= std::min(left, length))
            stream.insert(stream.end(), message.begin(), message.begin() + std::min(left, length));
    return stream;
}

void pump_posted() {
    bool ran = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&ran] { ran = true; }, Qt::QueuedConnection);
    if (!pump_until([&] { return ran; })) throw std::runtime_error("event loop stuck");
}

}  // namespace kelbos::test
