// SPDX-License-Identifier: Apache-2.0
// The transmitter's link against the receiver's engine: set-up, data, the shutdown
// handshake, refusal of an eleventh link, the ends the receiver causes, and many links
// of every kind with what they leave behind.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/protocol.h"
#include "link_peer.h"
#include "net/sockets.h"
#include "open_fds.h"
#include "pump.h"
#include "receiver_thread.h"
#include "transmitter/link/link.h"

namespace kelbos::test {
namespace {

using namespace std::chrono_literals;
using kelbos::testing::pump_until;
using End = std::pair<int, int>;

// Bound of the link's waits where nothing is meant to time out.
constexpr std::chrono::milliseconds LINK_TEST_WAIT = 5s;

// The end callback of a link, recorded: (ConnId, reason) per call. Test thread only.
struct TxEnds {
    std::vector<End> calls;
    EndCallback callback() {
        return [this](ConnId conn_id, int reason) { calls.emplace_back(conn_id, reason); };
    }
};

struct OpenArgs {
    std::uint32_t message_length = 1000;
    std::string colour_text = "#800000";
    std::uint32_t kelbo_bytes = 2500000;
    std::uint32_t socket_buffer = 0;
};

LinkStatus open_link(TransmitterLink& link, int transport, TxEnds& ends, const OpenArgs& args = {}) {
    return link.link_open({transport, NETWORK_ETHERNET, "txhost", "127.0.0.1", args.colour_text, args.message_length,
                           args.kelbo_bytes, args.socket_buffer},
                          ends.callback());
}

// Sends one message, waiting for room in a full buffer: what the link took, or -1.
int send_one(TransmitterLink& link) {
    for (;;) {
        const int n = link.link_send();
        if (n >= 0) return n;
        const int error = link.last_error();
        if (error != EAGAIN && error != EWOULDBLOCK && error != ENOBUFS) return -1;
        if (wait_writable(link.data_fd(), LINK_TEST_WAIT) != WaitResult::ready) return -1;
    }
}

void expect_halt_reported(ReceiverThread& rx, ConnId conn_id) {
    ASSERT_TRUE(rx.wait_for([](LinkEngine*, ReceiverLog& log) { return !log.shutdowns.empty(); }));
    const ReceiverLog log = rx.snapshot();
    ASSERT_EQ(log.shutdowns.size(), 1u);
    EXPECT_EQ(log.shutdowns[0].conn_id, conn_id);
    EXPECT_EQ(log.shutdowns[0].reason, REASON_NORMAL);
    EXPECT_EQ(log.shutdowns[0].text, "Remote shutdown request");
    // Reported only once the acknowledgement had gone and the socket was closed.
    EXPECT_EQ(log.shutdowns[0].entry_fd, -1);
    EXPECT_EQ(log.table[conn_id].row_state, RowState::dirty);
    EXPECT_EQ(log.faults, 0);
    EXPECT_TRUE(rx.table_empty());
}

// A receiver on free ports and two links aimed at it, with the ends each reports.
class LinkPair : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(rx.status(), LinkStatus::ok); }

    // The one new_link so far got what link_open put into its SetupRequest.
    void expect_new_link(const char* colour, std::uint8_t transport, std::uint32_t kelbo_bytes) {
        ASSERT_TRUE(rx.wait_for([](LinkEngine*, ReceiverLog& log) { return !log.new_links.empty(); }));
        const ReceiverLog log = rx.snapshot();
        ASSERT_EQ(log.new_links.size(), 1u);
        EXPECT_EQ(log.new_links[0].conn_id, 1);
        EXPECT_TRUE(log.new_links[0].peer_name == "localhost" || log.new_links[0].peer_name == "127.0.0.1")
            << log.new_links[0].peer_name;
        EXPECT_EQ(log.new_links[0].colour_text, colour);
        EXPECT_EQ(log.new_links[0].transport, transport);
        EXPECT_EQ(log.new_links[0].kelbo_bytes, kelbo_bytes);
        EXPECT_EQ(
            rx.on_receiver([](LinkEngine* e, ReceiverLog&) { return LinkEnginePeer::link_phase(*e, 1); }),
            LinkPhase::set_up);
    }

