// SPDX-License-Identifier: Apache-2.0
// kelbosrx and kelbostx on two hosts, each knowing the other by name only from its own
// hosts file: joined by a link shaped to 50 Mbit/s, or IPv6-only with a receiver name that
// gives a dead address before the live one. And links over ::1, and a receiver without IPv6.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <numeric>

#include "core/protocol.h"
#include "program_pair_support.h"
#include "two_hosts.h"

namespace kelbos::pairtest {
namespace {

using kelbos::testing::Host;
using kelbos::testing::start_command;
using kelbos::testing::TwoHosts;

constexpr const char* RECEIVER_HOST = "receiver-a.kelbos.test";
constexpr const char* TRANSMITTER_HOST = "sender-b.kelbos.test";
constexpr double LINK_MBITS = 50.0;

// What the two programs said about one link of a transmitter that halted.
struct Transmission {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;           // counted by the receiver: some, at most what was sent
    std::string peer_name;                // the receiver's row name for the link
    std::vector<QJsonObject> live_ticks;  // the receiver's ticks of the link before its end
};

// Both programs' lines about a halted transmitter's link, which the receiver ended normally.
void check_link(ChildProcess& tx, ChildProcess& rx, int conn_id, Transmission& out,
                std::chrono::milliseconds limit = 60s) {
    const QJsonObject end = halted_end(tx, limit);
    ASSERT_FALSE(end.isEmpty());
    out.sent = bytes_of(end);
    const QJsonObject link_end = normal_link_end(rx, conn_id, 20s);
    ASSERT_FALSE(link_end.isEmpty());
    out.received = bytes_of(link_end);
    out.peer_name = link_end["row"].toString().toStdString();
    EXPECT_GT(out.received, 0u) << tx.out() << tx.err() << rx.out();
    EXPECT_LE(out.received, out.sent);
    for (const QJsonObject& e : json_events(rx)) {
        if (e["conn_id"].toInt() != conn_id) continue;
        if (e["event"].toString() == "link_end") break;
        if (e["event"].toString() == "tick") out.live_ticks.push_back(e);
    }
    for (const QJsonObject& tick : out.live_ticks)
        EXPECT_EQ(tick["row"].toString().toStdString(), out.peer_name);
}

// Sends for `seconds` from host B to host A's receiver by name; both programs' lines.
void transmit(TwoHosts& hosts, ChildProcess& rx, int seconds, int conn_id, Transmission& out) {
    const auto tx = start_command(
        hosts.command(Host::b, transmitter_binary(),
                      {"--headless", "--json", "--go", "--time", std::to_string(seconds), "--transport",
                       "tcp", "--sock-buf", "150000", "--receiver", RECEIVER_HOST}),
        KELBOS_SCENES_DIR);
    ASSERT_NO_FATAL_FAILURE(check_link(*tx, rx, conn_id, out, 60s + std::chrono::seconds(seconds)));
    EXPECT_EQ(tx->err(), "");
    const auto tx_ticks = of_kind(json_events(*tx), "tick");
    ASSERT_FALSE(tx_ticks.empty()) << tx->out();
    for (const QJsonObject& tick : tx_ticks) {
        EXPECT_EQ(tick["row"].toString(), RECEIVER_HOST);
        EXPECT_EQ(tick["conn_id"].toInt(), conn_id);
    }
}

// A transmitter that sends one message a millisecond for `seconds`.
std::vector<std::string> paced(const std::string& transport, const std::string& receiver,
                               const std::string& seconds = "2") {
    return {"--headless", "--json",      "--go",    "--time",     seconds, "--delay",
            "1",          "--transport", transport, "--receiver", receiver};
}

TEST(TwoHosts, ShapedLinkShowsItsRateAndTheTransmittersHostName) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    ASSERT_FALSE(build_dir().empty());
    TwoHosts hosts;
    // Frames of 9000 bytes: headers take under 1% of what the shaper counts.
    std::string why = hosts.join(9000);
    if (why.empty()) why = hosts.shape("50mbit");
    if (why.empty())
        why = hosts.set_hosts(Host::a, std::string("127.0.0.1 localhost\n") + TwoHosts::ADDRESS_B + " " +
                                           TRANSMITTER_HOST + " sender-b\n");
    if (why.empty())
        why = hosts.set_hosts(
            Host::b, std::string("127.0.0.1 localhost\n") + TwoHosts::ADDRESS_A + " " + RECEIVER_HOST + "\n");
    if (!why.empty())
        GTEST_SKIP() << "needs two network namespaces joined by a shaped veth pair (root): " << why;

    const auto rx =
        start_command(hosts.command(Host::a, receiver_binary(), {"--headless", "--json", "--time", "300"}),
                      KELBOS_SCENES_DIR);
    ASSERT_TRUE(rx->wait_for([] { return tcp_listening(STREAM_PORT); }, 20s)) << rx->err();

