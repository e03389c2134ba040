// SPDX-License-Identifier: Apache-2.0
// Ends of a link: the shutdown handshake, and every way the receiver's side ends it.
#include <gmock/gmock.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "link_fixture.h"
#include "net/resolve.h"
#include "open_fds.h"

namespace kelbos::test {
namespace {

using ::testing::_;
using ::testing::IsEmpty;
using ::testing::Matcher;
using ::testing::StartsWith;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

std::string diag(const char* text, int error) {
    return std::string(text) + ": " + std::strerror(error) + "\n";
}

// Waits, without running the event loop, until the link's connection has seen what
// the peer did to it.
void await_peer_action(const TransmitterLink& link) {
    pollfd p{TransmitterLinkPeer::control_fd(link), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, static_cast<int>(PEER_WAIT.count())), 1);
}

// A way the receiver's side ends an open link, and the end the link reports.
enum class PeerEnd { close, reset, bytes, urgent };
constexpr int LINK_ID = -1;  // in an End: the link's own ConnId
struct ReceiverEnd {
    int transport;
    PeerEnd how;
    Bytes bytes;  // what the receiver sends, the last byte urgent for PeerEnd::urgent
    std::pair<int, int> end;
    Matcher<const std::string&> diagnostic;
    Matcher<int> error;  // last_error afterwards
};
// Bytes from the receiver are its shutdown, [ConnId, type, reason], and are not
// acknowledged; urgent data is an exceptional condition.
const ReceiverEnd RECEIVER_ENDS[] = {
    {TRANSPORT_UDP, PeerEnd::close, {}, {LINK_ID, REASON_ABORTED}, IsEmpty(), 0},
    {TRANSPORT_UDP, PeerEnd::reset, {}, {LINK_ID, REASON_ABORTED}, diag("recv", ECONNRESET), ECONNRESET},
    {TRANSPORT_UDP, PeerEnd::bytes, {5, 2, 3}, {5, 3}, _, _},
    {TRANSPORT_UDP, PeerEnd::bytes, {8, 2}, {8, REASON_ABORTED}, _, _},  // no reason byte
    {TRANSPORT_TCP, PeerEnd::close, {}, {LINK_ID, REASON_ABORTED}, IsEmpty(), 0},
    {TRANSPORT_TCP, PeerEnd::reset, {}, {LINK_ID, REASON_ABORTED}, diag("recv", ECONNRESET), ECONNRESET},
    {TRANSPORT_TCP, PeerEnd::bytes, {5, 2, 3}, {5, 3}, _, _},
    {TRANSPORT_TCP, PeerEnd::bytes, {1, 9, 0xFF}, {1, -1}, _, _},     // reason as received, sign-extended
    {TRANSPORT_TCP, PeerEnd::bytes, {7}, {7, REASON_ABORTED}, _, _},  // no reason byte
    {TRANSPORT_TCP,
     PeerEnd::urgent,
     {'x', 'y'},
     {LINK_ID, REASON_ABORTED},
     StartsWith("exception mask non-zero: "),
     _},
};

class LinkEndTest : public LinkTest {
protected:
    // Halt: the shutdown handshake closes the link without an end report; after it
    // nothing is left to close and the request cannot be sent.
    void halt(int transport, ConnId id) {
        const int fds = count_open_fds();
        SetupPeer peer;
        open_ok(transport, peer, id);
        const int sent = link.link_send();
        EXPECT_GT(sent, 0);
        if (transport == TRANSPORT_TCP) read_bytes(peer.connection.fd(), sent);  // ahead of the request
        auto played = play_shutdown(peer.connection.fd(), {id, 3});
        EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::ok);
        EXPECT_EQ(played.get(), (Bytes{id, 2, 1}));
        EXPECT_EQ(link.last_error(), 0);
        EXPECT_TRUE(closed_silently(peer.connection.fd()));
        peer.connection.reset();
        EXPECT_EQ(count_open_fds(), fds);
        expect_closed_for_good();
        EXPECT_TRUE(ends.empty());
        EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::send_error);
        EXPECT_EQ(link.link_send(), -1);
        EXPECT_EQ(link.last_error(), ENOTCONN);
    }

    // The receiver's side ends the link: the end is reported once.
    void receiver_ends(const ReceiverEnd& c, ConnId id) {
        SCOPED_TRACE("transport " + std::to_string(c.transport) + " way " + std::to_string(int(c.how)));
        const int fds = count_open_fds();
        SetupPeer peer;
        open_ok(c.transport, peer, id);
        CaptureStderr();
        if (c.how == PeerEnd::close) peer.connection.reset();
        if (c.how == PeerEnd::reset) reset_connection(peer.connection);
        if (c.how == PeerEnd::bytes || c.how == PeerEnd::urgent)
            send_bytes(peer.connection.fd(), c.bytes, c.how == PeerEnd::urgent ? MSG_OOB : 0);
        const bool ended = pump_until([&] { return !ends.empty(); });
        const std::string err = GetCapturedStderr();
        ASSERT_TRUE(ended);
        EXPECT_EQ(ends, (std::vector<End>{c.end.first == LINK_ID ? End{id, c.end.second} : c.end}));
        EXPECT_THAT(err, c.diagnostic);
        EXPECT_THAT(link.last_error(), c.error);
        EXPECT_TRUE(!peer.connection || closed_silently(peer.connection.fd())) << "no ShutdownAck";
        expect_closed_for_good();
        peer.connection.reset();
        EXPECT_EQ(count_open_fds(), fds);
        ends.clear();
    }

    // On a reset TCP connection a ShutdownRequest that cannot be sent is a send error;
    // a failed data send ends the link once with reason aborted.
    void reset_then(bool shutdown, ConnId id) {
        const int fds = count_open_fds();
        SetupPeer peer;
        open_ok(TRANSPORT_TCP, peer, id, shutdown ? 32700 : 1000);
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
        EXPECT_EQ(ends, (shutdown ? std::vector<End>{} : std::vector<End>{{id, REASON_ABORTED}}));
        EXPECT_EQ(count_open_fds(), fds);
        expect_closed_for_good();  // the reset was also pending as a notification
        ends.clear();
    }
};