    ReceiverThread rx;
    TransmitterLink link{LinkOptions{rx.ports(), LINK_TEST_WAIT}};
    TransmitterLink other{LinkOptions{rx.ports(), LINK_TEST_WAIT}};
    TxEnds ends, other_ends;
};

// With a socket buffer setting of 0 both ends of a TCP link leave their buffers to the
// system's sizing: under load they grow past any fixed size of the settings (150000,
// which the system reports as 300000).
TEST_F(LinkPair, TcpLinkDeliversEveryByteGrowsItsBuffersAndEndsWithTheShutdownHandshake) {
    OpenArgs args;
    args.message_length = TCP_MAX_MESSAGE;
    args.colour_text = "#1A2B3C";
    ASSERT_EQ(open_link(link, TRANSPORT_TCP, ends, args), LinkStatus::ok);
    EXPECT_EQ(link.conn_id(), 1);

    expect_new_link("#1A2B3C", TRANSPORT_TCP, 2500000);

    // Whole and partial messages: every byte the link accepted is counted for ConnId
    // 1. Its messages hold only the bytes 1 and 0: no chunk looks like a ShutdownRequest.
    constexpr int FIXED_MOST = 2 * static_cast<int>(TCP_MAX_MESSAGE);
    int send_buffer = 0, received_buffer = 0;
    std::uint64_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (sent < 4'000'000 || ((send_buffer <= FIXED_MOST || received_buffer <= FIXED_MOST) &&
                                std::chrono::steady_clock::now() < deadline)) {
        for (int i = 0; i < 32; ++i) {
            const int n = send_one(link);
            ASSERT_GE(n, 0) << error_text(link.last_error());
            sent += static_cast<std::uint64_t>(n);
        }
        send_buffer = int_option(link.data_fd(), SOL_SOCKET, SO_SNDBUF);
        received_buffer = rx.on_receiver(
            [](LinkEngine* e, ReceiverLog&) { return int_option(e->link_socket(1), SOL_SOCKET, SO_RCVBUF); });
    }
    EXPECT_GT(send_buffer, FIXED_MOST);
    EXPECT_GT(received_buffer, FIXED_MOST);
    EXPECT_TRUE(rx.wait_for([&](LinkEngine*, ReceiverLog& log) { return log.bytes_for(1) >= sent; }, 10s));
    ReceiverLog log = rx.snapshot();
    EXPECT_EQ(log.bytes_for(1), sent);
    EXPECT_EQ(log.table[1].bytes_received, sent);
    EXPECT_EQ(log.table[0].bytes_received, sent);
    for (const MoreDataCall& call : log.more_data) ASSERT_EQ(call.conn_id, 1);
    EXPECT_TRUE(log.shutdowns.empty());

    EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::ok);
    EXPECT_FALSE(TransmitterLinkPeer::is_open(link));
    expect_halt_reported(rx, 1);
    EXPECT_EQ(rx.snapshot().bytes_for(1), sent);  // the request was no data
    QCoreApplication::processEvents();
    EXPECT_TRUE(ends.calls.empty());
}

