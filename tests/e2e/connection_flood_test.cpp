// SPDX-License-Identifier: Apache-2.0
// The real kelbosrx under a flood of connections and datagrams while real kelbostx
// links stream to it: the links keep ticking, the loop never stalls, and afterwards
// every descriptor and ConnId comes back.
#include "connection_flood.h"
#include "stall_meter.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "core/protocol.h"
#include "program_pair_support.h"

namespace kelbos::pairtest {
namespace {

using floodtest::FloodKind;
using floodtest::FloodPlan;
using floodtest::FloodReport;

// 2000 connections from seed 8, unless KELBOS_FLOOD_CONNECTIONS / KELBOS_FLOOD_SEED say otherwise.
int flood_connections() {
    const char* n = std::getenv("KELBOS_FLOOD_CONNECTIONS");
    return n && std::atoi(n) > 0 ? std::atoi(n) : 2000;
}
std::uint32_t flood_seed() {
    const char* n = std::getenv("KELBOS_FLOOD_SEED");
    return n ? static_cast<std::uint32_t>(std::strtoul(n, nullptr, 10)) : FloodPlan{}.seed;
}

bool is_live_protocol(const QJsonObject& tick) {
    return tick["protocol"].toString() == "TCP" || tick["protocol"].toString() == "UDP";
}

// The rows of each complete tick round: the lines after a TOTAL tick up to the next one.
std::vector<std::vector<QJsonObject>> ticks_by_round(const std::vector<QJsonObject>& events) {
    std::vector<std::vector<QJsonObject>> rounds;
    bool open = false;
    for (const QJsonObject& e : events) {
        if (e["event"].toString() != "tick") continue;
        if (e["conn_id"].toInt() == 0) {
            rounds.emplace_back();
            open = true;
        } else if (open) {
            rounds.back().push_back(e);
        }
    }
    if (!rounds.empty()) rounds.pop_back();  // the last round may still be coming
    return rounds;
}

// Each tick came within two seconds of the one before (beyond the machine's stall), counting more.
void expect_steady(const std::vector<QJsonObject>& ticks, int conn_id, std::int64_t machine_stall_ms) {
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        const auto gap = ticks[i]["time_ms"].toInteger() - ticks[i - 1]["time_ms"].toInteger();
        EXPECT_LT(gap, 2000 + machine_stall_ms) << "ConnId " << conn_id << " tick " << i;
        EXPECT_GT(bytes_of(ticks[i]), bytes_of(ticks[i - 1])) << "ConnId " << conn_id << " tick " << i;
    }
}

// The receiver's standard error lines for the flood: failed links and lost accepts.
const QRegularExpression FLOOD_REPORT(QRegularExpression::anchoredPattern(
    "connection to .* failed|ZERO length message received \\(EOF!\\) on socket -?[0-9]+, shutting it down|"
    "Connection reset by peer|Remote shutdown request|inted: accept: .*|"
    "kelbosrx: refused (a link|[0-9]+ more links?) from .*"));
// Its standard output's notes on stray datagrams.
const QRegularExpression STRAY_DATAGRAM_NOTE(
    QRegularExpression::anchoredPattern("more_data: entered with conn_id=-?[0-9]+\\.  Ignored\\."));

bool matches(const QRegularExpression& pattern, const std::string& line) {
    return pattern.match(QString::fromStdString(line)).hasMatch();
}

TEST(ConnectionFlood, LinksKeepStreamingAndEveryDescriptorAndConnIdComesBack) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    ASSERT_FALSE(build_dir().empty());
    kelbos::testing::StallMeter machine;
    ChildProcess rx(receiver_binary(), {"--headless", "--json"}, KELBOS_SCENES_DIR);
    JsonEventLog log(rx);
    ASSERT_TRUE(rx.wait_for([] { return tcp_listening(STREAM_PORT) && tcp_listening(CONTROL_PORT); }, 20s))
        << rx.err();
    const int idle_fds = open_fd_count(rx.pid());
    ASSERT_GT(idle_fds, 0);

    // Two live links, one per transport, paced to leave the machine room for the flood.
    std::vector<std::unique_ptr<ChildProcess>> live;
    for (const auto& [transport, conn_id] : {std::pair{"tcp", 1}, std::pair{"udp", 2}}) {
        live.push_back(start_transmitter({"--transport", transport, "--delay", "10"}));
        ASSERT_TRUE(rx.wait_for(
            [&] {
                const auto ticks = of_kind(log.events(), "tick", conn_id);
                return !ticks.empty() && bytes_of(ticks.back()) > 0;
            },
            30s))
            << transport << "\n"
            << rx.out() << live.back()->err();
    }

