// SPDX-License-Identifier: Apache-2.0
// The receiver link engine against scripted transmitters on loopback: set-up, data,
// shutdown and the ends of links.
#include "receiver/engine/link_engine.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "core/clock.h"
#include "engine_harness.h"

using namespace kelbos;
using namespace kelbos::test;

namespace {

// Sends the stream on a link and waits, without letting the engine run, until all of
// it waits at the engine's socket, whose buffer is made room for it.
bool send_waiting(const EngineRig& rig, const EngineRig::Link& link, const Bytes& stream) {
    const int fd = rig.engine->link_socket(link.conn_id);
    const int room = 4 * static_cast<int>(LARGEST_MESSAGE);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room) != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::size_t sent = 0;
    int waiting = 0;
    while ((sent < stream.size() ||
            (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting < static_cast<int>(stream.size()))) &&
           std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = sent < stream.size() ? ::send(link.control.fd(), stream.data() + sent,
                                                        stream.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT)
                                               : 0;
        if (n > 0) sent += static_cast<std::size_t>(n);
        std::this_thread::yield();
    }
    return waiting == static_cast<int>(stream.size());
}

// A whole receive buffer's worth ending in `ending`: the engine takes it as one chunk.
bool send_whole_chunk(const EngineRig& rig, const EngineRig::Link& link, const Bytes& ending) {
    return send_waiting(rig, link, concat(zeros(LARGEST_MESSAGE - ending.size()), ending));
}

}  // namespace

TEST(LinkEngine, SetsUpTcpAndUdpLinksAndCountsTheirData) {
    EngineRig rig;
    ASSERT_EQ(rig.status, LinkStatus::ok);
    ASSERT_NE(rig.ports.control, 0);
    ASSERT_NE(rig.ports.datagram, 0);
    ASSERT_NE(rig.ports.stream, 0);

    auto tcp = rig.open(TRANSPORT_TCP);
    EXPECT_EQ(tcp.reply, (Bytes{0x01, 0x01, 0x01, 0x05}));
    auto udp = rig.open(TRANSPORT_UDP);
    EXPECT_EQ(udp.reply, (Bytes{0x02, 0x01, 0x01, 0x05}));

    ASSERT_EQ(rig.rec.new_links.size(), 2u);
    const NewLinkCall& first = rig.rec.new_links[0];
    EXPECT_EQ(first.conn_id, 1);
    EXPECT_TRUE(first.peer_name == "localhost" || first.peer_name == "127.0.0.1") << first.peer_name;
    EXPECT_EQ(first.colour_text, "#800000");
    EXPECT_EQ(first.transport, TRANSPORT_TCP);
    EXPECT_EQ(first.kelbo_bytes, 2500000u);
    EXPECT_EQ(rig.rec.new_links[1].conn_id, 2);
    EXPECT_EQ(rig.rec.new_links[1].transport, TRANSPORT_UDP);
    EXPECT_EQ(rig.phase(1), LinkPhase::set_up);
    EXPECT_EQ(LinkEnginePeer::lookup_conn_id(*rig.engine, rig.engine->link_socket(2)), 2);
    EXPECT_EQ(LinkEnginePeer::lookup_conn_id(*rig.engine, LinkEnginePeer::stream_listener(*rig.engine)),
              CONN_NONE);

    // TCP data is counted for the link that owns the connection, whatever its bytes.
    Bytes data = zeros(1000);
    data[0] = 7;
    ASSERT_TRUE(tcp.control.send(data));
    ASSERT_TRUE(pump_until([&] { return rig.rec.bytes_for(1) == 1000; }));

    // A datagram counts for the link its first byte names when it comes from that
    // link's host; ids that name no link, and datagrams from another address of the
    // machine, are dropped and counted as foreign.
    Peer datagrams = Peer::udp(rig.ports.datagram);
    Peer stranger = Peer::udp(rig.ports.datagram, "127.0.0.2");
    Bytes d = zeros(500);
    d[0] = 2;
    ASSERT_TRUE(stranger.send(d));
    ASSERT_TRUE(datagrams.send(Bytes{0, 1, 2}));
    ASSERT_TRUE(datagrams.send(Bytes{11, 0}));
    ASSERT_TRUE(datagrams.send(Bytes{3, 0}));
    ASSERT_TRUE(datagrams.send(d));
    ASSERT_TRUE(pump_until([&] { return rig.rec.bytes_for(2) == 500; }));
    EXPECT_EQ(rig.engine->foreign_datagrams(), 4u);
    for (int dropped : {0, 3, 11}) EXPECT_EQ(rig.rec.bytes_for(dropped), 0u) << dropped;
    EXPECT_TRUE(rig.rec.shutdowns.empty());
    // A 2-byte chunk is data even though its first byte is the request type.
    ASSERT_TRUE(tcp.control.send(Bytes{2, 2}));
    ASSERT_TRUE(pump_until([&] { return rig.rec.bytes_for(1) == 1002; }));
    EXPECT_TRUE(rig.rec.shutdowns.empty());
}