TEST_F(LinkPair, UdpLinkDeliversEveryDatagramAndEndsWithTheShutdownHandshake) {
    OpenArgs args;
    args.message_length = UDP_MAX_MESSAGE;
    args.colour_text = "#00FF80";
    args.kelbo_bytes = 4096;
    args.socket_buffer = 65535;  // a TCP setting; UDP links ignore it
    const int fds = count_open_fds();
    ASSERT_EQ(open_link(link, TRANSPORT_UDP, ends, args), LinkStatus::ok);
    EXPECT_EQ(link.conn_id(), 1);
    expect_new_link("#00FF80", TRANSPORT_UDP, 4096);

    // The largest datagrams, one at a time: one that finds the buffer full may be lost.
    constexpr std::size_t DATAGRAMS = 100;
    for (std::size_t i = 1; i <= DATAGRAMS; ++i) {
        ASSERT_EQ(send_one(link), static_cast<int>(UDP_MAX_MESSAGE)) << error_text(link.last_error());
        ASSERT_TRUE(rx.wait_for([&](LinkEngine*, ReceiverLog& log) { return log.datagrams_for(1) == i; }))
            << "datagram " << i;
    }
    ReceiverLog log = rx.snapshot();
    ASSERT_EQ(log.more_data.size(), DATAGRAMS);
    for (const MoreDataCall& call : log.more_data) {
        EXPECT_EQ(call.conn_id, 1);
        EXPECT_EQ(call.bytes, UDP_MAX_MESSAGE);
    }
    EXPECT_EQ(log.table[1].bytes_received, DATAGRAMS * UDP_MAX_MESSAGE);

    // The datagram buffer is as large as the system allows, and holds a burst sent while
    // the receiver is busy: as many of the largest datagrams as fit (each takes up to
    // twice its size there) all arrive, each counted whole.
    const auto [buffer, reported] = rx.on_receiver([](LinkEngine* e, ReceiverLog&) {
        return std::pair{int_option(e->datagram_socket(), SOL_SOCKET, SO_RCVBUF),
                         e->datagram_receive_buffer()};
    });
    EXPECT_EQ(reported, buffer);
    EXPECT_GE(buffer, 2 * std::min(DATAGRAM_RECEIVE_BUFFER, system_receive_buffer_max()));
    const std::size_t burst =
        std::min<std::size_t>(300, static_cast<std::size_t>(buffer) / (3 * UDP_MAX_MESSAGE));
    ASSERT_GE(burst, 4u) << "receive buffer " << buffer;
    rx.hold_next(Hold::more_data);
    ASSERT_EQ(send_one(link), static_cast<int>(UDP_MAX_MESSAGE));
    ASSERT_TRUE(rx.wait_held());
    for (std::size_t i = 0; i < burst; ++i)
        ASSERT_EQ(send_one(link), static_cast<int>(UDP_MAX_MESSAGE)) << error_text(link.last_error());
    rx.release();
    const std::size_t total = DATAGRAMS + 1 + burst;
    EXPECT_TRUE(rx.wait_for([&](LinkEngine*, ReceiverLog& log) { return log.datagrams_for(1) == total; }));
    log = rx.snapshot();
    EXPECT_EQ(log.more_data.size(), total);
    EXPECT_EQ(log.table[1].bytes_received, total * UDP_MAX_MESSAGE);

    EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::ok);
    EXPECT_EQ(link.data_fd(), -1);
    expect_halt_reported(rx, 1);
    // Both of the link's sockets and the receiver's link socket are closed.
    EXPECT_TRUE(rx.wait_for([&](LinkEngine*, ReceiverLog&) { return count_open_fds() <= fds; }))
        << count_open_fds() << " > " << fds;
    QCoreApplication::processEvents();
    EXPECT_TRUE(ends.calls.empty());
}

