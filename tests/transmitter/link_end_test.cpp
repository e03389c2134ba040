// SPDX-License-Identifier: Apache-2.0
// Ends of a link: the shutdown handshake, and every way the receiver's side ends it.
#include <poll.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <cerrno>
#include <cstring>

#include "link_fixture.h"
#include "open_fds.h"
#include "resolve.h"

namespace kelbos::test {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

std::string diag(const char* text, int error) {
    return std::string(text) + ": " + std::strerror(error) + "\n";
}

// A notification that arrives after the link has closed: a queued call of
// link_event, and a direct one.
void late_notification(TransmitterLink& link) {
    EXPECT_FALSE(notifying(link)) << "a closed link asks for no notification";
    QMetaObject::invokeMethod(
        &link, [&link] { link.link_event(); }, Qt::QueuedConnection);
    pump_posted();
    link.link_event();
}

// Waits, without running the event loop, until the link's connection has seen what
// the peer did to it.
void await_peer_action(const TransmitterLink& link) {
    pollfd p{link.control_fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, static_cast<int>(PEER_WAIT.count())), 1);
}

TEST_F(LinkTest, ShutdownHandshakeClosesTheLinkWithoutAnEndReport) {
    for (int transport : {TRANSPORT_UDP, TRANSPORT_TCP}) {
        const int fds = count_open_fds();
        SetupPeer peer;
        open_ok(transport, peer, 3);
        auto played = play_shutdown(peer.connection.fd(), {3, 3});
        EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::ok);
        EXPECT_EQ(played.get(), (Bytes{3, 2, 1}));
        EXPECT_FALSE(link.is_open());
        EXPECT_EQ(link.data_fd(), -1);
        EXPECT_EQ(link.last_error(), 0);
        Bytes after;
        EXPECT_TRUE(read_to_end(peer.connection.fd(), after));
        EXPECT_TRUE(after.empty());
        peer.connection.reset();
        EXPECT_EQ(count_open_fds(), fds);
        late_notification(link);
    }
    EXPECT_TRUE(ends.empty());
    // Nothing left to close: the request cannot be sent.
    EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::send_error);
    EXPECT_EQ(link.link_send(), -1);
    EXPECT_EQ(link.last_error(), ENOTCONN);
}

// A short or wrong ShutdownAck is a protocol error; none within the wait, a timeout.
TEST_F(LinkTest, ShortWrongOrMissingShutdownAck) {
    struct Case {
        int transport;
        Bytes ack;
        bool end_after;
        LinkStatus status;
        std::string diagnostic;
    };
    const std::string short_ack = diag("[SEND]rcv error", EPROTO);
    const int fds = count_open_fds();
    for (const Case& c : {Case{TRANSPORT_TCP, {3}, false, LinkStatus::protocol_error, short_ack},
                          Case{TRANSPORT_TCP, {3, 4}, false, LinkStatus::protocol_error, ""},
                          Case{TRANSPORT_TCP, {3, 2}, false, LinkStatus::protocol_error, ""},
                          Case{TRANSPORT_TCP, {}, true, LinkStatus::protocol_error, short_ack},
                          Case{TRANSPORT_UDP, {}, false, LinkStatus::shutdown_ack_timeout, ""},
                          Case{TRANSPORT_TCP, {}, false, LinkStatus::shutdown_ack_timeout, ""}}) {
        SetupPeer peer;
        open_ok(c.transport, peer, 3);
        if (c.status == LinkStatus::shutdown_ack_timeout) link.set_wait(100ms);
        auto played = play_shutdown(peer.connection.fd(), c.ack, c.end_after);
        CaptureStderr();
        EXPECT_EQ(link.link_shutdown(REASON_NORMAL), c.status) << c.ack.size();
        EXPECT_EQ(GetCapturedStderr(), c.diagnostic);
        EXPECT_EQ(played.get(), (Bytes{3, 2, 1}));
        EXPECT_FALSE(link.is_open());
        if (c.status == LinkStatus::shutdown_ack_timeout) {
            Bytes after;
            EXPECT_TRUE(read_to_end(peer.connection.fd(), after));  // the link closed its end
        }
        late_notification(link);
        link.set_wait(PEER_WAIT);
    }
    EXPECT_EQ(count_open_fds(), fds);
    EXPECT_TRUE(ends.empty());
}

