// SPDX-License-Identifier: Apache-2.0
// The receiver's input path, fed any bytes through the real link engine on real
// loopback sockets. The first byte picks what the bytes are:
//   0: a SetupRequest on a new stream or control connection, in pieces;
//   1: stream chunks on one or two set-up links, with closes, resets and stray
//      readiness reports between them;
//   2: datagrams to the datagram port;
//   3 (any first byte of 3 modulo 4): numbers straight to a link's datagram statistics.
// After each write the harness waits (poll, with a deadline) until the engine's socket
// is readable and reports it with comm_event, so every step of the engine is the
// handling of one report. Each run gets a fresh engine; the callbacks check what the
// engine reports against what it must report for the bytes sent.
//
// Input after the mode byte (pieces are a length byte and that many bytes):
//   0: flags (bit 0 control port, bit 1 first piece sent before the accept, bits 2-3
//      ending: 1 reset, 2 admission expiry, else close; bit 4 refuse), the number of
//      records held by ended links (mod 11), then pieces.
//   1: flags (bit 0 a second link over the control port, bit 1 end by reset), then
//      operations: an op byte (bits 0-1: 0 piece, 1 close, 2 reset, 3 stray report;
//      bit 2 the link) followed by its piece, or for a stray report by three bytes
//      (target, event, error).
//   2: flags (bit 0 a UDP link set up first), then one datagram per piece.
#include <linux/tcp.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/show_message.h"
#include "engine_recorder.h"
#include "fuzz_support.h"
#include "net/sockets.h"
#include "receiver/engine/link_engine.h"
#include "receiver/records/connection_records.h"

using namespace kelbos;
using namespace kelbos::fuzz;
using namespace std::chrono_literals;

namespace {

// Longest wait for what loopback delivers at once.
constexpr std::chrono::milliseconds DELIVERY_WAIT = 10000ms;

using EngineReport = test::EngineCall;
using test::describe;
using test::stage_name;

// The receiver's link callbacks over a real ConnectionTable; each report is checked
// against the life of a ConnId.
class LinkBook : public test::EngineRecorder {
public:
    LinkBook() {
        on_fault = [](const std::string& what) {
            fail(__FILE__, __LINE__, "a call the receiver must not see", what.c_str());
        };
    }
    std::vector<EngineReport> take_reports() { return std::exchange(calls, {}); }

    // The engine's table and the records agree, and no link is left half admitted.
    void check_settled(const LinkEngine& engine) const {
        for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
            const Stage stage = this->stage(c);
            const LinkPhase phase = LinkEnginePeer::link_phase(engine, static_cast<ConnId>(c));
            FUZZ_CHECK(stage != Stage::admitted, "ConnId %d allocated, neither set up nor given back", c);
            FUZZ_CHECK(phase != LinkPhase::admitted, "the engine still admits ConnId %d", c);
            FUZZ_CHECK((phase == LinkPhase::set_up) == (stage == Stage::set_up),
                       "ConnId %d: engine phase %d, record %s", c, static_cast<int>(phase),
                       stage_name(stage));
            const RowState expected = stage == Stage::set_up                             ? RowState::live
                                      : stage == Stage::ended || stage == Stage::foreign ? RowState::dirty
                                                                                         : RowState::free;
            FUZZ_CHECK(table[c].row_state == expected, "ConnId %d: record state %d while %s", c,
                       static_cast<int>(table[c].row_state), stage_name(stage));
        }
    }
};

// A scripted transmitter's connection or datagram socket on loopback.
class Client {
public:
    Client(int type, std::uint16_t port) : socket_(make_socket(type)) {
        FUZZ_CHECK(socket_ && connect_through_signals(fd(), resolve_host("127.0.0.1", port).at(0)),
                   "connect to port %d: %s", port, std::strerror(errno));
        // Each piece goes out at once, as the transmitter's data does.
        if (type == SOCK_STREAM) set_int_option(fd(), IPPROTO_TCP, TCP_NODELAY, 1);
    }

