// SPDX-License-Identifier: Apache-2.0
// kelbosrx and kelbostx on two hosts joined by a link shaped to 50 Mbit/s, each knowing
// the other by name only from its own hosts file.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <numeric>

#include "program_pair_support.h"
#include "protocol.h"
#include "two_hosts.h"

namespace kelbos::pairtest {
namespace {

using kelbos::testing::Host;
using kelbos::testing::start_command;
using kelbos::testing::TwoHosts;

constexpr const char* RECEIVER_HOST = "receiver-a.kelbos.test";
constexpr const char* TRANSMITTER_HOST = "sender-b.kelbos.test";
constexpr double LINK_MBITS = 50.0;

// What the two programs said about one transmission.
struct Transmission {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::string peer_name;             // the receiver's row name for the link
    std::vector<double> steady_mbits;  // the receiver's rates once the link ran at speed
};

// Sends for `seconds` from host B to host A's receiver by name; both programs' lines.
void transmit(TwoHosts& hosts, ChildProcess& rx, int seconds, int conn_id, Transmission& out) {
    const auto tx = start_command(
        hosts.command(Host::b, transmitter_binary(),
                      {"--headless", "--json", "--go", "--time", std::to_string(seconds), "--transport",
                       "tcp", "--sock-buf", "150000", "--receiver", RECEIVER_HOST}),
        KELBOS_SCENES_DIR);
    const QJsonObject end = halted_end(*tx, 60s + std::chrono::seconds(seconds));
    ASSERT_FALSE(end.isEmpty());
    EXPECT_EQ(tx->err(), "");
    const auto tx_ticks = of_kind(json_events(*tx), "tick");
    ASSERT_FALSE(tx_ticks.empty()) << tx->out();
    for (const QJsonObject& tick : tx_ticks) {
        EXPECT_EQ(tick["row"].toString(), RECEIVER_HOST);
        EXPECT_EQ(tick["conn_id"].toInt(), conn_id);
    }
    out.sent = bytes_of(end);

    const QJsonObject link_end = normal_link_end(rx, conn_id, 20s);
    ASSERT_FALSE(link_end.isEmpty());
    std::vector<QJsonObject> live_ticks;
    for (const QJsonObject& e : json_events(rx)) {
        if (e["conn_id"].toInt() != conn_id) continue;
        if (e["event"].toString() == "link_end") break;
        if (e["event"].toString() == "tick") live_ticks.push_back(e);
    }
    out.received = bytes_of(link_end);
    out.peer_name = link_end["row"].toString().toStdString();
    for (const QJsonObject& tick : live_ticks) EXPECT_EQ(tick["row"].toString().toStdString(), out.peer_name);
    // The ticks between set-up and TCP's start (first two) and the halt show the steady rate.
    for (std::size_t i = 2; i + 1 < live_ticks.size(); ++i)
        out.steady_mbits.push_back(live_ticks[i]["mbits_per_s"].toDouble());
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
    // The best average of a few steady ticks: a busy machine lowers some, a miscount all.
    constexpr std::size_t WINDOW = 3;
    ASSERT_GE(link.steady_mbits.size(), WINDOW) << rx->out();
    double best = 0;
    std::string ticks;
    for (std::size_t i = 0; i + WINDOW <= link.steady_mbits.size(); ++i)
        best = std::max(best, std::accumulate(link.steady_mbits.begin() + i,
                                              link.steady_mbits.begin() + i + WINDOW, 0.0) /
                                  WINDOW);
    for (double rate : link.steady_mbits) ticks += std::to_string(rate) + " ";
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

}  // namespace
}  // namespace kelbos::pairtest