// A short or wrong ShutdownAck is a protocol error; none within the wait, a timeout.
TEST_F(LinkEndTest, ShortWrongOrMissingShutdownAck) {
    struct Case {
        int transport;
        Bytes ack;
        bool end_after;
        LinkStatus status;
        Matcher<const std::string&> diagnostic;
        // The receiver ends the connection, and the user halts before the notification
        // of that end is handled.
        bool closed_first = false;
    };
    const std::string short_ack = diag("[SEND]rcv error", EPROTO);
    const int fds = count_open_fds();
    for (const Case& c :
         {Case{TRANSPORT_TCP, {3}, false, LinkStatus::protocol_error, short_ack},
          Case{TRANSPORT_TCP, {3, 4}, false, LinkStatus::protocol_error, IsEmpty()},
          Case{TRANSPORT_TCP, {3, 2}, false, LinkStatus::protocol_error, IsEmpty()},
          Case{TRANSPORT_TCP, {}, true, LinkStatus::protocol_error, short_ack},
          Case{TRANSPORT_UDP, {}, false, LinkStatus::shutdown_ack_timeout, IsEmpty()},
          Case{TRANSPORT_TCP, {}, false, LinkStatus::shutdown_ack_timeout, IsEmpty()},
          Case{
              TRANSPORT_TCP, {}, false, LinkStatus::protocol_error, StartsWith("[SEND]rcv error: "), true}}) {
        SCOPED_TRACE(c.ack.size());
        SetupPeer peer;
        open_ok(c.transport, peer, 3);
        if (c.status == LinkStatus::shutdown_ack_timeout) link.set_wait(100ms);
        std::future<Bytes> played;
        if (c.closed_first) {
            peer.connection.reset();
            await_peer_action(link);
        } else {
            played = play_shutdown(peer.connection.fd(), c.ack, c.end_after);
        }
        CaptureStderr();
        EXPECT_EQ(link.link_shutdown(REASON_NORMAL), c.status);
        EXPECT_THAT(GetCapturedStderr(), c.diagnostic);
        if (played.valid()) {
            EXPECT_EQ(played.get(), (Bytes{3, 2, 1}));
        }
        EXPECT_TRUE(c.status != LinkStatus::shutdown_ack_timeout || closed_silently(peer.connection.fd()))
            << "the link closed its end";
        expect_closed_for_good();
        link.set_wait(PEER_WAIT);
    }
    EXPECT_EQ(count_open_fds(), fds);
    EXPECT_TRUE(ends.empty());
}

// Round after round, every end of a link and every failed opening, on both
// transports, with the ConnIds running through 1..10.
TEST_F(LinkEndTest, EveryEndOfManyLinksIsRightAndLeavesNoDescriptor) {
    std::uint16_t port = 0;
    const Socket unlistened = bound_loopback(SOCK_STREAM, port, false);
    TransmitterLink refused({{port, rx.ports.datagram, port}, PEER_WAIT});

    const int fds = count_open_fds();
    for (int round = 0; round < 12; ++round) {
        const auto id = static_cast<ConnId>(1 + round % 10);
        for (int transport : {TRANSPORT_UDP, TRANSPORT_TCP}) {
            SCOPED_TRACE("round " + std::to_string(round) + " transport " + std::to_string(transport));
            halt(transport, id);
            for (const ReceiverEnd& c : RECEIVER_ENDS)
                if (c.transport == transport) receiver_ends(c, id);
            if (transport == TRANSPORT_TCP) {
                reset_then(true, id);
                reset_then(false, id);
            }
            EXPECT_EQ(open(transport, {0xFF, 4, 1, 5}), LinkStatus::rejected);
            EXPECT_EQ(open(transport, {id, 9, 1, 5}), LinkStatus::protocol_error);
            link.set_wait(20ms);
            EXPECT_EQ(plain_open(link, transport), LinkStatus::setup_ack_timeout);
            link.set_wait(PEER_WAIT);
            EXPECT_EQ(plain_open(refused, transport), LinkStatus::connect_error);
            EXPECT_EQ(
                link.link_open(plain_request(transport, 100, "no-such-host.invalid"), recorder()),
                LinkStatus::host_unknown);
            EXPECT_EQ(plain_open(link, transport, 150001), LinkStatus::message_too_big);
            EXPECT_EQ(plain_open(link, transport + 2), LinkStatus::unknown_transport);
            // The name is looked up on a helper thread, whose resolver socket goes as it ends.
            EXPECT_TRUE(pump_until([&] { return count_open_fds() == fds; }));
        }
        // Connections that timed out waiting for a reply are still queued; take them.
        for (const Socket* listener : {&rx.control, &rx.stream})
            while (wait_readable(listener->fd(), 0ms) == WaitResult::ready)
                Socket(::accept(listener->fd(), nullptr, nullptr));
    }
    pump_posted();
    EXPECT_EQ(count_open_fds(), fds);
    EXPECT_TRUE(ends.empty());
}

}  // namespace
}  // namespace kelbos::test
