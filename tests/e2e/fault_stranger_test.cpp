// SPDX-License-Identifier: Apache-2.0
// Strangers on a real kelbosrx's links (a host not allowed, stray datagrams, a
// ShutdownRequest on another link's connection) change no row; reordered and duplicated
// datagrams are counted so; a host's share of links, and idle links ended.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "fault_support.h"

namespace kelbos::pairtest {
namespace {

// The receiver's refused lines as "peer reason".
std::vector<std::string> refusals(const ChildProcess& rx) {
    std::vector<std::string> out;
    for (const QJsonObject& e : of_kind(json_events(rx), "refused"))
        out.push_back((e["peer"].toString() + " " + e["reason"].toString()).toStdString());
    return out;
}

// The bytes of a link's latest tick.
std::uint64_t ticked_bytes(const ChildProcess& rx, int conn_id) {
    const auto ticks = of_kind(json_events(rx), "tick", conn_id);
    return ticks.empty() ? 0 : bytes_of(ticks.back());
}

TEST(Strangers, ForeignDatagramsAndRequestsForOtherLinksLeaveALinkAlone) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const auto rx = start_receiver({"--allow", "127.0.0.1"});
    // A host not allowed is closed without a reply; the next link still gets ConnId 1.
    Socket outsider = connect_to(STREAM_PORT, "127.0.0.2");
    ASSERT_TRUE(outsider);
    EXPECT_EQ(test::read_bytes(outsider.fd(), SETUP_REPLY_LEN), Bytes{});
    // A hundred more within ten seconds: each a JSON line, but no more journal lines. At
    // most four wait at once: beyond the listen queue's six, the system would let them
    // in only as it sends its answers again, seconds later.
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(connect_to(STREAM_PORT, "127.0.0.2"));
        ASSERT_TRUE(rx->wait_for([&] { return static_cast<int>(refusals(*rx).size()) >= i - 2; }, 5s));
    }
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
        return std::vector<qint64>{e["datagrams"].toInteger(-1), e["lost"].toInteger(-1),
                                   e["out_of_order"].toInteger(-1), e["duplicates"].toInteger(-1)};
    };
    for (int i = 0; i < 5; ++i) ASSERT_EQ(::send(stranger.fd(), message.data(), message.size(), 0), 1000);
    send_numbered({0, 1, 2, 4, 3, 5, 5, 6, 7, 9});
    ASSERT_TRUE(rx->wait_for([&] { return ticked_bytes(*rx, 1) == 10000; }, 20s)) << rx->out();
    const QJsonObject tick = of_kind(json_events(*rx), "tick", 1).back();
    EXPECT_EQ(numbers_of(tick), (std::vector<qint64>{10, 1, 1, 1}));
    EXPECT_GE(tick["jitter_ms"].toDouble(-1), 0.0);

    // On link 2's connection, a chunk that reads as a request for link 1: data of link 2.
    test::send_bytes(tcp_link.fd(), Bytes{1, MSG_SHUTDOWN_REQUEST, REASON_NORMAL});
    ASSERT_TRUE(rx->wait_for([&] { return ticked_bytes(*rx, 2) == 3; }, 20s)) << rx->out();
    EXPECT_TRUE(test::drain(udp_link.fd()) == 0 && test::drain(tcp_link.fd()) == 0) << "no acknowledgement";
    EXPECT_EQ(find_event(json_events(*rx), "link_end", 1), -1);

    // Link 1 goes on counting (8 comes late: out of order, no longer lost), and both
    // links end by their own requests with every byte of their own counted.
    send_numbered({8, 10, 11, 12, 13, 14, 15, 16, 17, 18});
    ASSERT_TRUE(rx->wait_for([&] { return ticked_bytes(*rx, 1) == 20000; }, 20s)) << rx->out();
    for (auto [link, conn_id] : {std::pair{&udp_link, ConnId{1}}, std::pair{&tcp_link, ConnId{2}}}) {
        const ShutdownRequestBytes request = encode_shutdown_request(conn_id, REASON_NORMAL);
        test::send_bytes(link->fd(), Bytes(request.begin(), request.end()));
        EXPECT_EQ(test::read_bytes(link->fd(), SHUTDOWN_ACK_LEN), (Bytes{conn_id, MSG_SHUTDOWN_ACK}));
    }
    ASSERT_TRUE(rx->wait_for([&] { return find_event(json_events(*rx), "link_end", 2) >= 0; }, 10s));

    // Seven datagrams from link 1's own host after its end count for nothing: a new
    // link's datagram, sent after them, is all that TOTAL gains.
    for (int i = 0; i < 7; ++i) ASSERT_EQ(::send(own.fd(), message.data(), message.size(), 0), 1000);
    Socket again = open_link(UDP_LINK, 3);
    ASSERT_EQ(::send(own.fd(), data_message(3, 1000).data(), 1000, 0), 1000);
    ASSERT_TRUE(rx->wait_for([&] { return ticked_bytes(*rx, 3) == 1000; }, 20s)) << rx->out();
    EXPECT_TRUE(rx->wait_for([&] { return ticked_bytes(*rx, 0) == 21003; }, 5s)) << ticked_bytes(*rx, 0);
    EXPECT_TRUE(rx->wait_for(
        [&] { return refusals(*rx) == std::vector<std::string>(101, "127.0.0.2 not allowed"); }, 5s));
    const auto events = json_events(*rx);
    const QJsonObject end1 = events[find_event(events, "link_end", 1)];
    const QJsonObject end2 = events[find_event(events, "link_end", 2)];
    EXPECT_EQ(end1["reason"].toInt(), REASON_NORMAL);
    EXPECT_EQ(bytes_of(end1), 20000u);
    EXPECT_EQ(numbers_of(end1), (std::vector<qint64>{20, 0, 2, 1}));
    EXPECT_EQ(end2["reason"].toInt(), REASON_NORMAL);
    EXPECT_EQ(bytes_of(end2), 3u);
    EXPECT_FALSE(end2.contains("datagrams"));

    // The stranger's datagrams left no line and no box; the exit line counts them. The
    // refusals left one journal line (and their count, once ten seconds had passed).
    EXPECT_EQ(stop_program(*rx, 20s)["foreign_datagrams"].toInteger(), 12);
    EXPECT_TRUE(rx->err().starts_with("kelbosrx: refused a link from 127.0.0.2: not allowed\n")) << rx->err();
    EXPECT_LE(std::count(rx->err().begin(), rx->err().end(), '\n'), 2) << rx->err();
    for (const std::string& line : rx->out_lines()) EXPECT_TRUE(line.starts_with("{")) << line;
}