// On a reset connection a ShutdownRequest that cannot be sent is a send error; a failed
// data send ends the link once with reason aborted.
TEST_F(LinkTest, ShutdownRequestOrSendOnAResetConnection) {
    for (bool shutdown : {true, false}) {
        const int fds = count_open_fds();
        SetupPeer peer;
        open_ok(TRANSPORT_TCP, peer, 3, shutdown ? 32700 : 1000);
        reset_connection(peer.connection);
        await_peer_action(link);
        CaptureStderr();
        if (shutdown)
            EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::send_error);
        else
            EXPECT_EQ(link.link_send(), -1);
        const int error = link.last_error();
        EXPECT_TRUE(error == ECONNRESET || error == EPIPE) << error;
        EXPECT_EQ(GetCapturedStderr(), diag(shutdown ? "send error:" : "send", error));
        EXPECT_EQ(ends, (shutdown ? std::vector<End>{} : std::vector<End>{{3, REASON_ABORTED}}));
        EXPECT_FALSE(link.is_open());
        EXPECT_EQ(count_open_fds(), fds);
        late_notification(link);  // the reset was also pending as a notification
        EXPECT_EQ(ends.size(), shutdown ? 0u : 1u);
    }
}

TEST_F(LinkTest, ConnectionNeverWritableBeforeShutdown) {
    const int small = 4096;
    ASSERT_EQ(::setsockopt(rx.stream.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    SetupPeer peer;
    open_ok(TRANSPORT_TCP, peer, 3, 150000, 1);
    int sent = 0;
    while (sent < 10000 && link.link_send() >= 0) ++sent;
    ASSERT_EQ(link.last_error(), EAGAIN);
    link.set_wait(100ms);
    EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::shutdown_ack_timeout);
    EXPECT_FALSE(link.is_open());
    late_notification(link);
    EXPECT_TRUE(ends.empty());
}

TEST_F(LinkTest, ReceiverClosingOrResettingEndsTheLinkOnce) {
    const int fds = count_open_fds();
    for (int transport : {TRANSPORT_UDP, TRANSPORT_TCP}) {
        for (bool reset : {false, true}) {
            ends.clear();
            SetupPeer peer;
            open_ok(transport, peer, 4);
            CaptureStderr();
            if (reset)
                reset_connection(peer.connection);
            else
                peer.connection.reset();
            const bool ended = pump_until([&] { return !ends.empty(); });
            const std::string err = GetCapturedStderr();
            ASSERT_TRUE(ended) << "transport " << transport << " reset " << reset;
            EXPECT_EQ(ends, (std::vector<End>{{4, REASON_ABORTED}}));
            EXPECT_EQ(err, reset ? diag("recv", ECONNRESET) : "");
            EXPECT_EQ(link.last_error(), reset ? ECONNRESET : 0);
            EXPECT_FALSE(link.is_open());
            EXPECT_EQ(link.data_fd(), -1);
            late_notification(link);
            EXPECT_EQ(ends.size(), 1u);
        }
    }
    EXPECT_EQ(count_open_fds(), fds);
}

TEST_F(LinkTest, BytesFromTheReceiverAreItsShutdownAndAreNotAcknowledged) {
    struct Case {
        int transport;
        Bytes bytes;
        End end;
    };
    for (const Case& c : {Case{TRANSPORT_TCP, {5, 2, 3}, {5, 3}}, Case{TRANSPORT_UDP, {5, 2, 3}, {5, 3}},
                          Case{TRANSPORT_TCP, {1, 9, 0xFF}, {1, -1}},     // reason as received, sign-extended
                          Case{TRANSPORT_TCP, {7}, {7, REASON_ABORTED}},  // no reason byte
                          Case{TRANSPORT_UDP, {8, 2}, {8, REASON_ABORTED}}}) {
        ends.clear();
        SetupPeer peer;
        open_ok(c.transport, peer, 3);
        send_bytes(peer.connection.fd(), c.bytes);
        ASSERT_TRUE(pump_until([&] { return !ends.empty(); }));
        EXPECT_EQ(ends, (std::vector<End>{c.end}));
        EXPECT_FALSE(link.is_open());
        Bytes answer;
        EXPECT_TRUE(read_to_end(peer.connection.fd(), answer));
        EXPECT_TRUE(answer.empty()) << "no ShutdownAck";
        late_notification(link);
        EXPECT_EQ(ends.size(), 1u);
    }
}

TEST_F(LinkTest, UrgentDataIsAnExceptionalCondition) {
    SetupPeer peer;
    open_ok(TRANSPORT_TCP, peer, 3);
    CaptureStderr();
    ASSERT_EQ(::send(peer.connection.fd(), "xy", 2, MSG_OOB), 2);
    const bool ended = pump_until([&] { return !ends.empty(); });
    const std::string err = GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(ends, (std::vector<End>{{3, REASON_ABORTED}}));
    EXPECT_EQ(err.rfind("exception mask non-zero: ", 0), 0u) << err;
    EXPECT_FALSE(link.is_open());
}

TEST_F(LinkTest, NotificationPendingWhenShutdownClosesIsIgnored) {
    // The receiver ends the connection, and the user halts before the notification
    // of that end is handled.
    SetupPeer peer;
    open_ok(TRANSPORT_TCP, peer, 3);
    peer.connection.reset();
    await_peer_action(link);
    CaptureStderr();
    EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::protocol_error);
    EXPECT_EQ(GetCapturedStderr().rfind("[SEND]rcv error: ", 0), 0u);
    late_notification(link);
    EXPECT_TRUE(ends.empty());
}