TEST(LinkEngine, OnlyARequestNamingItsOwnLinkIsAcknowledgedAndEndsTheLink) {
    EngineRig rig;
    auto a = rig.open(TRANSPORT_TCP);
    auto b = rig.open(TRANSPORT_UDP);
    auto c = rig.open(TRANSPORT_TCP);
    ASSERT_EQ(a.conn_id, 1);
    ASSERT_EQ(b.conn_id, 2);
    ASSERT_EQ(c.conn_id, 3);
    const int fd = rig.engine->link_socket(3);

    // Requests naming another set-up link, 0, an empty entry, no ConnId at all, and the
    // bytes where a message starts (00 02 00): all data of the link they came on.
    for (std::uint8_t named : {std::uint8_t{2}, std::uint8_t{0}, std::uint8_t{5}, std::uint8_t{200}})
        ASSERT_TRUE(c.control.send(concat(zeros(20), bytes_of(encode_shutdown_request(named, 1)))));
    ASSERT_TRUE(a.control.send(Bytes{0, 0, 2, 0}));
    ASSERT_TRUE(pump_until([&] { return rig.rec.bytes_for(3) == 92 && rig.rec.bytes_for(1) == 4; }));
    EXPECT_TRUE(rig.rec.shutdowns.empty());
    EXPECT_EQ(rig.engine->link_socket(3), fd);
    EXPECT_TRUE(a.control.nothing_to_read());
    EXPECT_TRUE(c.control.nothing_to_read());
    EXPECT_EQ(rig.phase(1), LinkPhase::set_up);

    // A halt: the request alone, reason 1.
    ASSERT_TRUE(a.control.send(bytes_of(encode_shutdown_request(1, REASON_NORMAL))));
    EXPECT_EQ(a.control.read(2), (Bytes{0x01, 0x03}));
    EXPECT_TRUE(a.control.wait_closed());
    ASSERT_EQ(rig.rec.shutdowns.size(), 1u);
    EXPECT_EQ(rig.rec.shutdowns[0].conn_id, 1);
    EXPECT_EQ(rig.rec.shutdowns[0].reason, 1);
    EXPECT_EQ(rig.rec.shutdowns[0].text, "Remote shutdown request");
    EXPECT_EQ(rig.engine->link_socket(1), -1);
    EXPECT_EQ(rig.phase(1), LinkPhase::empty);

    // Data and the request in one chunk: the data is counted, the request's bytes are
    // not, the link ends, and the reason is passed on as it came. (A whole chunk is
    // taken without copying its body out: only its end is read.) Datagrams of the UDP
    // link that wait count for it before it ends.
    ASSERT_TRUE(Peer::udp(rig.ports.datagram).send(Bytes{2, 0, 0}));
    ASSERT_TRUE(send_whole_chunk(rig, b, bytes_of(encode_shutdown_request(2, REASON_ABORTED))));
    rig.engine->comm_event(rig.engine->link_socket(2), EVENT_READ);
    EXPECT_EQ(b.control.read(2), (Bytes{0x02, 0x03}));
    EXPECT_TRUE(b.control.wait_closed());
    ASSERT_EQ(rig.rec.shutdowns.size(), 2u);
    EXPECT_EQ(rig.rec.shutdowns[1].conn_id, 2);
    EXPECT_EQ(rig.rec.shutdowns[1].reason, 2);
    EXPECT_EQ(rig.rec.shutdowns[1].text, "Remote shutdown request");
    EXPECT_EQ(rig.rec.bytes_for(2), LARGEST_MESSAGE - SHUTDOWN_REQUEST_LEN + 3);

    // Link 3 was untouched by both and still counts; a long chunk ending in another
    // link's request is its data, every byte.
    ASSERT_TRUE(send_whole_chunk(rig, c, bytes_of(encode_shutdown_request(1, REASON_NORMAL))));
    ASSERT_TRUE(pump_until([&] { return rig.rec.bytes_for(3) == 92 + LARGEST_MESSAGE; }));
    ASSERT_TRUE(c.control.send(zeros(10)));
    EXPECT_TRUE(pump_until([&] { return rig.rec.bytes_for(3) == 92 + LARGEST_MESSAGE + 10; }));

    // The freed ConnId goes to the next link, whose socket takes the empty entry.
    auto d = rig.open(TRANSPORT_TCP);
    EXPECT_EQ(d.conn_id, 1);
    EXPECT_EQ(rig.phase(1), LinkPhase::set_up);

    // A SetupRequest, a chunk's worth less 2 and the request, written as one.
    Peer e = Peer::tcp(rig.ports.stream);
    ASSERT_TRUE(e.send(concat(setup_request(2), concat(zeros(LARGEST_MESSAGE - 2), Bytes{2, 2, 1}))));
    EXPECT_EQ(e.read(6), (Bytes{0x02, 0x01, 0x01, 0x05, 0x02, 0x03}));
    EXPECT_EQ(rig.rec.bytes_for(2), 2 * LARGEST_MESSAGE - 2);
}

