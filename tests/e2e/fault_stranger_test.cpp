// Strangers on the links of a real kelbosrx: datagrams naming a link from another
// address of the machine, and a ShutdownRequest naming one link sent on another
// link's connection. Neither may change what the first link's row says. The link's own
// datagrams are numbered, reordered and duplicated on purpose.
#include <gtest/gtest.h>

#include <csignal>

#include "fault_support.h"

namespace kelbos::pairtest {
namespace {

// A hand-made link on the real receiver: its connection after the setup exchange.
Socket open_link(const Transport& t, ConnId expected) {
    Socket link = connect_to(t.type == TRANSPORT_TCP ? STREAM_PORT : CONTROL_PORT);
    if (!link) return link;
    test::send_bytes(link.fd(), handmade_setup(t.type));
    EXPECT_EQ(test::read_bytes(link.fd(), SETUP_REPLY_LEN), accept_reply(expected)) << t.name;
    return link;
}

// The bytes of a link's latest tick.
std::uint64_t ticked_bytes(const ChildProcess& rx, int conn_id) {
    const auto ticks = of_kind(json_events(rx), "tick", conn_id);
    return ticks.empty() ? 0 : bytes_of(ticks.back());
}

TEST(Strangers, ForeignDatagramsAndRequestsForOtherLinksLeaveALinkAlone) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const auto rx = start_receiver();
    Socket udp_link = open_link(UDP_LINK, 1);
    Socket tcp_link = open_link(TCP_LINK, 2);
    ASSERT_TRUE(udp_link && tcp_link);
    Socket own = datagrams_to_receiver("127.0.0.1");
    Socket stranger = datagrams_to_receiver("127.0.0.2");
    ASSERT_TRUE(own && stranger);

    // Five datagrams naming link 1 from 127.0.0.2, then ten from the link's own host,
    // numbered out of order: 4 before 3, 5 twice, 8 missing (for now).
    const Bytes message = data_message(1, 1000);
    const auto send_numbered = [&](std::initializer_list<std::uint64_t> numbers) {
        for (std::uint64_t n : numbers) {
            Bytes numbered = message;
            write_datagram_numbers(numbered, 1000, DatagramNumbers{n, n * 1000000});
            ASSERT_EQ(::send(own.fd(), numbered.data(), numbered.size(), 0), 1000);
        }
    };
    const auto numbers_of = [](const QJsonObject& e) {
        std::vector<qint64> v;
        for (const char* f : {"datagrams", "lost", "out_of_order", "duplicates"})
            v.push_back(e[f].toInteger(-1));
        return v;
    };
    for (int i = 0; i < 5; ++i) ASSERT_EQ(::send(stranger.fd(), message.data(), message.size(), 0), 1000);
    send_numbered({0, 1, 2, 4, 3, 5, 5, 6, 7, 9});
    ASSERT_TRUE(rx->wait_for([&] { return ticked_bytes(*rx, 1) == 10000; }, 20s)) << rx->out();
    const auto first_ticks = of_kind(json_events(*rx), "tick", 1);
    EXPECT_EQ(numbers_of(first_ticks.back()), (std::vector<qint64>{10, 1, 1, 1}));
    EXPECT_GE(first_ticks.back()["jitter_ms"].toDouble(-1), 0.0);

    // On link 2's connection, a chunk that reads as a request for link 1: data of link 2.
    test::send_bytes(tcp_link.fd(), Bytes{1, MSG_SHUTDOWN_REQUEST, REASON_NORMAL});
    ASSERT_TRUE(rx->wait_for([&] { return ticked_bytes(*rx, 2) == 3; }, 20s)) << rx->out();
    EXPECT_TRUE(test::drain(udp_link.fd()) == 0 && test::drain(tcp_link.fd()) == 0) << "no acknowledgement";
    EXPECT_EQ(find_event(json_events(*rx), "link_end", 1), -1);

    // Link 1 goes on counting, and both links end by their own requests with every
    // byte of their own counted.
    // 8 comes late: out of order, and no longer lost.
    send_numbered({8, 10, 11, 12, 13, 14, 15, 16, 17, 18});
    ASSERT_TRUE(rx->wait_for([&] { return ticked_bytes(*rx, 1) == 20000; }, 20s)) << rx->out();
    for (auto [link, conn_id] : {std::pair{&udp_link, ConnId{1}}, std::pair{&tcp_link, ConnId{2}}}) {
        const ShutdownRequestBytes request = encode_shutdown_request(conn_id, REASON_NORMAL);
        test::send_bytes(link->fd(), Bytes(request.begin(), request.end()));
        EXPECT_EQ(test::read_bytes(link->fd(), SHUTDOWN_ACK_LEN), (Bytes{conn_id, MSG_SHUTDOWN_ACK}));
    }
    ASSERT_TRUE(rx->wait_for([&] { return find_event(json_events(*rx), "link_end", 2) >= 0; }, 10s));
    const auto events = json_events(*rx);
    const QJsonObject end1 = events[find_event(events, "link_end", 1)];
    const QJsonObject end2 = events[find_event(events, "link_end", 2)];
    EXPECT_EQ(end1["reason"].toInt(), REASON_NORMAL);
    EXPECT_EQ(bytes_of(end1), 20000u);
    EXPECT_EQ(numbers_of(end1), (std::vector<qint64>{20, 0, 2, 1}));
    EXPECT_EQ(end2["reason"].toInt(), REASON_NORMAL);
    EXPECT_EQ(bytes_of(end2), 3u);
    EXPECT_FALSE(end2.contains("datagrams"));

    // The stranger's datagrams left no line and no box; the exit line counts them.
    rx->send_signal(SIGTERM);
    ASSERT_EQ(rx->wait_exit(20s), 0);
    EXPECT_EQ(rx->err(), "");
    const auto exits = of_kind(json_events(*rx), "exit");
    ASSERT_EQ(exits.size(), 1u) << rx->out();
    EXPECT_EQ(exits[0]["foreign_datagrams"].toInteger(), 5);
    for (const std::string& line : rx->out_lines()) EXPECT_TRUE(line.starts_with("{")) << line;
}

}  // namespace
}  // namespace kelbos::pairtest
