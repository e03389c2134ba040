// SPDX-License-Identifier: Apache-2.0
// Peers that vanish or pause, on two hosts each running a receiver and transmitters
// aimed at the other: a host gone costs its links within a minute; a program stopped
// for 90 seconds, whose host still answers, costs nothing.
#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <sstream>

#include "fault_support.h"
#include "two_hosts.h"

namespace kelbos::pairtest {
namespace {

using kelbos::testing::Host;
using kelbos::testing::start_command;
using kelbos::testing::TwoHosts;

constexpr auto DEAD_PEER_BOUND = 60s;

struct TwoReceivers {
    TwoHosts hosts;
    std::unique_ptr<ChildProcess> rx_a, rx_b;

    // Empty when both hosts and their receivers are up; else why not.
    std::string start() {
        std::string why = hosts.join(1500);
        if (why.empty()) why = hosts.set_hosts(Host::a, "127.0.0.1 localhost\n192.0.2.2 host-b\n");
        if (why.empty()) why = hosts.set_hosts(Host::b, "127.0.0.1 localhost\n192.0.2.1 host-a\n");
        if (!why.empty()) return why;
        for (auto [rx, host] : {std::pair{&rx_a, Host::a}, std::pair{&rx_b, Host::b}})
            *rx = start_command(
                hosts.command(host, receiver_binary(), {"--headless", "--json", "--time", "600"}),
                KELBOS_SCENES_DIR);
        for (auto* rx : {rx_a.get(), rx_b.get()})
            EXPECT_TRUE(rx->wait_for([&] { return !of_kind(json_events(*rx), "tick", 0).empty(); }, 20s));
        return {};
    }

    // A headless kelbostx on `host` sending to the other host's receiver.
    std::unique_ptr<ChildProcess> transmit(Host host, const Transport& t,
                                           std::vector<std::string> args = {}) {
        for (const char* word : {"--headless", "--json", "--go", "--transport", t.option, "--receiver"})
            args.push_back(word);
        args.push_back(host == Host::a ? "host-b" : "host-a");
        return start_command(hosts.command(host, transmitter_binary(), args), KELBOS_SCENES_DIR);
    }
};

// Reads what the receiver has written so far: the tests wait on one program at a time.
bool counting(ChildProcess& rx, int conn_id) {
    rx.poll_output();
    return link_counts(rx, conn_id);
}

std::uint64_t received(ChildProcess& rx, int conn_id) {
    rx.poll_output();
    const auto ends = of_kind(json_events(rx), "link_end", conn_id);
    return ends.empty() ? 0 : bytes_of(ends[0]);
}

TEST(VanishedHost, LinksToItEndWithinAMinuteOnBothEndsAndTheirConnIdsComeBack) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    TwoReceivers net;
    if (const std::string why = net.start(); !why.empty())
        GTEST_SKIP() << "needs two network namespaces: " << why;
    // Host B sends to host A over TCP and over UDP; host A sends to host B.
    const auto tcp_b = net.transmit(Host::b, TCP_LINK);
    ASSERT_TRUE(net.rx_a->wait_for([&] { return link_counts(*net.rx_a, 1); }, 20s)) << tcp_b->err();
    const auto udp_b = net.transmit(Host::b, UDP_LINK);
    const auto tcp_a = net.transmit(Host::a, TCP_LINK);
    ASSERT_TRUE(net.rx_a->wait_for([&] { return counting(*net.rx_a, 2) && counting(*net.rx_b, 1); }, 20s))
        << udp_b->err() << tcp_a->err();