TEST(LinkEngine, RefusalFromAllocAndTheEleventhLinkAreRefusedWhileTenCarryOn) {
    EngineRig rig;
    rig.rec.refuse = true;
    for (std::uint16_t port : {rig.ports.stream, rig.ports.control}) {
        Peer peer = Peer::tcp(port);
        ASSERT_TRUE(peer.valid());
        // The refusal comes whether or not the request has been sent.
        EXPECT_EQ(peer.read(4), (Bytes{0xFF, 0x04, 0x01, 0x05}));
        EXPECT_TRUE(peer.wait_closed());
    }
    EXPECT_EQ(rig.rec.allocs, 2);
    EXPECT_TRUE(rig.rec.new_links.empty());
    EXPECT_TRUE(rig.table_empty());

    rig.rec.refuse = false;
    std::vector<EngineRig::Link> links;
    for (int i = 0; i < 10; ++i) {
        links.push_back(rig.open(i % 2 ? TRANSPORT_UDP : TRANSPORT_TCP));
        ASSERT_EQ(links.back().conn_id, i + 1);
    }
    for (const char* kind : {"tcp", "udp"}) {
        auto refused = rig.open(kind[0] == 't' ? TRANSPORT_TCP : TRANSPORT_UDP);
        EXPECT_EQ(refused.reply, (Bytes{0xFF, 0x04, 0x01, 0x05})) << kind;
        EXPECT_TRUE(refused.control.wait_closed()) << kind;
    }
    EXPECT_EQ(rig.rec.new_links.size(), 10u);
    EXPECT_TRUE(rig.rec.released.empty());

    for (int i = 0; i < 10; ++i) ASSERT_TRUE(links[i].control.send(zeros(100 + i)));
    ASSERT_TRUE(pump_until([&] { return rig.rec.more_data.size() >= 10; }));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(rig.rec.bytes_for(i + 1), 100u + i) << "link " << i + 1;
    EXPECT_TRUE(rig.rec.shutdowns.empty());
}