TEST_F(LinkTest, OpeningAgainDropsTheOpenLinkSilently) {
    SetupPeer first, second;
    open_ok(TRANSPORT_TCP, first, 3);
    open_ok(TRANSPORT_UDP, second, 4);
    Bytes rest;
    EXPECT_TRUE(read_to_end(first.connection.fd(), rest));
    EXPECT_TRUE(rest.empty());
    EXPECT_TRUE(link.is_open());
    EXPECT_EQ(link.conn_id(), 4);
    pump_posted();
    EXPECT_TRUE(ends.empty());
}

TEST_F(LinkTest, ManyLinksLeaveNoDescriptorBehind) {
    std::uint16_t port = 0;
    const Socket unlistened = bound_loopback(port);
    ASSERT_TRUE(unlistened);
    TransmitterLink refused({{port, rx.ports.datagram, port}, PEER_WAIT});

    const int fds = count_open_fds();
    const int rounds = 12;
    for (int round = 0; round < rounds; ++round) {
        const auto id = static_cast<ConnId>(1 + round % 10);
        for (int transport : {TRANSPORT_UDP, TRANSPORT_TCP}) {
            SetupPeer peer;
            open_ok(transport, peer, id);  // halted
            EXPECT_GT(link.link_send(), 0);
            auto played = play_shutdown(peer.connection.fd(), {id, 3});
            EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::ok);
            played.get();

            open_ok(transport, peer, id);  // receiver closes
            peer.connection.reset();
            ASSERT_TRUE(pump_until([&] { return ends.size() == 1; }));
            ends.clear();

            open_ok(transport, peer, id);  // receiver's own shutdown
            send_bytes(peer.connection.fd(), {id, 2, 3});
            ASSERT_TRUE(pump_until([&] { return ends.size() == 1; }));
            EXPECT_EQ(ends.back(), (End{id, 3}));
            ends.clear();

            open_ok(transport, peer, id);  // failed send
            reset_connection(peer.connection);
            await_peer_action(link);
            CaptureStderr();
            if (transport == TRANSPORT_UDP) {  // the data path is fine; the notification tells
                ASSERT_TRUE(pump_until([&] { return ends.size() == 1; }));
            } else {
                EXPECT_EQ(link.link_send(), -1);
            }
            GetCapturedStderr();
            EXPECT_EQ(ends.size(), 1u);
            ends.clear();

            EXPECT_EQ(open(transport, {0xFF, 4, 1, 5}), LinkStatus::rejected);
            EXPECT_EQ(open(transport, {id, 9, 1, 5}), LinkStatus::protocol_error);
            link.set_wait(20ms);
            EXPECT_EQ(plain_open(link, transport), LinkStatus::setup_ack_timeout);
            link.set_wait(PEER_WAIT);
            EXPECT_EQ(plain_open(refused, transport), LinkStatus::connect_error);
            EXPECT_EQ(
                link.link_open(transport, 0, OWN_HOST, "no-such-host.invalid", COLOUR, 100, recorder(), 1, 0),
                LinkStatus::host_unknown);
            EXPECT_EQ(plain_open(link, transport, 150001), LinkStatus::message_too_big);
            EXPECT_EQ(plain_open(link, transport + 2), LinkStatus::unknown_transport);
        }
        // Connections that timed out waiting for a reply are still queued; take them.
        while (wait_readable(rx.control.fd(), 0ms) == WaitResult::ready)
            Socket(::accept(rx.control.fd(), nullptr, nullptr));
        while (wait_readable(rx.stream.fd(), 0ms) == WaitResult::ready)
            Socket(::accept(rx.stream.fd(), nullptr, nullptr));
    }
    pump_posted();
    EXPECT_EQ(count_open_fds(), fds);
    EXPECT_TRUE(ends.empty());
}

}  // namespace
}  // namespace kelbos::test
