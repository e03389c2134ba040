// SPDX-License-Identifier: Apache-2.0
#include "receiver_rig.h"

#include <linux/tcp.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <utility>

#include "resolve.h"

namespace kelbos::fuzz {

LinkBook::LinkBook() {
    on_fault = [](const std::string& what) {
        fail(__FILE__, __LINE__, "a call the receiver must not see", what.c_str());
    };
}

std::vector<EngineReport> LinkBook::take_reports() {
    return std::exchange(calls, {});
}

void LinkBook::check_settled(const LinkEngine& engine) const {
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        const Stage stage = this->stage(c);
        const LinkPhase phase = engine.link_phase(static_cast<ConnId>(c));
        FUZZ_CHECK(stage != Stage::admitted, "ConnId %d allocated, neither set up nor given back", c);
        FUZZ_CHECK(phase != LinkPhase::admitted, "the engine still admits ConnId %d", c);
        FUZZ_CHECK((phase == LinkPhase::set_up) == (stage == Stage::set_up),
                   "ConnId %d: engine phase %d, record %s", c, static_cast<int>(phase), stage_name(stage));
        const RowState expected = stage == Stage::set_up                             ? RowState::live
                                  : stage == Stage::ended || stage == Stage::foreign ? RowState::dirty
                                                                                     : RowState::free;
        FUZZ_CHECK(table[c].row_state == expected, "ConnId %d: record state %d while %s", c,
                   static_cast<int>(table[c].row_state), stage_name(stage));
    }
}

Client Client::connected(int type, std::uint16_t port) {
    Client client;
    client.socket_ = make_socket(type);
    FUZZ_CHECK(client.socket_ && connect_through_signals(client.fd(), loopback_address(port)), "connect to port %d: %s",
               port, std::strerror(errno));
    // Each piece goes out at once, as the transmitter's data does.
    if (type == SOCK_STREAM) set_int_option(client.fd(), IPPROTO_TCP, TCP_NODELAY, 1);
    return client;
}

void Client::send(const Bytes& bytes) {
    // The receiver may have closed the connection already; then the send fails.
    const ssize_t n = ::send(fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<std::uint64_t>(n);
}

void Client::collect() {
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            received.insert(received.end(), buffer, buffer + n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) ended = true;
        return;
    }
}

void Client::collect_until(std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + DELIVERY_WAIT;
    collect();
    while (received.size() < n && !ended && std::chrono::steady_clock::now() < deadline) {
        (void)wait_readable(fd(), DELIVERY_WAIT);
        collect();
    }
}

void Client::close() {
    if (!socket_) return;
    collect();
    socket_.reset();
}

void Client::reset() {
    reset_connection(socket_);
}

EngineRig::EngineRig() {
    EngineOptions options;
    options.ports = Ports{0, 0, 0};
    // Admissions expire only when the harness runs the event loop for them.
    options.setup_wait = 1ms;
    // Peers are named by address at once: the lookup of 127.0.0.1 says nothing of the input.
    options.name_budget = 0ms;
    engine = std::make_unique<LinkEngine>(book.callbacks(), options);
    const LinkStatus status = engine->comm_init();
    FUZZ_CHECK(status == LinkStatus::ok, "comm_init gave %d (%s)", static_cast<int>(status),
               std::strerror(engine->last_error()));
    ports = engine->bound_ports();
}

void EngineRig::deliver_accept(int listener) {
    FUZZ_CHECK(wait_readable(listener, DELIVERY_WAIT) == WaitResult::ready, "no connection to accept");
    engine->comm_event(listener, EVENT_ACCEPT);
}

void EngineRig::settle_link(ConnId conn_id) {
    for (int i = 0; i < 64; ++i) {
        const int fd = engine->link_socket(conn_id);
        if (fd < 0 || wait_readable(fd, 0ms) != WaitResult::ready) return;
        engine->handle_readable(fd);
    }
}

void EngineRig::wait_arrival(ConnId conn_id, std::uint64_t total) {
    const int fd = engine->link_socket(conn_id);
    if (fd < 0) return;
    auto received = [fd] {
        tcp_info info{};
        socklen_t length = sizeof info;
        return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? info.tcpi_bytes_received : 0;
    };
    FUZZ_CHECK(wait_on(fd, DELIVERY_WAIT, [&] { return received() >= total; }), "ConnId %d: %llu of %llu bytes arrived", conn_id,
               static_cast<unsigned long long>(received()), static_cast<unsigned long long>(total));
}

void EngineRig::deliver_chunk(ConnId conn_id, std::size_t n) {
    const int fd = engine->link_socket(conn_id);
    FUZZ_CHECK(fd >= 0, "ConnId %d has no socket", conn_id);
    // Loopback delivers a send whole before the send returns; this is only a guard.
    (void)wait_on(fd, DELIVERY_WAIT, [&] { return unread_bytes(fd) >= static_cast<int>(n); });
    FUZZ_CHECK(unread_bytes(fd) == static_cast<int>(n), "%d bytes waiting instead of %zu", unread_bytes(fd),
               n);
    engine->handle_readable(fd);
}

void EngineRig::deliver_datagram() {
    const int fd = engine->datagram_socket();
    FUZZ_CHECK(wait_readable(fd, DELIVERY_WAIT) == WaitResult::ready, "no datagram arrived");
    engine->comm_event(fd, EVENT_READ);
}

void EngineRig::run_until_admissions_expire() {
    auto admitting = [this] {
        for (int c = CONN_FIRST; c <= CONN_LAST; ++c)
            if (engine->link_phase(static_cast<ConnId>(c)) == LinkPhase::admitted) return true;
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + DELIVERY_WAIT;
    QTimer tick;  // wakes the loop even if no event of the engine comes
    tick.start(1);
    while (admitting() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    FUZZ_CHECK(!admitting(), "an admission did not expire");
}

void EngineRig::close_all(std::vector<Client*> clients, bool reset) {
    for (Client* client : clients) reset ? client->reset() : client->close();
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        const ConnId conn_id = static_cast<ConnId>(c);
        for (int i = 0; i < 64 && engine->link_socket(conn_id) >= 0; ++i) {
            FUZZ_CHECK(wait_readable(engine->link_socket(conn_id), DELIVERY_WAIT) == WaitResult::ready,
                       "ConnId %d: the end of its connection did not arrive", c);
            engine->handle_readable(engine->link_socket(conn_id));
        }
        FUZZ_CHECK(engine->link_socket(conn_id) < 0, "ConnId %d still holds a socket after its client went",
                   c);
    }
}

}  // namespace kelbos::fuzz