TEST(LinkEngine, EndedOrFailingSocketsEndTheirLinksWithTheirText) {
    EngineRig rig;
    auto a = rig.open(TRANSPORT_TCP);
    auto b = rig.open(TRANSPORT_TCP);
    auto c = rig.open(TRANSPORT_UDP);
    auto d = rig.open(TRANSPORT_TCP);
    ASSERT_EQ(d.conn_id, 4);
    auto expect_end = [&](std::size_t n, ConnId conn_id, const std::string& text) {
        SCOPED_TRACE(text);
        ASSERT_EQ(rig.rec.shutdowns.size(), n);
        EXPECT_EQ(rig.rec.shutdowns[n - 1].conn_id, conn_id);
        EXPECT_EQ(rig.rec.shutdowns[n - 1].reason, REASON_ABORTED);
        EXPECT_EQ(rig.rec.shutdowns[n - 1].text, text);
        EXPECT_EQ(rig.engine->link_socket(conn_id), -1);
    };

    // The peer closes: the end of stream.
    ASSERT_TRUE(a.control.send(zeros(64)));
    ASSERT_TRUE(pump_until([&] { return rig.rec.bytes_for(1) == 64; }));
    const int fd = rig.engine->link_socket(1);
    a.control.close();
    ASSERT_TRUE(pump_until([&] { return rig.rec.shutdowns.size() == 1; }));
    char eof[128];
    std::snprintf(eof, sizeof eof, "ZERO length message received (EOF!) on socket %d, shutting it down", fd);
    expect_end(1, 1, eof);

    // A reset makes the receive fail.
    b.control.reset();
    ASSERT_TRUE(pump_until([&] { return rig.rec.shutdowns.size() == 2; }));
    expect_end(2, 2, error_text(ECONNRESET));

    // An error condition reported for a link socket ends it the same way; a UDP link's
    // datagrams that wait count for it first.
    ASSERT_TRUE(Peer::udp(rig.ports.datagram).send(Bytes{3, 0}));
    rig.engine->comm_event(rig.engine->link_socket(3), EVENT_READ, ETIMEDOUT);
    expect_end(3, 3, error_text(ETIMEDOUT));
    EXPECT_EQ(rig.rec.bytes_for(3), 2u);
    EXPECT_EQ(rig.engine->foreign_datagrams(), 0u);
    EXPECT_TRUE(c.control.wait_closed());

    // The request, and the peer gone with a reset before the engine has answered: the
    // acknowledgement cannot go, and the link still ends, once.
    ASSERT_TRUE(d.control.send(Bytes{4, MSG_SHUTDOWN_REQUEST, REASON_NORMAL}));
    d.control.reset();
    ASSERT_TRUE(pump_until([&] { return rig.rec.shutdowns.size() == 4; }));
    EXPECT_EQ(rig.rec.shutdowns[3].conn_id, 4);
    EXPECT_EQ(rig.engine->link_socket(4), -1);
    EXPECT_EQ(rig.rec.table.links_in_use(), 0);

    // Reports for sockets that are no longer the engine's change nothing.
    rig.engine->comm_event(c.control.fd(), EVENT_READ, ECONNRESET);
    rig.engine->comm_event(12345, EVENT_READ);
    EXPECT_EQ(rig.rec.shutdowns.size(), 4u);
    EXPECT_TRUE(rig.rec.released.empty());

    // An error reported on an endpoint closes only that endpoint.
    const int stream = LinkEnginePeer::stream_listener(*rig.engine);
    rig.engine->comm_event(rig.engine->datagram_socket(), EVENT_READ, EIO);
    EXPECT_EQ(rig.engine->datagram_socket(), -1);
    EXPECT_EQ(LinkEnginePeer::stream_listener(*rig.engine), stream);
    EXPECT_EQ(LinkEnginePeer::bound_ports(*rig.engine).datagram, 0);
    EXPECT_EQ(rig.open(TRANSPORT_TCP).conn_id, 1);
}

// Lowers the descriptor limit to the lowest free descriptor, so that the next one the
// process asks for fails with EMFILE; the limit comes back at restore() or when dropped.
class NoDescriptorLeft {
public:
    NoDescriptorLeft() {
        const int lowest_free = ::dup(0);
        if (lowest_free < 0) return;
        ::close(lowest_free);
        if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) return;
        rlimit tight = saved_;
        tight.rlim_cur = static_cast<rlim_t>(lowest_free);
        active_ = ::setrlimit(RLIMIT_NOFILE, &tight) == 0;
    }
    ~NoDescriptorLeft() { restore(); }
    NoDescriptorLeft(const NoDescriptorLeft&) = delete;
    NoDescriptorLeft& operator=(const NoDescriptorLeft&) = delete;

    bool active() const { return active_; }
    void restore() {
        if (active_) ::setrlimit(RLIMIT_NOFILE, &saved_);
        active_ = false;
    }