    // The flood runs on its own thread, a burst per receiver tick; this thread reads the
    // programs' output and counts the receiver's ticks.
    FloodPlan plan;
    plan.connections = flood_connections();
    plan.seed = flood_seed();
    plan.spared = {1, 2};
    std::atomic<int> rx_ticks{0};
    plan.between_bursts = [&rx_ticks] {
        const int seen = rx_ticks.load();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (rx_ticks.load() == seen && std::chrono::steady_clock::now() < deadline) ::poll(nullptr, 0, 5);
    };
    const auto follow = [&] {
        for (auto& tx : live) tx->poll_output();
        rx_ticks = static_cast<int>(of_kind(log.events(), "tick", 0).size());
    };
    const auto flood = floodtest::make_flood(plan);
    std::atomic<int> phase{0};
    const std::size_t before_flood = log.events().size();
    std::jthread flooder([&] {
        flood->run_bursts();
        phase = 1;
        flood->await_held();
        phase = 2;
    });
    ASSERT_TRUE(rx.wait_for(
        [&] {
            follow();
            return phase.load() >= 1;
        },
        300s));
    const std::size_t after_flood = log.events().size();

    // Both links ticked every second through the flood, counting more bytes each time.
    ASSERT_TRUE(rx.running()) << rx.err();
    const int bursts = flood->burst_count();
    for (int conn_id : {1, 2}) {
        std::vector<QJsonObject> ticks;
        int during = 0;
        for (std::size_t i = 0; i < after_flood; ++i) {
            const QJsonObject& e = log.events()[i];
            if (e["event"] != "tick" || e["conn_id"].toInt() != conn_id) continue;
            ASSERT_TRUE(is_live_protocol(e)) << "ConnId " << conn_id << " ended during the flood";
            ticks.push_back(e);
            if (i >= before_flood) ++during;
        }
        EXPECT_GE(during, bursts - 2) << "ConnId " << conn_id;
        expect_steady(ticks, conn_id, machine.max_gap_ms());
    }

    // The live links end; the receiver closes every connection the flood held open.
    for (auto& tx : live) tx->send_signal(SIGTERM);
    ASSERT_TRUE(rx.wait_for(
        [&] {
            follow();
            return phase.load() == 2;
        },
        300s));
    for (auto& tx : live) EXPECT_EQ(tx->wait_exit(30s), 0) << tx->err();
    const FloodReport& report = flood->report();
    std::printf("[flood] seed %u, %d connections in %d bursts: %s\n", plan.seed, plan.connections, bursts,
                report.describe().c_str());
    // Every connection reached the listener; every SetupRequest was answered, never with a live ConnId.
    EXPECT_EQ(report.not_connected, 0);
    EXPECT_EQ(report.connected, plan.connections - report.made[static_cast<int>(FloodKind::close_at_once)]);
    EXPECT_EQ(report.unanswered, 0);
    EXPECT_EQ(report.odd_replies, 0);
    EXPECT_EQ(report.spared_taken, 0);
    EXPECT_GT(report.refused, 0);
    EXPECT_GT(report.accepted, 0);
    EXPECT_GT(report.acknowledged, 0);
    EXPECT_EQ(report.held_left_open, 0);
    EXPECT_GE(report.held_timed_out, plan.openers);

    // No descriptor stays behind: the receiver is back to what it had before any link.
    ASSERT_TRUE(rx.wait_for([&] { return open_fd_count(rx.pid()) <= idle_fds; }, 30s))
        << open_fd_count(rx.pid()) << " descriptors after the flood, " << idle_fds << " before";