    int fd() const { return socket_.fd(); }
    void send(const Bytes& bytes) {
        // The receiver may have closed the connection already; then the send fails.
        const ssize_t n = ::send(fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<std::uint64_t>(n);
    }
    // Takes whatever has arrived, without waiting; notes an end of stream or error.
    void collect() {
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
    // Waits until at least n bytes have arrived in all, or the connection ended.
    void collect_until(std::size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + DELIVERY_WAIT;
        collect();
        while (received.size() < n && !ended && std::chrono::steady_clock::now() < deadline) {
            (void)wait_readable(fd(), DELIVERY_WAIT);
            collect();
        }
    }
    // An orderly close (after taking what arrived, so the close sends no reset).
    void close() {
        if (!socket_) return;
        collect();
        socket_.reset();
    }
    void reset() { reset_connection(socket_); }

    Bytes received;
    bool ended = false;      // end of stream or error seen
    std::uint64_t sent = 0;  // bytes the system took from all sends

private:
    Socket socket_;
};

class EngineRig {
public:
    EngineRig() {
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
        ports = LinkEnginePeer::bound_ports(*engine);
    }
    LinkBook book;
    std::unique_ptr<LinkEngine> engine;
    Ports ports;

    LinkPhase phase(int c) const { return LinkEnginePeer::link_phase(*engine, static_cast<ConnId>(c)); }
    // The control or the stream listener.
    int listener(bool control) const {
        return control ? LinkEnginePeer::control_listener(*engine) : LinkEnginePeer::stream_listener(*engine);
    }
    // Waits until the engine's listener or datagram socket is readable and reports it.
    void deliver(int fd, int event, const char* missing) {
        FUZZ_CHECK(wait_readable(fd, DELIVERY_WAIT) == WaitResult::ready, "%s", missing);
        engine->comm_event(fd, event);
    }
    // Reports a link's socket readable while it is (and the entry holds it).
    void settle_link(ConnId conn_id) {
        for (int i = 0; i < 64; ++i) {
            const int fd = engine->link_socket(conn_id);
            if (fd < 0 || wait_readable(fd, 0ms) != WaitResult::ready) return;
            engine->comm_event(fd, EVENT_READ);
        }
    }
    // Waits until `total` bytes in all have arrived on the link's socket (read or not).
    void wait_arrival(ConnId conn_id, std::uint64_t total) {
        const int fd = engine->link_socket(conn_id);
        if (fd < 0) return;
        auto received = [fd] {
            tcp_info info{};
            socklen_t length = sizeof info;
            return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? info.tcpi_bytes_received
                                                                                : 0;
        };
        FUZZ_CHECK(wait_on(fd, DELIVERY_WAIT, [&] { return received() >= total; }),
                   "ConnId %d: %llu of %llu bytes arrived", conn_id,
                   static_cast<unsigned long long>(received()), static_cast<unsigned long long>(total));
    }
    // Waits until the link's socket holds at least n unread bytes, then reports it once.
    void deliver_chunk(ConnId conn_id, std::size_t n) {
        const int fd = engine->link_socket(conn_id);
        FUZZ_CHECK(fd >= 0, "ConnId %d has no socket", conn_id);
        // Loopback delivers a send whole before the send returns; this is only a guard.
        (void)wait_on(fd, DELIVERY_WAIT, [&] { return unread_bytes(fd) >= static_cast<int>(n); });
        FUZZ_CHECK(unread_bytes(fd) == static_cast<int>(n), "%d bytes waiting instead of %zu",
                   unread_bytes(fd), n);
        engine->comm_event(fd, EVENT_READ);
    }
    // Runs the event loop until no link is admitted (the admission timer fires).
    void run_until_admissions_expire() {
        auto admitting = [this] {
            for (int c = CONN_FIRST; c <= CONN_LAST; ++c)
                if (phase(c) == LinkPhase::admitted) return true;
            return false;
        };
        const auto deadline = std::chrono::steady_clock::now() + DELIVERY_WAIT;
        QTimer tick;  // wakes the loop even if no event of the engine comes
        tick.start(1);
        while (admitting() && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        FUZZ_CHECK(!admitting(), "an admission did not expire");
    }
    // Reports the end of every link whose client has gone to the engine.
    void deliver_ends() {
        for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
            const ConnId conn_id = static_cast<ConnId>(c);
            for (int i = 0; i < 64 && engine->link_socket(conn_id) >= 0; ++i) {
                FUZZ_CHECK(wait_readable(engine->link_socket(conn_id), DELIVERY_WAIT) == WaitResult::ready,
                           "ConnId %d: the end of its connection did not arrive", c);
                engine->comm_event(engine->link_socket(conn_id), EVENT_READ);
            }
            FUZZ_CHECK(engine->link_socket(conn_id) < 0,
                       "ConnId %d still holds a socket after its client went", c);
        }
    }
};

struct Link {
    Client client;
    ConnId conn_id = CONN_NONE;
};

std::string eof_text(int fd) {
    return "ZERO length message received (EOF!) on socket " + std::to_string(fd) + ", shutting it down";
}

void expect_reports(LinkBook& book, const std::vector<EngineReport>& expected, const char* step) {
    const auto got = book.take_reports();
    FUZZ_CHECK(got == expected, "%s: the engine reported %s; expected %s", step, describe(got).c_str(),
               describe(expected).c_str());
}

// A link set up the way a transmitter does it; checks the reply.
Link open_link(EngineRig& rig, std::uint8_t transport) {
    const bool udp = transport == TRANSPORT_UDP;
    Link link{Client(SOCK_STREAM, udp ? rig.ports.control : rig.ports.stream)};
    link.client.send(fuzz_setup_request(transport, 32700));
    rig.deliver(rig.listener(udp), EVENT_ACCEPT, "no connection to accept");
    auto reports = rig.book.take_reports();
    FUZZ_CHECK(reports.size() == 2 && reports[0].kind == EngineReport::alloc &&
                   reports[1].kind == EngineReport::new_link && reports[0].conn_id == reports[1].conn_id,
               "opening a link: %s", describe(reports).c_str());
    link.conn_id = static_cast<ConnId>(reports[0].conn_id);
    link.client.collect_until(SETUP_REPLY_LEN);
    const Bytes accept{link.conn_id, MSG_SETUP_ACCEPTED, 1, 5};
    FUZZ_CHECK(link.client.received == accept, "the SetupReply was not %d 1 1 5", link.conn_id);
    link.client.received.clear();
    return link;
}

// Ends every link still open through its client and checks the ends reported.
void end_links(EngineRig& rig, std::vector<Link>& links, bool reset) {
    std::vector<EngineReport> expected;
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        const int fd = rig.engine->link_socket(static_cast<ConnId>(c));
        if (fd >= 0 && rig.phase(c) == LinkPhase::set_up)
            expected.push_back(
                EngineReport::ended(c, REASON_ABORTED, reset ? error_text(ECONNRESET) : eof_text(fd)));
    }
    for (Link& link : links) reset ? link.client.reset() : link.client.close();
    rig.deliver_ends();
    expect_reports(rig.book, expected, reset ? "resetting every link" : "closing every link");
}

// Mode 0: any bytes as the SetupRequest of a new connection, and whatever follows.
void setup_request_bytes(EngineRig& rig, ByteReader& in) {
    const std::uint8_t flags = in.byte();
    const bool control = flags & 1;
    const bool early = flags & 2;
    const int ending = (flags >> 2) & 3;
    rig.book.refuse = flags & 16;
    rig.book.hold_ended_records(in.byte() % 11);

    Client client(SOCK_STREAM, control ? rig.ports.control : rig.ports.stream);
    Bytes piece = in.piece();
    if (early) client.send(piece);
    rig.deliver(rig.listener(control), EVENT_ACCEPT, "no connection to accept");
    std::vector<EngineReport> reports = rig.book.take_reports();
    auto take_more = [&] {
        for (auto& r : rig.book.take_reports()) reports.push_back(r);
    };
    FUZZ_CHECK(!reports.empty() && reports[0].kind == EngineReport::alloc, "an accept reported %s",
               describe(reports).c_str());
    const int c = reports[0].conn_id;
    if (c == CONN_NONE_FREE) {
        // Refused: the refusing reply, then the end of the connection; nothing else.
        FUZZ_CHECK(reports.size() == 1, "a refusal reported %s", describe(reports).c_str());
        client.collect_until(SETUP_REPLY_LEN + 1);
        const Bytes reject{CONN_NONE_FREE, MSG_SETUP_REJECTED, 1, 5};
        FUZZ_CHECK(client.received == reject && client.ended, "the refused client got %zu bytes, ended %d",
                   client.received.size(), client.ended);
        client.close();
        return;
    }
    const ConnId conn_id = static_cast<ConnId>(c);
    auto deliver = [&] {
        rig.wait_arrival(conn_id, client.sent);
        rig.settle_link(conn_id);
    };
    deliver();
    if (!early) {
        client.send(piece);
        deliver();
    }
    while (!in.empty() && rig.engine->link_socket(conn_id) >= 0) {
        client.send(in.piece());
        deliver();
    }
    const std::uint64_t sent = client.sent;
    take_more();

    // Whole requests are set up at once; shorter ones are still waiting.
    const bool set_up = rig.book.stage(conn_id) != LinkBook::Stage::admitted;
    FUZZ_CHECK(set_up == (sent >= SETUP_REQUEST_LEN), "%llu bytes sent, the engine reported %s",
               static_cast<unsigned long long>(sent), describe(reports).c_str());
    if (ending == 2) rig.run_until_admissions_expire();
    take_more();

    // What the client is owed so far: the reply of a set-up link, and the
    // acknowledgement of a ShutdownRequest found in its data, after which the
    // receiver has closed the connection.
    const bool acknowledged =
        reports.back().kind == EngineReport::end && reports.back().text == "Remote shutdown request";
    Bytes expected;
    if (set_up) expected = {conn_id, MSG_SETUP_ACCEPTED, 1, 5};
    if (acknowledged) expected.insert(expected.end(), {conn_id, MSG_SHUTDOWN_ACK});
    client.collect_until(acknowledged ? expected.size() + 1 : expected.size());

    const bool reset = ending == 1;
    reset ? client.reset() : client.close();
    rig.deliver_ends();
    take_more();

    // alloc, then new_link or release, then only this link's data and at most one end.
    FUZZ_CHECK(reports.size() >= 2, "a link reported only %s", describe(reports).c_str());
    if (sent >= SETUP_REQUEST_LEN) {
        FUZZ_CHECK(reports[1].kind == EngineReport::new_link && reports.back().kind == EngineReport::end,
                   "a whole request reported %s", describe(reports).c_str());
        for (std::size_t i = 2; i + 1 < reports.size(); ++i)
            FUZZ_CHECK(reports[i].kind == EngineReport::data && reports[i].conn_id == c,
                       "a link's data reported %s", describe(reports).c_str());
    } else {
        FUZZ_CHECK(reports.size() == 2 && reports[1].kind == EngineReport::release,
                   "a short request reported %s", describe(reports).c_str());
    }
    FUZZ_CHECK(client.received == expected, "the client got %s, expected %s", hex(client.received).c_str(),
               hex(expected).c_str());
}

// What the engine must report for one chunk on a set-up link.
std::vector<EngineReport> expected_for_chunk(const LinkBook& book, const Bytes& chunk, ConnId conn_id) {
    // Only a request naming the link it came on ends it, after the data in front of it;
    // any other chunk is its data.
    const std::size_t n = chunk.size();
    if (n >= SHUTDOWN_REQUEST_LEN && chunk[n - 2] == MSG_SHUTDOWN_REQUEST && chunk[n - 3] == conn_id &&
        book.stage(conn_id) == LinkBook::Stage::set_up) {
        const EngineReport end = EngineReport::ended(conn_id, chunk[n - 1], "Remote shutdown request");
        if (n == SHUTDOWN_REQUEST_LEN) return {end};
        return {EngineReport::chunk(conn_id, n - SHUTDOWN_REQUEST_LEN), end};
    }
    return {EngineReport::chunk(conn_id, n)};
}

// Mode 1: stream chunks on set-up links.
void stream_chunks(EngineRig& rig, ByteReader& in) {
    const std::uint8_t flags = in.byte();
    std::vector<Link> links;
    links.push_back(open_link(rig, TRANSPORT_TCP));
    if (flags & 1) links.push_back(open_link(rig, TRANSPORT_UDP));

    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        Link& link = links[(op >> 2) % links.size()];
        const bool open = rig.book.stage(link.conn_id) == LinkBook::Stage::set_up;
        const int fd = rig.engine->link_socket(link.conn_id);
        switch (op & 3) {
            case 0: {
                const Bytes chunk = in.piece();
                if (!open || chunk.empty()) break;
                const auto expected = expected_for_chunk(rig.book, chunk, link.conn_id);
                link.client.send(chunk);
                rig.deliver_chunk(link.conn_id, chunk.size());
                expect_reports(rig.book, expected, "a chunk");
                if (expected.back().kind == EngineReport::end) {
                    // Only the link's own request ends it; the acknowledgement goes back on it.
                    link.client.collect_until(SHUTDOWN_ACK_LEN + 1);
                    const Bytes ack{link.conn_id, MSG_SHUTDOWN_ACK};
                    FUZZ_CHECK(link.client.received == ack && link.client.ended,
                               "the ShutdownAck: %zu bytes, ended %d", link.client.received.size(),
                               link.client.ended);
                }
                break;
            }
            case 1:
            case 2: {
                if (!open) break;
                const bool reset = (op & 3) == 2;
                reset ? link.client.reset() : link.client.close();
                FUZZ_CHECK(wait_readable(fd, DELIVERY_WAIT) == WaitResult::ready, "the end did not arrive");
                rig.engine->comm_event(fd, EVENT_READ);
                expect_reports(rig.book,
                               {EngineReport::ended(link.conn_id, REASON_ABORTED,
                                                    reset ? error_text(ECONNRESET) : eof_text(fd))},
                               reset ? "a reset" : "a close");
                break;
            }
            case 3: {
                const std::uint8_t target = in.byte();
                const std::uint8_t event_byte = in.byte();
                const int error = in.byte();
                const int event = event_byte % 3 == 0   ? EVENT_READ
                                  : event_byte % 3 == 1 ? EVENT_ACCEPT
                                                        : event_byte;
                // The link's socket, the engine's others, or one not the engine's.
                const int fds[] = {fd, rig.listener(true), rig.listener(false), rig.engine->datagram_socket(),
                                   link.client.fd()};
                std::vector<EngineReport> expected;
                if (target % 5 == 0 && open && error != 0)
                    expected.push_back(EngineReport::ended(link.conn_id, REASON_ABORTED, error_text(error)));
                rig.engine->comm_event(fds[target % 5], event, error);
                expect_reports(rig.book, expected, "a stray report");
                break;
            }
        }
    }
    end_links(rig, links, flags & 2);
}

