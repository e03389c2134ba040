// SPDX-License-Identifier: Apache-2.0
// A link aimed at a scripted receiver, with the ends it reports recorded.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QMetaObject>
#include <QSocketNotifier>
#include <utility>
#include <vector>

#include "link_peer.h"
#include "net/sockets.h"
#include "scripted_receiver.h"
#include "transmitter/link/link.h"

namespace kelbos::test {

inline const std::string OWN_HOST = "txhost";
inline const std::string COLOUR = "#800000";
inline constexpr std::uint32_t KELBO_BYTES = 2500000;  // 20000000 bits

// A request for the loopback receiver (or `host`): no network, kelbo size 1, no buffer
// setting.
inline OpenRequest plain_request(int transport, std::uint32_t message_length = 100,
                                 const std::string& host = "127.0.0.1") {
    return {.transport = transport,
            .own_host = OWN_HOST,
            .receiver_host = host,
            .colour_text = COLOUR,
            .message_length = message_length,
            .kelbo_bytes = 1};
}

// True while the link asks for any notification.
inline bool notifying(const TransmitterLink& link) {
    const auto* notifier = link.findChild<QSocketNotifier*>();
    return notifier && notifier->isEnabled();
}

// True when the link asks to hear of readability of its control connection.
inline bool notifying_on_control(const TransmitterLink& link) {
    const auto* notifier = link.findChild<QSocketNotifier*>();
    return notifying(link) && notifier->type() == QSocketNotifier::Read &&
           notifier->socket() == TransmitterLinkPeer::control_fd(link);
}

// A notification that arrives after the link has closed: a queued call of
// link_event, and a direct one.
inline void late_notification(TransmitterLink& link) {
    EXPECT_FALSE(notifying(link)) << "a closed link asks for no notification";
    QMetaObject::invokeMethod(
        &link, [&link] { link.link_event(); }, Qt::QueuedConnection);
    pump_posted();
    link.link_event();
}

// The next datagram on the receiver's datagram socket; empty if none comes within PEER_WAIT.
inline Bytes next_datagram(const ScriptedReceiver& rx) {
    Bytes got(65536);
    const ssize_t n = wait_readable(rx.datagram.fd(), PEER_WAIT) == WaitResult::ready
                          ? ::recv(rx.datagram.fd(), got.data(), got.size(), 0)
                          : 0;
    got.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    return got;
}

class LinkTest : public ::testing::Test {
protected:
    LinkTest() = default;
    LinkTest(SendPath path, FileSendCall call) : link(LinkOptions{rx.ports, PEER_WAIT, path, call}) {}

    using End = std::pair<int, int>;  // ConnId, reason

    EndCallback recorder() {
        return [this](ConnId conn_id, int reason) { ends.emplace_back(conn_id, reason); };
    }

    LinkStatus open(int transport, Bytes reply, SetupPeer* peer = nullptr,
                    std::uint32_t message_length = 32700, std::uint32_t buffer_setting = 65535) {
        auto played = play_setup(rx.listener(transport), std::move(reply));
        const LinkStatus status = link.link_open({transport, NETWORK_ETHERNET, OWN_HOST, "127.0.0.1", COLOUR,
                                                  message_length, KELBO_BYTES, buffer_setting},
                                                 recorder());
        SetupPeer played_peer = played.get();
        if (peer) *peer = std::move(played_peer);
        return status;
    }

    // link_open of `l` at the loopback receiver, no network, kelbo size 1, no buffer
    // setting.
    LinkStatus plain_open(TransmitterLink& l, int transport, std::uint32_t message_length = 100) {
        return l.link_open(plain_request(transport, message_length), recorder());
    }

    // An open link with the given ConnId; the peer's connection in `peer`.
    void open_ok(int transport, SetupPeer& peer, ConnId conn_id = 3, std::uint32_t message_length = 32700,
                 std::uint32_t buffer_setting = 65535) {
        ASSERT_EQ(open(transport, {conn_id, 1, 1, 5}, &peer, message_length, buffer_setting), LinkStatus::ok);
        ASSERT_TRUE(TransmitterLinkPeer::is_open(link));
        ASSERT_TRUE(notifying_on_control(link));
        ASSERT_TRUE(peer.connection);
    }

    // The link is closed, and a notification arriving late reports nothing more.
    void expect_closed_for_good() {
        EXPECT_FALSE(TransmitterLinkPeer::is_open(link));
        EXPECT_EQ(link.data_fd(), -1);
        const std::size_t reported = ends.size();
        late_notification(link);
        EXPECT_EQ(ends.size(), reported);
    }

    ScriptedReceiver rx;
    TransmitterLink link{LinkOptions{rx.ports, PEER_WAIT}};
    std::vector<End> ends;
};

}  // namespace kelbos::test