    // Host B drops off the network: no FIN, no RST, nothing more from it.
    ASSERT_EQ(net.hosts.set_link(Host::b, false), "");
    const auto cut = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration rx_ended{}, tx_ended{};
    ASSERT_TRUE(net.rx_a->wait_for(
        [&] {
            const auto now = std::chrono::steady_clock::now();
            if (rx_ended == rx_ended.zero() && received(*net.rx_a, 1) && received(*net.rx_a, 2))
                rx_ended = now - cut;
            if (tx_ended == tx_ended.zero() && !tcp_a->running()) tx_ended = now - cut;
            return rx_ended != rx_ended.zero() && tx_ended != tx_ended.zero();
        },
        DEAD_PEER_BOUND + 30s));
    EXPECT_LT(rx_ended, DEAD_PEER_BOUND);
    EXPECT_LT(tx_ended, DEAD_PEER_BOUND);
    RecordProperty("receiver_ended_ms",
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(rx_ended).count()));
    RecordProperty("transmitter_ended_ms",
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(tx_ended).count()));

    // The receiver: both links failed, with their boxes; the transmitter: aborted,
    // with its box, and the exit status of a transmission that ended by itself. A
    // link's end is written before its box is shown.
    const auto box_lines = [&] { return std::count(net.rx_a->err().begin(), net.rx_a->err().end(), '\n'); };
    ASSERT_TRUE(net.rx_a->wait_for([&] { return box_lines() >= 4; }, 10s)) << net.rx_a->err();
    const auto events = json_events(*net.rx_a);
    for (int conn_id : {1, 2})
        EXPECT_EQ(events[find_event(events, "link_end", conn_id)]["reason"].toInt(), REASON_ABORTED);
    // The error is the system's: a time-out, or the failed neighbour lookup that the
    // last probes met.
    const std::set<std::string> vanished = {"Connection timed out", "No route to host"};
    std::istringstream boxes(net.rx_a->err());
    for (std::string head, error; std::getline(boxes, head) && std::getline(boxes, error);) {
        EXPECT_TRUE(head == "connection to host-b failed" || head == "connection to 192.0.2.2 failed")
            << head;
        EXPECT_TRUE(vanished.count(error)) << error;
    }
    EXPECT_EQ(box_lines(), 4) << net.rx_a->err();
    EXPECT_EQ(tcp_a->wait_exit(1s), 1);
    const std::string head = "Connection to host-b terminated\nConnection aborted\n";
    const std::string& err = tcp_a->err();
    const std::size_t box = err.find(head);
    ASSERT_NE(box, std::string::npos) << err;
    EXPECT_TRUE(vanished.count(err.substr(box + head.size(), err.size() - box - head.size() - 1))) << err;
    EXPECT_EQ(of_kind(json_events(*tcp_a), "end")[0]["how"].toString(), "aborted");

    // Once the rows are gone, ConnIds 1 and 2 are handed out again.
    ASSERT_TRUE(net.rx_a->wait_for(
        [&] {
            const auto now = json_events(*net.rx_a);
            return find_event(now, "row_removed", 1) >= 0 && find_event(now, "row_removed", 2) >= 0;
        },
        40s));
    const auto again = start_transmitter({"--time", "2", "--transport", "tcp"});
    ASSERT_EQ(again->wait_exit(30s), 0) << again->err();
    // Its first tick comes a second after the link opens, inside the two seconds.
    const auto ticks = of_kind(json_events(*again), "tick");
    ASSERT_FALSE(ticks.empty()) << again->out();
    EXPECT_EQ(ticks.back()["conn_id"].toInt(), 1);
}

TEST(PausedPeer, AProgramStoppedForNinetySecondsLosesNothing) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    TwoReceivers net;
    if (const std::string why = net.start(); !why.empty())
        GTEST_SKIP() << "needs two network namespaces: " << why;
    // Host B's transmitter will stop (its receiver hears nothing for 90 s); host B's
    // receiver will stop under host A's transmitter (whose window stays shut).
    const std::vector<std::string> run = {"--time", "100", "--delay", "5"};
    const auto tx_b = net.transmit(Host::b, TCP_LINK, run);
    const auto tx_a = net.transmit(Host::a, TCP_LINK, run);
    ASSERT_TRUE(net.rx_a->wait_for([&] { return counting(*net.rx_a, 1) && counting(*net.rx_b, 1); }, 20s));
    tx_b->send_signal(SIGSTOP);
    net.rx_b->send_signal(SIGSTOP);
    // The pause itself is what is tested: 90 s in which nobody may give up.
    const auto until = std::chrono::steady_clock::now() + 90s;
    net.rx_a->wait_for([&] { return std::chrono::steady_clock::now() >= until || !tx_a->running(); }, 100s);
    EXPECT_TRUE(tx_a->running()) << tx_a->err();
    EXPECT_EQ(find_event(json_events(*net.rx_a), "link_end", 1), -1) << net.rx_a->err();
    tx_b->send_signal(SIGCONT);
    net.rx_b->send_signal(SIGCONT);

    // Both transmissions go on and end by their halts, every byte counted.
    for (auto [tx, rx] : {std::pair{tx_b.get(), net.rx_a.get()}, std::pair{tx_a.get(), net.rx_b.get()}}) {
        const QJsonObject sent = halted_end(*tx, 60s);
        ASSERT_FALSE(sent.isEmpty());
        EXPECT_EQ(tx->err(), "");
        ASSERT_TRUE(rx->wait_for([&] { return received(*rx, 1) > 0; }, 20s)) << rx->out();
        EXPECT_EQ(bytes_of(normal_link_end(*rx, 1)), bytes_of(sent));
        EXPECT_EQ(rx->err(), "");
    }
}

}  // namespace
}  // namespace kelbos::pairtest