// Mode 2: datagrams, reported only when their first byte names a set-up link (this
// host's); the rest are counted as foreign.
void datagrams(EngineRig& rig, ByteReader& in) {
    const std::uint8_t flags = in.byte();
    std::vector<Link> links;
    if (flags & 1) links.push_back(open_link(rig, TRANSPORT_UDP));
    Client sender(SOCK_DGRAM, rig.ports.datagram);
    std::uint64_t foreign_before = rig.engine->foreign_datagrams();
    while (!in.empty()) {
        const Bytes datagram = in.piece();
        sender.send(datagram);
        rig.deliver(rig.engine->datagram_socket(), EVENT_READ, "no datagram arrived");
        std::vector<EngineReport> expected;
        const bool counted = !datagram.empty() && !links.empty() && datagram[0] == links[0].conn_id;
        if (counted)
            expected.push_back(EngineReport::chunk(static_cast<std::int8_t>(datagram[0]), datagram.size()));
        const std::uint64_t foreign = rig.engine->foreign_datagrams();
        expect_reports(rig.book, expected, "a datagram");
        if (!datagram.empty())
            FUZZ_CHECK(foreign == foreign_before + (counted ? 0 : 1), "foreign datagrams: %llu",
                       static_cast<unsigned long long>(foreign));
        foreign_before = foreign;
    }
    end_links(rig, links, false);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // The engine's socket notifiers need the application's event dispatcher.
    static QCoreApplication app(*argc, *argv);
    set_message_presenter([](const std::string&) {});
    return 0;
}

// Datagrams of any sequence, send and arrival times, 24 bytes each: expected only
// rises, loss is at most what is expected, the figures finite (and UBSan watches).
void datagram_stats(ByteReader& in) {
    DatagramStats s;
    for (int i = 0; i < 200 && !in.empty(); ++i) {
        std::uint64_t n[3] = {};
        const Bytes b = in.bytes(sizeof n);
        std::memcpy(n, b.data(), b.size());
        const std::uint64_t expected = s.expected();
        s.add(n[0], n[1], n[2]);
        if (s.expected() < expected || s.lost() > s.expected() ||
            !std::isfinite(s.jitter_ms() + s.loss_percent()))
            std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in({data, size});
    if (size > 0 && data[0] % 4 == 3) return in.byte(), datagram_stats(in), 0;
    {
        EngineRig rig;
        switch (in.byte() % 3) {
            case 0:
                setup_request_bytes(rig, in);
                break;
            case 1:
                stream_chunks(rig, in);
                break;
            default:
                datagrams(rig, in);
        }
        rig.book.check_settled(*rig.engine);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // retired notifiers
    check_descriptors();
    return 0;
}