    // Once every row has gone, ten new transmitters, started one after the other, get
    // the ConnIds 1 to 10 and are linked at once in the end.
    ASSERT_TRUE(rx.wait_for(
        [&] {
            const auto rounds = ticks_by_round(log.events());
            return !rounds.empty() && rounds.back().empty();
        },
        60s))
        << "rows still shown";
    std::vector<std::unique_ptr<ChildProcess>> ten;
    std::set<int> conn_ids;
    for (int i = 0; i < 10; ++i) {
        ten.push_back(start_transmitter({"--transport", i % 2 ? "udp" : "tcp", "--delay", "20"}));
        ChildProcess& tx = *ten.back();
        int conn_id = 0;
        ASSERT_TRUE(rx.wait_for(
            [&] {
                tx.poll_output();
                const auto ticks = of_kind(json_events(tx), "tick");
                if (!ticks.empty()) conn_id = ticks.back()["conn_id"].toInt();
                return conn_id != 0 || !tx.running();
            },
            30s))
            << "transmitter " << i;
        ASSERT_TRUE(tx.running()) << tx.err();
        conn_ids.insert(conn_id);
    }
    EXPECT_EQ(conn_ids, (std::set<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_TRUE(rx.wait_for(
        [&] {
            for (const auto& round : ticks_by_round(log.events()))
                if (std::count_if(round.begin(), round.end(), is_live_protocol) == 10) return true;
            return false;
        },
        10s));
    for (auto& tx : ten) tx->send_signal(SIGTERM);
    ASSERT_TRUE(rx.wait_for(
        [&] {
            int running = 0;  // every one's output is read on each look
            for (auto& tx : ten) running += (tx->poll_output(), tx->running());
            return running == 0;
        },
        60s));
    for (auto& tx : ten) {
        EXPECT_EQ(tx->wait_exit(1s), 0) << tx->err();
        EXPECT_EQ(tx->err(), "");
    }
    ASSERT_TRUE(rx.wait_for([&] { return open_fd_count(rx.pid()) <= idle_fds; }, 30s))
        << open_fd_count(rx.pid()) << " descriptors at the end, " << idle_fds << " at the start";

    // The event loop never went a second without a turn, beyond the machine's own stall.
    const auto max_gap = stop_program(rx)["max_loop_gap_ms"].toInteger();
    std::printf("[flood] receiver's longest event-loop gap: %lld ms (this process's: %lld ms)\n",
                static_cast<long long>(max_gap), static_cast<long long>(machine.max_gap_ms()));
    EXPECT_LT(max_gap, 1000 + machine.max_gap_ms());

    // Standard error holds only the flood's reports; standard output only notes on stray datagrams.
    std::istringstream errors(rx.err());
    for (std::string line; std::getline(errors, line);)
        EXPECT_TRUE(matches(FLOOD_REPORT, line)) << line;
    for (const std::string& line : log.other_lines())
        EXPECT_TRUE(matches(STRAY_DATAGRAM_NOTE, line)) << line;
}

// One host opens 200 connections a second for 20 s against two links per host; a real
// transmitter on another address has all it sends counted, the loop never waiting 100 ms.
TEST(ConnectionFlood, AHostsFloodLeavesAnotherHostsLinkWhole) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    kelbos::testing::StallMeter machine;
    ChildProcess rx(receiver_binary(), {"--headless", "--json", "--links-per-host", "2"}, KELBOS_SCENES_DIR);
    JsonEventLog log(rx);
    ASSERT_TRUE(rx.wait_for([] { return tcp_listening(STREAM_PORT) && tcp_listening(CONTROL_PORT); }, 20s));
    auto next = std::chrono::steady_clock::now();  // the bursts keep to a rate: pacing, not synchronisation
    const auto flood = floodtest::make_flood(
        {.connections = 4000,
         .burst = 10,
         .datagrams_per_burst = 2,
         .source = "127.0.0.2",
         .between_bursts = [&next] { std::this_thread::sleep_until(next += 50ms); }});
    std::atomic<bool> flooded{false};
    std::jthread flooder([&] { flood->run_bursts(), flooded = true; });
    ASSERT_TRUE(rx.wait_for([&] { return !of_kind(log.events(), "refused").empty(); }, 20s)) << rx.err();
    const auto tx = start_transmitter({"--receiver", "127.0.0.1", "--transport", "tcp", "--delay", "1",
                                       "--msg-size", "1000", "--time", "10"});
    ASSERT_TRUE(rx.wait_for([&] { return tx->poll_output(), flooded && !tx->running(); }, 120s));
    const QJsonObject sent = halted_end(*tx, 1s);
    const std::vector<QJsonObject> ticks = of_kind(json_events(*tx), "tick");
    ASSERT_FALSE(ticks.empty()) << "the other host's link never ticked: " << tx->err();
    const int conn_id = ticks.back()["conn_id"].toInt();
    std::uint64_t counted = 0;  // by the link of the transmitter's ConnId whose row is not the flood's host
    ASSERT_TRUE(rx.wait_for(
        [&] {
            for (const QJsonObject& e : of_kind(log.events(), "link_end", conn_id))
                if (e["row"] != "127.0.0.2") counted = bytes_of(e);
            return counted > 0;
        },
        10s));
    EXPECT_EQ(counted, bytes_of(sent));  // counted in full, to the byte
    EXPECT_EQ(flood->report().not_connected + flood->report().unanswered + flood->report().odd_replies, 0);
    EXPECT_LT(stop_program(rx)["max_loop_gap_ms"].toInteger(), 100 + machine.max_gap_ms());
}

}  // namespace
}  // namespace kelbos::pairtest