TEST_F(LinkPair, EleventhLinkIsRejectedWhileTenCarryOn) {
    // Odd ConnIds on TCP, even on UDP: no TCP message holds a byte 2 (a ShutdownRequest).
    auto transport_of = [](int c) { return c % 2 ? TRANSPORT_TCP : TRANSPORT_UDP; };
    std::vector<std::unique_ptr<TransmitterLink>> links;
    for (int c = 1; c <= 10; ++c) {
        links.push_back(std::make_unique<TransmitterLink>(LinkOptions{rx.ports(), LINK_TEST_WAIT}));
        ASSERT_EQ(open_link(*links.back(), transport_of(c), ends), LinkStatus::ok) << c;
        ASSERT_EQ(links.back()->conn_id(), c);
    }

    TransmitterLink& eleventh = link;
    for (int transport : {TRANSPORT_TCP, TRANSPORT_UDP}) {
        const LinkStatus status = open_link(eleventh, transport, ends);
        EXPECT_EQ(status, LinkStatus::rejected) << transport;
        EXPECT_STREQ(status_text(status), "Connection rejected by receiver");
        EXPECT_FALSE(TransmitterLinkPeer::is_open(eleventh));
    }
    ReceiverLog log = rx.snapshot();
    EXPECT_EQ(log.allocs, 12);
    EXPECT_EQ(log.new_links.size(), 10u);
    EXPECT_EQ(log.table.links_in_use(), 10);
    EXPECT_TRUE(log.released.empty());

    // The ten carry on.
    for (auto& link : links)
        for (int i = 0; i < 3; ++i) ASSERT_EQ(send_one(*link), 1000);
    EXPECT_TRUE(rx.wait_for([](LinkEngine*, ReceiverLog& log) {
        for (int c = 1; c <= 10; ++c)
            if (log.table[static_cast<ConnId>(c)].bytes_received < 3000) return false;
        return true;
    }));
    log = rx.snapshot();
    for (int c = 1; c <= 10; ++c) EXPECT_EQ(log.table[static_cast<ConnId>(c)].bytes_received, 3000u) << c;
    EXPECT_TRUE(log.shutdowns.empty());

    // An ended link keeps its ConnId until its row is removed.
    ASSERT_EQ(links[4]->link_shutdown(REASON_NORMAL), LinkStatus::ok);
    ASSERT_TRUE(rx.wait_for([](LinkEngine*, ReceiverLog& log) { return log.shutdowns.size() == 1; }));
    EXPECT_EQ(open_link(eleventh, TRANSPORT_TCP, ends), LinkStatus::rejected);
    EXPECT_EQ(rx.on_receiver([](LinkEngine*, ReceiverLog& log) { return log.remove_dirty_rows(); }), 1);
    ASSERT_EQ(open_link(eleventh, TRANSPORT_UDP, ends), LinkStatus::ok);
    EXPECT_EQ(eleventh.conn_id(), 5);
    ASSERT_EQ(send_one(eleventh), 1000);
    EXPECT_TRUE(
        rx.wait_for([](LinkEngine*, ReceiverLog& log) { return log.table[5].bytes_received == 1000; }));

    EXPECT_EQ(eleventh.link_shutdown(REASON_NORMAL), LinkStatus::ok);
    for (int c = 1; c <= 10; ++c) {
        if (c == 5) continue;
        EXPECT_EQ(links[static_cast<std::size_t>(c - 1)]->link_shutdown(REASON_NORMAL), LinkStatus::ok) << c;
    }
    EXPECT_TRUE(rx.wait_for([](LinkEngine*, ReceiverLog& log) { return log.shutdowns.size() == 11; }));
    EXPECT_TRUE(rx.table_empty());
    EXPECT_EQ(rx.snapshot().faults, 0);
    QCoreApplication::processEvents();
    EXPECT_TRUE(ends.calls.empty());
}