    Transmission link;
    ASSERT_NO_FATAL_FAILURE(transmit(hosts, *rx, 12, 1, link));
    // The ticks between set-up and TCP's start (first two) and the halt show the steady rate.
    std::vector<double> steady_mbits;
    for (std::size_t i = 2; i + 1 < link.live_ticks.size(); ++i)
        steady_mbits.push_back(link.live_ticks[i]["mbits_per_s"].toDouble());
    // The best average of a few steady ticks: a busy machine lowers some, a miscount all.
    constexpr std::size_t WINDOW = 3;
    ASSERT_GE(steady_mbits.size(), WINDOW) << rx->out();
    double best = 0;
    std::string ticks;
    for (std::size_t i = 0; i + WINDOW <= steady_mbits.size(); ++i)
        best = std::max(
            best, std::accumulate(steady_mbits.begin() + i, steady_mbits.begin() + i + WINDOW, 0.0) / WINDOW);
    for (double rate : steady_mbits) ticks += std::to_string(rate) + " ";
    EXPECT_NEAR(best, LINK_MBITS, LINK_MBITS * 0.05) << "steady ticks: " << ticks;
    RecordProperty("steady_mbits_per_s", std::to_string(best));
    // Every byte arrives and is counted.
    EXPECT_EQ(link.received, link.sent);

    // A reverse lookup slower than 10 ms leaves the address as name: short links more
    // until one is named in time.
    std::vector<std::string> names{link.peer_name};
    for (int conn_id = 2; names.back() != TRANSMITTER_HOST && conn_id <= 6; ++conn_id) {
        Transmission again;
        ASSERT_NO_FATAL_FAILURE(transmit(hosts, *rx, 2, conn_id, again));
        names.push_back(again.peer_name);
    }
    std::string all;
    for (const std::string& name : names) {
        EXPECT_TRUE(name == TRANSMITTER_HOST || name == TwoHosts::ADDRESS_B) << name;
        all += name + " ";
    }
    EXPECT_EQ(names.back(), TRANSMITTER_HOST) << "names given, link by link: " << all;
    RecordProperty("links_named_by_address", static_cast<int>(names.size()) - 1);

    rx->send_signal(SIGTERM);
    EXPECT_EQ(rx->wait_exit(20s), 0);
    EXPECT_EQ(rx->err(), "");
}

// Host B sends UDP from a second address by a rule of its own: a transmitter's datagrams
// leave from its control connection's address (or --bind's) and count for its link.
TEST(TwoHosts, DatagramsLeaveFromTheAddressOfTheControlConnection) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    TwoHosts hosts;
    const std::string second = "192.0.2.3", b = hosts.end(Host::b);
    std::string why = hosts.join(1500);
    for (Host host : {Host::a, Host::b})
        why += why.empty() ? hosts.set_hosts(host, "127.0.0.1 localhost\n") : "";
    if (why.empty())
        why = hosts.run_on(Host::b, {"sh", "-c",
                                     "ip addr add " + second + "/24 dev " + b + " && ip route add " +
                                         TwoHosts::ADDRESS_A + "/32 dev " + b + " src " + second +
                                         " table 100 && ip rule add ipproto udp table 100"});
    if (!why.empty()) GTEST_SKIP() << "needs two network namespaces joined by a veth pair (root): " << why;
    const auto rx =
        start_command(hosts.command(Host::a, receiver_binary(), {"--headless", "--json", "--time", "120"}),
                      KELBOS_SCENES_DIR);
    ASSERT_TRUE(rx->wait_for([] { return tcp_listening(CONTROL_PORT); }, 20s)) << rx->err();
    for (const auto& [conn_id, bind] : {std::pair{1, std::string()}, {2, second}}) {
        std::vector<std::string> args = paced("udp", TwoHosts::ADDRESS_A);
        if (!bind.empty()) args.insert(args.end(), {"--bind", bind});
        const auto tx = start_command(hosts.command(Host::b, transmitter_binary(), args), KELBOS_SCENES_DIR);
        Transmission link;
        ASSERT_NO_FATAL_FAILURE(check_link(*tx, *rx, conn_id, link));
        EXPECT_EQ(link.peer_name, bind.empty() ? TwoHosts::ADDRESS_B : second);
        EXPECT_GT(link.received, link.sent / 2);
    }
    EXPECT_EQ(stop_program(*rx, 20s)["foreign_datagrams"].toInteger(-1), 0);
}

