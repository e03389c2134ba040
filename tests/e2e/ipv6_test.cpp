// SPDX-License-Identifier: Apache-2.0
// The real programs over IPv6: links over ::1, a receiver without IPv6, and IPv6-only
// hosts whose receiver name gives a dead address before the live one.
#include <gtest/gtest.h>

#include <fstream>

#include "program_pair_support.h"
#include "protocol.h"
#include "two_hosts.h"

namespace kelbos::pairtest {
namespace {

using kelbos::testing::Host;
using kelbos::testing::start_command;
using kelbos::testing::TwoHosts;

// The receiver's row name and bytes for a finished transmitter's link (which sent at least those).
struct Received {
    std::string row;
    std::uint64_t bytes = 0;
    std::uint64_t sent = 0;
};

void check_link(ChildProcess& tx, ChildProcess& rx, int conn_id, Received& out) {
    const QJsonObject sent = halted_end(tx);
    ASSERT_FALSE(sent.isEmpty());
    out.sent = bytes_of(sent);
    const QJsonObject end = normal_link_end(rx, conn_id);
    ASSERT_FALSE(end.isEmpty());
    out.row = end["row"].toString().toStdString();
    out.bytes = bytes_of(end);
    EXPECT_GT(out.bytes, 0u) << tx.out() << tx.err() << rx.out();
    EXPECT_LE(out.bytes, out.sent);
}

// A transmitter that sends one message a millisecond for `seconds`.
std::vector<std::string> paced(const std::string& transport, const std::string& receiver,
                               const std::string& seconds = "2") {
    return {"--headless", "--json",      "--go",    "--time",     seconds, "--delay",
            "1",          "--transport", transport, "--receiver", receiver};
}

TEST(Ipv6, LinksOverLoopbackAndAReceiverWhereIpv6IsOff) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    {
        ChildProcess rx(receiver_binary(), {"--headless", "--json", "--time", "60"}, KELBOS_SCENES_DIR);
        ASSERT_TRUE(
            rx.wait_for([] { return tcp_listening(STREAM_PORT) && tcp_listening(CONTROL_PORT); }, 20s));
        // A literal address, bare and in brackets; UDP data from ::1 counts for its link.
        Received tcp, udp;
        ChildProcess tx_tcp(transmitter_binary(), paced("tcp", "::1"), KELBOS_SCENES_DIR);
        ASSERT_NO_FATAL_FAILURE(check_link(tx_tcp, rx, 1, tcp));
        EXPECT_EQ(tcp.bytes, tcp.sent);
        ChildProcess tx_udp(transmitter_binary(), paced("udp", "[::1]"), KELBOS_SCENES_DIR);
        ASSERT_NO_FATAL_FAILURE(check_link(tx_udp, rx, 2, udp));
        EXPECT_GT(udp.bytes, udp.sent / 2);
        for (const std::string& row : {tcp.row, udp.row})
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
        Received link;
        ASSERT_NO_FATAL_FAILURE(check_link(tx, rx, conn_id, link));
        EXPECT_EQ(link.row, "localhost");
    }
    EXPECT_EQ(rx.err(), "");
}

TEST(Ipv6, HostsWithIpv6OnlyAndANameWhoseFirstAddressDoesNotAnswer) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    constexpr const char* RECEIVER_HOST = "receiver-a.kelbos.test";
    constexpr const char* SENDER_HOST = "sender-b.kelbos.test";
    constexpr const char* NOBODY = "2001:db8::3";  // on the pair's network, held by no host
    TwoHosts hosts;
    std::string why = hosts.join(1500, true);
    if (why.empty())
        why = hosts.set_hosts(Host::a, std::string(TwoHosts::ADDRESS6_B) + " " + SENDER_HOST + "\n");
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
    Received link;
    ASSERT_NO_FATAL_FAILURE(check_link(*tx, *rx, 1, link));
    EXPECT_GT(link.bytes, link.sent / 2);
    EXPECT_TRUE(link.row == SENDER_HOST || link.row == TwoHosts::ADDRESS6_B) << link.row;

    // The transmitter asked the network for the address nobody holds before it got
    // through: the sender's host has a neighbour entry for it.
    const auto neighbours = start_command(hosts.command(Host::b, "ip", {"-6", "neigh", "show", NOBODY}));
    ASSERT_EQ(neighbours->wait_exit(10s), 0) << neighbours->err();
    EXPECT_NE(neighbours->out().find(NOBODY), std::string::npos) << neighbours->out();
}

}  // namespace
}  // namespace kelbos::pairtest