private:
    rlimit saved_{};
    bool active_ = false;
};

TEST(LinkEngine, FailedAcceptWritesItsDiagnosticAndTheListenerRestsInsteadOfABusyLoop) {
    EngineRig rig;
    Peer peer = Peer::tcp(rig.ports.stream);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(peer.send(setup_request(TRANSPORT_TCP)));
    const std::string line = "inted: accept: " + error_text(EMFILE) + "\n";

    // No descriptor left for the accepted socket. (The capture needs descriptors of
    // its own, so the limit is lifted while it starts and ends.)
    ::testing::internal::CaptureStderr();
    NoDescriptorLeft first;
    ASSERT_TRUE(first.active());
    rig.engine->comm_event(LinkEnginePeer::stream_listener(*rig.engine), EVENT_READ);
    first.restore();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), line);
    EXPECT_EQ(rig.rec.allocs, 0);

    // The connection stays queued and the listener readable: a listener that went on
    // reporting would fail once more on every turn of the event loop.
    ::testing::internal::CaptureStderr();
    NoDescriptorLeft still;
    ASSERT_TRUE(still.active());
    for (int turn = 0; turn < 200; ++turn) QCoreApplication::processEvents();
    still.restore();
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();
    std::size_t failures = 0;
    for (std::size_t at = diagnostics.find(line); at != std::string::npos;
         at = diagnostics.find(line, at + 1))
        ++failures;
    EXPECT_EQ(diagnostics.size(), failures * line.size()) << diagnostics;
    // At most one more failure each time the rest ran out while the turns went on.
    EXPECT_LE(failures, 2u) << diagnostics;
    EXPECT_EQ(rig.rec.allocs, 0);

    // After its rest, with descriptors free again, the listener takes the connection.
    EXPECT_EQ(peer.read(4), (Bytes{0x01, 0x01, 0x01, 0x05}));
    EXPECT_EQ(rig.rec.allocs, 1);

    // Nothing waiting is no failure and writes nothing.
    ::testing::internal::CaptureStderr();
    rig.engine->comm_event(LinkEnginePeer::stream_listener(*rig.engine), EVENT_READ);
    rig.engine->comm_event(LinkEnginePeer::control_listener(*rig.engine), EVENT_ACCEPT);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(rig.rec.allocs, 1);
}

// A whole chunk and, behind it, one byte short of another, or 1 or 2 bytes more than
// whole chunks, that end in the link's own request; all of it waits at the link socket
// before the engine looks.
TEST(LinkEngine, PartChunkBehindAWholeOneIsNotLeftWaitingForAWholeOne) {
    for (const std::size_t length : {2 * LARGEST_MESSAGE - 1, LARGEST_MESSAGE + 1, 2 * LARGEST_MESSAGE + 2}) {
        SCOPED_TRACE(length);
        EngineRig rig;
        auto a = rig.open(TRANSPORT_TCP);
        ASSERT_EQ(a.conn_id, 1);
        const int fd = rig.engine->link_socket(1);
        const Bytes stream =
            concat(zeros(length - SHUTDOWN_REQUEST_LEN), bytes_of(encode_shutdown_request(1, REASON_NORMAL)));
        ASSERT_TRUE(send_waiting(rig, a, stream));

        // One report takes the whole chunk. What is left is less than a whole chunk and all
        // that will come: it is read in the same report, or, should the report's time run
        // out first, left for the next one, which comes for any byte that waits.
        rig.engine->comm_event(fd, EVENT_READ);
        if (rig.phase(1) == LinkPhase::set_up) {
            int mark = 0;
            socklen_t size = sizeof mark;
            ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, &size), 0);
            EXPECT_EQ(mark, 1);
        }
        EXPECT_EQ(a.control.read(2), (Bytes{0x01, 0x03}));
        EXPECT_TRUE(a.control.wait_closed());
        ASSERT_EQ(rig.rec.shutdowns.size(), 1u);
        EXPECT_EQ(rig.rec.shutdowns[0].reason, REASON_NORMAL);
        EXPECT_EQ(rig.rec.bytes_for(1), length - SHUTDOWN_REQUEST_LEN);
    }
}