TEST(Ipv6, LinksOverLoopbackAndAReceiverWhereIpv6IsOff) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    {
        ChildProcess rx(receiver_binary(), {"--headless", "--json", "--time", "60"}, KELBOS_SCENES_DIR);
        ASSERT_TRUE(
            rx.wait_for([] { return tcp_listening(STREAM_PORT) && tcp_listening(CONTROL_PORT); }, 20s));
        // A literal address, bare and in brackets; UDP data from ::1 counts for its link.
        Transmission tcp, udp;
        ChildProcess tx_tcp(transmitter_binary(), paced("tcp", "::1"), KELBOS_SCENES_DIR);
        ASSERT_NO_FATAL_FAILURE(check_link(tx_tcp, rx, 1, tcp));
        EXPECT_EQ(tcp.received, tcp.sent);
        ChildProcess tx_udp(transmitter_binary(), paced("udp", "[::1]"), KELBOS_SCENES_DIR);
        ASSERT_NO_FATAL_FAILURE(check_link(tx_udp, rx, 2, udp));
        EXPECT_GT(udp.received, udp.sent / 2);
        for (const std::string& row : {tcp.peer_name, udp.peer_name})
            EXPECT_TRUE(row == "::1" || row == "localhost" || row.starts_with("ip6-")) << row;
        EXPECT_EQ(rx.err(), "");
    }

    // A network where IPv6 is switched off: the receiver serves IPv4 without a word.
    ASSERT_EQ(kelbos::testing::enter_private_network(), "");
    std::ofstream("/proc/sys/net/ipv6/conf/all/disable_ipv6") << "1\n";
    std::ofstream("/proc/sys/net/ipv6/conf/lo/disable_ipv6") << "1\n";
    std::string off;
    std::ifstream("/proc/sys/net/ipv6/conf/lo/disable_ipv6") >> off;
    ASSERT_EQ(off, "1");
    ChildProcess rx(receiver_binary(), {"--headless", "--json", "--time", "60"}, KELBOS_SCENES_DIR);
    ASSERT_TRUE(rx.wait_for([] { return tcp_listening(STREAM_PORT); }, 20s)) << rx.err();
    for (const auto& [transport, conn_id] : {std::pair{"udp", 1}, std::pair{"tcp", 2}}) {
        ChildProcess tx(transmitter_binary(), paced(transport, "localhost"), KELBOS_SCENES_DIR);
        Transmission link;
        ASSERT_NO_FATAL_FAILURE(check_link(tx, rx, conn_id, link));
        EXPECT_EQ(link.peer_name, "localhost");
    }
    EXPECT_EQ(rx.err(), "");
}

TEST(Ipv6, HostsWithIpv6OnlyAndANameWhoseFirstAddressDoesNotAnswer) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    constexpr const char* NOBODY = "2001:db8::3";  // on the pair's network, held by no host
    TwoHosts hosts;
    std::string why = hosts.join(1500, true);
    if (why.empty())
        why = hosts.set_hosts(Host::a, std::string(TwoHosts::ADDRESS6_B) + " " + TRANSMITTER_HOST + "\n");
    // The resolver puts the address that shares the longer prefix with the sender's
    // first: the one nobody holds.
    if (why.empty())
        why = hosts.set_hosts(Host::b, std::string(NOBODY) + " " + RECEIVER_HOST + "\n" +
                                           TwoHosts::ADDRESS6_A + " " + RECEIVER_HOST + "\n");
    if (!why.empty()) GTEST_SKIP() << "needs two network namespaces joined by a veth pair (root): " << why;

    const auto rx =
        start_command(hosts.command(Host::a, receiver_binary(), {"--headless", "--json", "--time", "120"}),
                      KELBOS_SCENES_DIR);
    ASSERT_TRUE(rx->wait_for([] { return tcp_listening(CONTROL_PORT); }, 20s)) << rx->err();
    // Its time runs while the first address is tried.
    const auto tx = start_command(
        hosts.command(Host::b, transmitter_binary(), paced("udp", RECEIVER_HOST, "7")), KELBOS_SCENES_DIR);
    Transmission link;
    ASSERT_NO_FATAL_FAILURE(check_link(*tx, *rx, 1, link));
    EXPECT_GT(link.received, link.sent / 2);
    EXPECT_TRUE(link.peer_name == TRANSMITTER_HOST || link.peer_name == TwoHosts::ADDRESS6_B)
        << link.peer_name;

    // The transmitter asked the network for the address nobody holds before it got
    // through: the sender's host has a neighbour entry for it.
    const auto neighbours = start_command(hosts.command(Host::b, "ip", {"-6", "neigh", "show", NOBODY}));
    ASSERT_EQ(neighbours->wait_exit(10s), 0) << neighbours->err();
    EXPECT_NE(neighbours->out().find(NOBODY), std::string::npos) << neighbours->out();
}

}  // namespace
}  // namespace kelbos::pairtest