TEST(Strangers, AHostGetsItsShareOfLinksAndASilentLinkEndsWhileAPacedOneStays) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const auto rx = start_receiver({"--links-per-host", "2", "--idle-timeout", "3"});
    const auto paced = start_transmitter({"--receiver", "127.0.0.1", "--transport", "udp", "--delay", "500"});
    ASSERT_TRUE(rx->wait_for([&] { return link_counts(*rx, 1); }, 20s)) << rx->out() << paced->err();
    const auto silent_since = std::chrono::steady_clock::now();
    Socket silent = open_link(TCP_LINK, 2);
    // The host's third link is refused as an eleventh would be; another host's is not.
    Socket third = open_link(TCP_LINK, CONN_NONE_FREE);
    Socket other = open_link(UDP_LINK, 3, "127.0.0.2");
    const std::vector<std::string> refused{"127.0.0.1 host limit"};
    EXPECT_TRUE(rx->wait_for([&] { return refusals(*rx) == refused; }, 5s));

    // The silent links end as failed links after three seconds without data (the system
    // keeps time in steps of a few milliseconds); the paced link, a datagram every half
    // second, stays. The host is admitted again, its new link taking over the stopped row.
    ASSERT_TRUE(rx->wait_for([&] { return find_event(json_events(*rx), "link_end", 2) >= 0; }, 6s));
    EXPECT_GE(std::chrono::steady_clock::now() - silent_since, 2900ms);
    // The box names the link as its row does: a loopback name, or the address when the
    // name is slow to come on a busy machine.
    const QJsonObject ended = json_events(*rx).at(find_event(json_events(*rx), "link_end", 2));
    EXPECT_TRUE(names_loopback(ended["row"].toString()));
    const std::string box = "connection to " + ended["row"].toString().toStdString() +
                            " failed\nLink idle: no data for 3 seconds\n";
    const std::string journal = "kelbosrx: refused a link from 127.0.0.1: host limit\n";
    EXPECT_TRUE(rx->wait_for([&] { return rx->err().starts_with(journal + box); }, 2s)) << rx->err();
    Socket back = open_link(TCP_LINK, 2);
    ASSERT_TRUE(rx->wait_for([&] { return find_event(json_events(*rx), "link_end", 3) >= 0; }, 6s));
    EXPECT_TRUE(link_counts(*rx, 1) && paced->running());
    EXPECT_EQ(find_event(json_events(*rx), "link_end", 1), -1);

    // The addresses of one IPv6 /64 are one host: its third link is refused, while a
    // link from another /64 is admitted (ConnId 3 is still held by its stopped row).
    ASSERT_EQ(
        std::system("for a in 1::1 1::2 1::3 2::1; do ip addr add fd00:0:0:$a dev lo nodad || exit 1; done"),
        0);
    std::vector<Socket> v6;
    for (const auto& [from, id] : {std::pair{"fd00:0:0:1::1", ConnId{4}},
                                   {"fd00:0:0:1::2", ConnId{5}},
                                   {"fd00:0:0:1::3", CONN_NONE_FREE},
                                   {"fd00:0:0:2::1", ConnId{6}}})
        v6.push_back(open_link(TCP_LINK, id, from));
    EXPECT_TRUE(rx->wait_for([&] { return refusals(*rx).back() == "fd00:0:0:1::3 host limit"; }, 5s));
}

}  // namespace
}  // namespace kelbos::pairtest
