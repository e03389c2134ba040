// SPDX-License-Identifier: Apache-2.0
#include "engine_harness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <cerrno>

#include "net/resolve.h"

namespace kelbos::test {

bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // Wakes the loop now and then so conditions outside Qt (a client socket) are
    // looked at even when no Qt event arrives.
    QTimer tick;
    tick.start(2);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void flush_deferred_deletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

Peer Peer::tcp(std::uint16_t port, const char* from) {
    Peer peer;
    peer.socket_ = make_socket(SOCK_STREAM);
    const SocketAddress source = resolve_host(from, 0).at(0);
    if (!peer.socket_ || !set_nonblocking(peer.fd()) || ::bind(peer.fd(), source.get(), source.length) != 0)
        return Peer{};
    const SocketAddress address = resolve_host("127.0.0.1", port).at(0);
    if (::connect(peer.fd(), address.get(), address.length) != 0) {
        if (errno != EINPROGRESS) return Peer{};
        if (!pump_until([&] { return wait_writable(peer.fd(), 0ms) == WaitResult::ready; })) return Peer{};
        int err = 0;
        socklen_t length = sizeof err;
        if (::getsockopt(peer.fd(), SOL_SOCKET, SO_ERROR, &err, &length) != 0 || err != 0) return Peer{};
    }
    return peer;
}

Peer Peer::udp(std::uint16_t port, const char* from) {
    Peer peer;
    peer.socket_ = make_socket(SOCK_DGRAM);
    const SocketAddress source = resolve_host(from, 0).at(0);
    const SocketAddress address = resolve_host("127.0.0.1", port).at(0);
    if (!peer.socket_ || ::bind(peer.fd(), source.get(), source.length) != 0 ||
        ::connect(peer.fd(), address.get(), address.length) != 0)
        return Peer{};
    return peer;
}

bool Peer::send(const Bytes& bytes) {
    return ::send(fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

Bytes Peer::read(std::size_t n, std::chrono::milliseconds limit) {
    Bytes got;
    bool ended = false;
    pump_until(
        [&] {
            std::uint8_t buf[4096];
            while (got.size() < n) {
                const ssize_t r = ::recv(fd(), buf, std::min(sizeof buf, n - got.size()), MSG_DONTWAIT);
                if (r > 0) {
                    got.insert(got.end(), buf, buf + r);
                    continue;
                }
                if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended = true;
                break;
            }
            return got.size() >= n || ended;
        },
        limit);
    return got;
}

bool Peer::wait_closed(std::chrono::milliseconds limit) {
    return pump_until(
        [&] {
            std::uint8_t buf[256];
            const ssize_t r = ::recv(fd(), buf, sizeof buf, MSG_DONTWAIT);
            return r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        },
        limit);
}

bool Peer::nothing_to_read() {
    std::uint8_t byte;
    const ssize_t r = ::recv(fd(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

int Peer::unacknowledged() const {
    int n = 0;
    return ::ioctl(fd(), SIOCOUTQ, &n) == 0 ? n : -1;
}

void Peer::reset() {
    const linger hard{1, 0};
    ::setsockopt(fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket_.reset();
}

Bytes setup_request(std::uint8_t transport, std::uint32_t kelbo_bytes, const std::string& colour) {
    SetupRequest request;
    request.kelbo_bytes = kelbo_bytes;
    request.message_length = 32700;
    request.host_name = "scripted-tx";
    request.colour_text = colour;
    request.transport = transport;
    const auto bytes = encode_setup_request(request);
    return Bytes(bytes.begin(), bytes.end());
}

EngineRig::EngineRig(EngineOptions options) {
    rec.free_ended = true;
    rec.on_fault = [](const std::string& what) { ADD_FAILURE() << what; };
    options.ports = ports;
    engine = std::make_unique<LinkEngine>(rec.callbacks(), options);
    status = engine->comm_init();
    ports = LinkEnginePeer::bound_ports(*engine);
}

EngineRig::Link EngineRig::open(std::uint8_t transport, const char* from) {
    Link link;
    link.control = Peer::tcp(transport == TRANSPORT_UDP ? ports.control : ports.stream, from);
    if (!link.control.valid() || !link.control.send(setup_request(transport))) {
        ADD_FAILURE() << "could not connect or send the SetupRequest";
        return link;
    }
    link.reply = link.control.read(SETUP_REPLY_LEN);
    if (link.reply.size() == SETUP_REPLY_LEN && link.reply[1] == MSG_SETUP_ACCEPTED)
        link.conn_id = link.reply[0];
    return link;
}

bool EngineRig::drained(ConnId conn_id, const Peer& peer) {
    return pump_until([&] {
        if (peer.unacknowledged() != 0) return false;
        int queued = 0;
        const int fd = engine->link_socket(conn_id);
        return fd < 0 || (::ioctl(fd, FIONREAD, &queued) == 0 && queued == 0);
    });
}

bool EngineRig::table_empty() const {
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c)
        if (engine->link_socket(static_cast<ConnId>(c)) != -1) return false;
    return true;
}

}  // namespace kelbos::test