TEST_F(LinkPair, ReceiverClosingOneLinkOrGoingAwayEndsEachLinkOnce) {
    TransmitterLink& closed = link;
    TxEnds& closed_ends = ends;
    ASSERT_EQ(open_link(closed, TRANSPORT_TCP, closed_ends), LinkStatus::ok);
    ASSERT_EQ(open_link(other, TRANSPORT_UDP, other_ends), LinkStatus::ok);
    ASSERT_EQ(closed.conn_id(), 1);

    // An error condition on link 1's socket: the engine closes it, and the other link
    // carries on.
    rx.on_receiver(
        [](LinkEngine* e, ReceiverLog&) { e->comm_event(e->link_socket(1), EVENT_READ, ECONNRESET); });
    ASSERT_TRUE(pump_until([&] { return !closed_ends.calls.empty(); }));
    EXPECT_EQ(closed_ends.calls, (std::vector<End>{{1, REASON_ABORTED}}));
    ReceiverLog log = rx.snapshot();
    ASSERT_EQ(log.shutdowns.size(), 1u);
    EXPECT_EQ(log.shutdowns[0].conn_id, 1);
    EXPECT_EQ(log.shutdowns[0].reason, REASON_ABORTED);
    EXPECT_EQ(log.shutdowns[0].text, error_text(ECONNRESET));
    ASSERT_EQ(send_one(other), 1000);
    EXPECT_TRUE(
        rx.wait_for([](LinkEngine*, ReceiverLog& log) { return log.table[2].bytes_received == 1000; }));
    EXPECT_EQ(other.link_shutdown(REASON_NORMAL), LinkStatus::ok);
    QCoreApplication::processEvents();
    closed.link_event();
    EXPECT_EQ(closed_ends.calls.size(), 1u);
    EXPECT_TRUE(other_ends.calls.empty());

    // The receiver going away ends each link still open once.
    TransmitterLink tcp{LinkOptions{rx.ports(), LINK_TEST_WAIT}},
        udp{LinkOptions{rx.ports(), LINK_TEST_WAIT}};
    TxEnds tcp_ends, udp_ends;
    ASSERT_EQ(open_link(tcp, TRANSPORT_TCP, tcp_ends), LinkStatus::ok);
    ASSERT_EQ(open_link(udp, TRANSPORT_UDP, udp_ends), LinkStatus::ok);
    ASSERT_EQ(tcp.conn_id(), 3);
    ASSERT_EQ(udp.conn_id(), 4);
    rx.destroy_engine();
    ASSERT_TRUE(pump_until([&] { return !tcp_ends.calls.empty() && !udp_ends.calls.empty(); }));
    EXPECT_EQ(tcp_ends.calls, (std::vector<End>{{3, REASON_ABORTED}}));
    EXPECT_EQ(udp_ends.calls, (std::vector<End>{{4, REASON_ABORTED}}));
    EXPECT_FALSE(TransmitterLinkPeer::is_open(tcp));
    EXPECT_FALSE(TransmitterLinkPeer::is_open(udp));

    // Later notifications, direct or queued, and a halt find the links closed.
    for (TransmitterLink* link : {&tcp, &udp}) {
        QMetaObject::invokeMethod(
            link, [link] { link->link_event(); }, Qt::QueuedConnection);
        link->link_event();
        EXPECT_EQ(link->link_shutdown(REASON_NORMAL), LinkStatus::send_error);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(tcp_ends.calls.size(), 1u);
    EXPECT_EQ(udp_ends.calls.size(), 1u);
    EXPECT_EQ(closed_ends.calls.size(), 1u);
}

TEST_F(LinkPair, NotificationStillQueuedAfterAHaltReportsNothing) {
    auto queue_notification = [&] {
        QMetaObject::invokeMethod(
            &link, [this] { link.link_event(); }, Qt::QueuedConnection);
    };

    // A normal halt with a notification queued before it.
    ASSERT_EQ(open_link(link, TRANSPORT_TCP, ends), LinkStatus::ok);
    queue_notification();
    EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::ok);
    ASSERT_TRUE(rx.wait_for([](LinkEngine*, ReceiverLog& log) { return log.shutdowns.size() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(ends.calls.empty());
    EXPECT_EQ(rx.on_receiver([](LinkEngine*, ReceiverLog& log) { return log.remove_dirty_rows(); }), 1);

    // The receiver closed the link and the halt comes before the notification of that:
    // the halt fails, and the notification reports nothing.
    ASSERT_EQ(open_link(link, TRANSPORT_UDP, ends), LinkStatus::ok);
    ASSERT_EQ(link.conn_id(), 1);
    queue_notification();
    rx.on_receiver(
        [](LinkEngine* e, ReceiverLog&) { e->comm_event(e->link_socket(1), EVENT_READ, ECONNRESET); });
    ASSERT_EQ(wait_readable(TransmitterLinkPeer::control_fd(link), LINK_TEST_WAIT), WaitResult::ready);
    ::testing::internal::CaptureStderr();
    const LinkStatus status = link.link_shutdown(REASON_NORMAL);
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(status == LinkStatus::send_error || status == LinkStatus::protocol_error)
        << static_cast<int>(status);
    EXPECT_FALSE(TransmitterLinkPeer::is_open(link));
    QCoreApplication::processEvents();
    link.link_event();
    EXPECT_TRUE(ends.calls.empty());
    const ReceiverLog log = rx.snapshot();
    EXPECT_EQ(log.shutdowns.size(), 2u);
    EXPECT_EQ(log.faults, 0);
}

// Many links of every kind, and what they leave behind: descriptors, link socket
// entries, ConnIds.
constexpr int CYCLES = 1000;
// The bound of the waits that are meant to run out. The receiver is held meanwhile,
// so nothing can arrive within it.
constexpr std::chrono::milliseconds SHORT_WAIT{1};
const std::string EOF_TEXT = "ZERO length message received (EOF!) on socket ";

class LinkCycles : public LinkPair {
protected:
    // Waits until the receiver has reported `ends_expected` link ends in all and holds
    // no link socket, then removes the rows of ended links as the rate ticks would.
    // Returns the last end reported.
    ShutdownCall settle() {
        ++ends_expected;
        ShutdownCall last{};
        const bool settled = rx.wait_for([&](LinkEngine* e, ReceiverLog& log) {
            if (log.shutdowns.size() < ends_expected) return false;
            for (int c = CONN_FIRST; c <= CONN_LAST; ++c)
                if (e->link_socket(static_cast<ConnId>(c)) != -1) return false;
            log.remove_dirty_rows();
            last = log.shutdowns.back();
            return true;
        });
        EXPECT_TRUE(settled) << "the receiver did not report the end of link " << ends_expected;
        return last;
    }

    void open_ok(TransmitterLink& link, int transport) {
        ASSERT_EQ(open_link(link, transport, ends), LinkStatus::ok);
        ASSERT_EQ(link.conn_id(), 1);  // every earlier ConnId is free again
    }

    void normal(int transport) {
        open_ok(link, transport);
        ASSERT_EQ(link.link_send(), 1000);
        ASSERT_TRUE(
            rx.wait_for([](LinkEngine*, ReceiverLog& log) { return log.table[1].bytes_received == 1000; }));
        ASSERT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::ok);
        const ShutdownCall end = settle();
        EXPECT_EQ(end.reason, REASON_NORMAL);
        EXPECT_EQ(end.text, "Remote shutdown request");
    }

    void refused(int transport) {
        rx.on_receiver([](LinkEngine*, ReceiverLog& log) { log.refuse = true; });
        const LinkStatus status = open_link(link, transport, ends);
        rx.on_receiver([](LinkEngine*, ReceiverLog& log) { log.refuse = false; });
        ASSERT_EQ(status, LinkStatus::rejected);
    }

    // The transmitter goes away with the link open: no request, no end report on its
    // side, the end of the stream on the receiver's.
    void aborted_by_transmitter(int transport) {
        {
            TransmitterLink dropped({rx.ports(), LINK_TEST_WAIT});
            open_ok(dropped, transport);
        }
        const ShutdownCall end = settle();
        EXPECT_EQ(end.reason, REASON_ABORTED);
        EXPECT_EQ(end.text.rfind(EOF_TEXT, 0), 0u) << end.text;
    }

    // The receiver closes the link's socket on an error condition.
    void aborted_by_receiver(int transport) {
        open_ok(link, transport);
        rx.on_receiver(
            [](LinkEngine* e, ReceiverLog&) { e->comm_event(e->link_socket(1), EVENT_READ, ECONNRESET); });
        ASSERT_TRUE(pump_until([&] { return !ends.calls.empty(); }));
        EXPECT_EQ(ends.calls, (std::vector<End>{{1, REASON_ABORTED}}));
        ends.calls.clear();
        const ShutdownCall end = settle();
        EXPECT_EQ(end.reason, REASON_ABORTED);
        EXPECT_EQ(end.text, error_text(ECONNRESET));
    }

    // No SetupReply within the link's wait: the receiver is busy in alloc_conn_id.
    // Once free it sets the link up, finds it gone and ends it.
    void setup_timed_out(int transport) {
        rx.hold_next(Hold::alloc);
        link.set_wait(SHORT_WAIT);
        const LinkStatus status = open_link(link, transport, ends);
        link.set_wait(LINK_TEST_WAIT);
        rx.release();
        ASSERT_EQ(status, LinkStatus::setup_ack_timeout);
        const ShutdownCall end = settle();
        EXPECT_EQ(end.reason, REASON_ABORTED);
    }

    // No ShutdownAck within the link's wait: the receiver is busy in more_data. Once
    // free it finds the request, acknowledges it to a closed socket and ends the link.
    void shutdown_timed_out(int transport) {
        open_ok(link, transport);
        rx.hold_next(Hold::more_data);
        ASSERT_EQ(link.link_send(), 1000);
        ASSERT_TRUE(rx.wait_held());
        link.set_wait(SHORT_WAIT);
        const LinkStatus status = link.link_shutdown(REASON_NORMAL);
        link.set_wait(LINK_TEST_WAIT);
        rx.release();
        ASSERT_EQ(status, LinkStatus::shutdown_ack_timeout);
        const ShutdownCall end = settle();
        EXPECT_EQ(end.reason, REASON_NORMAL);
        EXPECT_EQ(end.text, "Remote shutdown request");
    }

    // One link of every kind; false after the first failure.
    bool cycle(int transport) {
        for (void (LinkCycles::*kind)(int) :
             {&LinkCycles::normal, &LinkCycles::refused, &LinkCycles::aborted_by_transmitter,
              &LinkCycles::aborted_by_receiver, &LinkCycles::setup_timed_out,
              &LinkCycles::shutdown_timed_out}) {
            (this->*kind)(transport);
            if (HasFailure()) return false;
        }
        return true;
    }

    std::size_t ends_expected = 0;
};

TEST_F(LinkCycles, ThousandOfEveryKindLeaveNoDescriptorEntryOrConnIdBehind) {
    // The first links start whatever the process keeps for later ones.
    ASSERT_TRUE(cycle(TRANSPORT_TCP));
    ASSERT_TRUE(cycle(TRANSPORT_UDP));
    const int fds = count_open_fds();
    const ReceiverLog before = rx.snapshot();

    const auto started = std::chrono::steady_clock::now();
    int done = 0;
    while (done < CYCLES && cycle(done % 2 ? TRANSPORT_UDP : TRANSPORT_TCP)) ++done;
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    ASSERT_EQ(done, CYCLES);
    std::printf("%d cycles of 6 link kinds in %lld ms\n", CYCLES, static_cast<long long>(took.count()));

    const ReceiverLog after = rx.snapshot();
    EXPECT_EQ(after.allocs - before.allocs, 6 * CYCLES);
    EXPECT_EQ(after.new_links.size() - before.new_links.size(), 5u * CYCLES);
    EXPECT_EQ(after.shutdowns.size() - before.shutdowns.size(), 5u * CYCLES);
    EXPECT_TRUE(after.released.empty());
    EXPECT_EQ(after.faults, 0);
    EXPECT_EQ(after.table.links_in_use(), 0);
    EXPECT_TRUE(rx.table_empty());
    EXPECT_TRUE(rx.wait_for([](LinkEngine* e, ReceiverLog&) {
        return e->findChildren<QSocketNotifier*>().size() == 3;  // the endpoints' only
    }));
    EXPECT_EQ(rx.on_receiver([](LinkEngine* e, ReceiverLog&) { return LinkEnginePeer::buffer_pool(*e).buffers_made(); }),
              1u);
    // Name lookups that ran past their budget may hold a descriptor a little longer.
    EXPECT_TRUE(rx.wait_for([&](LinkEngine*, ReceiverLog&) { return count_open_fds() <= fds; }))
        << count_open_fds() << " > " << fds;
    QCoreApplication::processEvents();
    EXPECT_TRUE(ends.calls.empty());
}

}  // namespace
}  // namespace kelbos::test
