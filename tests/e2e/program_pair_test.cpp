// SPDX-License-Identifier: Apache-2.0
// The real programs over loopback, headless with JSON lines: transmissions over TCP and
// UDP, also while the receiver is held, a receiver without a scene refusing links, one
// that cannot open its endpoints, bad values on both command lines, and the
// demonstration script.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <tuple>

#include "core/protocol.h"
#include "net/resolve.h"
#include "net/sockets.h"
#include "program_pair_support.h"
#include "two_hosts.h"

namespace kelbos::pairtest {
namespace {

using kelbos::testing::find_program;

// What both programs said about one transmission.
struct Transmission {
    std::uint64_t sent = 0;      // the transmitter's end event
    std::uint64_t received = 0;  // the receiver's link_end event
};

// One headless transmitter sending for three seconds with `options` (its kelbos of
// `kelbo_bits`); checks both programs' lines.
void transmit(ChildProcess& rx, std::vector<std::string> options, int conn_id, const QString& protocol,
              std::int64_t kelbo_bits, Transmission& outcome) {
    options.insert(options.begin(), {"--headless", "--json", "--go", "--time", "3"});
    ChildProcess tx(transmitter_binary(), options, KELBOS_SCENES_DIR);
    ASSERT_TRUE(tx.started());
    const QJsonObject end = halted_end(tx);
    ASSERT_FALSE(end.isEmpty());
    EXPECT_EQ(tx.err(), "");

    // The transmitter's row ticked with the link's ConnId and its byte count grew; the
    // end of the transmission came last but the program's exit line.
    const std::vector<QJsonObject> events = json_events(tx);
    const std::vector<QJsonObject> ticks = of_kind(events, "tick");
    ASSERT_GE(ticks.size(), 2u) << tx.out();
    EXPECT_GE(ticks[0]["time_ms"].toInteger(), 900);
    // The transmission's seconds: from its Go, a second before the first tick, to its end.
    const double ms = end["seconds"].toDouble() * 1000;
    EXPECT_LE(ms, end["time_ms"].toDouble());
    EXPECT_GE(ms, end["time_ms"].toDouble() - ticks[0]["time_ms"].toDouble() + 900);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[events.size() - 2]["event"].toString(), "end");
    EXPECT_EQ(events.back()["event"].toString(), "exit");
    EXPECT_GE(events.back()["first_frame_ms"].toInteger(-1), 0);
    EXPECT_GT(events.back()["peak_rss_kb"].toInteger(), 0);
    std::uint64_t previous = 0;
    for (const QJsonObject& tick : ticks) {
        EXPECT_EQ(tick["row"].toString(), "localhost");
        EXPECT_EQ(tick["conn_id"].toInt(), conn_id);
        EXPECT_EQ(tick["protocol"].toString(), protocol);
        EXPECT_EQ(tick["kelbo_bits"].toInteger(), kelbo_bits);
        EXPECT_GT(bytes_of(tick), previous);
        EXPECT_GT(tick["mbits_per_s"].toDouble(), 0.0);
        // A TCP link's path figures (no retransmission on loopback); a UDP link has none.
        for (const char* field : {"rtt_ms", "retransmits", "cwnd_bytes"})
            EXPECT_EQ(tick.contains(field), protocol == "TCP") << field;
        // A UDP link counts its datagrams, on each tick and at the end.
        for (const QJsonObject& e : {tick, end})
            EXPECT_EQ(e["datagrams"].toInteger(0) * 32700, protocol == "UDP" ? e["bytes"].toInteger() : 0);
        if (protocol == "TCP") {
            EXPECT_GT(tick["rtt_ms"].toDouble(), 0.0);
            EXPECT_EQ(tick["retransmits"].toInt(-1), 0);
            EXPECT_GT(tick["cwnd_bytes"].toInteger(), 0);
        }
        previous = bytes_of(tick);
    }
    EXPECT_GE(bytes_of(end), previous);
    outcome.sent = bytes_of(end);

    // The receiver's row for the link ticked with the transport's text until the link ended.
    ASSERT_FALSE(normal_link_end(rx, conn_id).isEmpty());
    std::vector<QJsonObject> live_ticks, link_ends;
    for (const QJsonObject& e : json_events(rx)) {
        if (e["conn_id"].toInt() != conn_id) continue;
        if (e["event"].toString() == "link_end") link_ends.push_back(e);
        if (e["event"].toString() == "tick" && link_ends.empty()) live_ticks.push_back(e);
    }
    ASSERT_EQ(link_ends.size(), 1u);
    outcome.received = bytes_of(link_ends[0]);
    ASSERT_FALSE(live_ticks.empty()) << rx.out();
    for (const QJsonObject& tick : live_ticks) {
        EXPECT_EQ(tick["protocol"].toString(), protocol);
        EXPECT_EQ(tick["row"].toString(), link_ends[0]["row"].toString());
        EXPECT_EQ(tick["kelbo_bits"].toInteger(), kelbo_bits);
        // The receiver's own estimate of a TCP link's round trip.
        EXPECT_EQ(tick.contains("rtt_ms"), protocol == "TCP");
        if (protocol == "TCP") {
            EXPECT_GT(tick["rtt_ms"].toDouble(), 0.0);
        }
    }
    EXPECT_FALSE(link_ends[0]["row"].toString().isEmpty());
    // Datagrams without numbers: no loss figures.
    for (const char* field : {"datagrams", "lost", "out_of_order", "duplicates", "jitter_ms"})
        EXPECT_FALSE(link_ends[0].contains(field) || live_ticks.back().contains(field)) << field;
    EXPECT_GT(bytes_of(live_ticks.back()), 0u);
    EXPECT_LE(bytes_of(live_ticks.back()), outcome.received);
    // Then its row ticks as stopped.
    EXPECT_TRUE(rx.wait_for(
        [&] {
            const auto row = of_kind(json_events(rx), "tick", conn_id);
            return row.back()["protocol"] == "Stopped" && bytes_of(row.back()) == outcome.received;
        },
        10s))
        << rx.out();
}

// Transmitters that halt while the receiver is stopped for `hold`: each end with its link_end.
std::vector<std::pair<QJsonObject, QJsonObject>> run_held(
    ChildProcess& rx, const std::vector<std::vector<std::string>>& options, std::chrono::milliseconds hold) {
    std::vector<std::unique_ptr<ChildProcess>> txs;
    for (const auto& args : options) txs.push_back(start_transmitter(args));
    for (auto& tx : txs)
        EXPECT_TRUE(tx->wait_for([&] { return !of_kind(json_events(*tx), "tick").empty(); }, 20s));
    rx.send_signal(SIGSTOP);
    rx.wait_for([] { return false; }, hold);  // the hold itself
    rx.send_signal(SIGCONT);
    std::vector<std::pair<QJsonObject, QJsonObject>> ends;
    for (auto& tx : txs) {
        const QJsonObject end = halted_end(*tx);
        const QJsonObject link_end =
            normal_link_end(rx, of_kind(json_events(*tx), "tick")[0]["conn_id"].toInt(), 20s);
        if (end.isEmpty() || link_end.isEmpty()) return {};
        ends.emplace_back(end, link_end);
    }
    return ends;
}

// Transmissions over TCP then UDP, also while the receiver is held; then an offered load:
// a paced TCP link and its congestion control as the kernel shows it, links that halt after
// their byte count, and the DSCP mark on every data packet of either transport and family.
TEST(ProgramPair, TransmissionsAlsoWhileTheReceiverIsHeldAndAnOfferedLoad) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    ASSERT_FALSE(build_dir().empty());
    auto rx = start_receiver();
    // TOTAL ticks once a second from the start.
    const QJsonObject first = of_kind(json_events(*rx), "tick", 0).at(0);
    EXPECT_EQ(first["row"].toString(), "TOTAL");
    EXPECT_EQ(first["protocol"].toString(), "");
    EXPECT_EQ(first["kelbo_bits"].toInt(-1), 0);
    EXPECT_EQ(first["bytes"].toInt(-1), 0);
    EXPECT_GE(first["time_ms"].toInt(), 500);

    Transmission tcp;
    ASSERT_NO_FATAL_FAILURE(
        transmit(*rx, {"--transport", "tcp", "--bar-scale", "10G"}, 1, "TCP", 20000000, tcp));
    // Every byte sent over the stream is counted, even that read with the ShutdownRequest.
    EXPECT_EQ(tcp.received, tcp.sent);

    // ConnId 1 is not handed out again while its stopped row is still shown.
    Transmission udp;
    ASSERT_NO_FATAL_FAILURE(
        transmit(*rx, {"--transport", "udp", "--kelbo-size", "1000000"}, 2, "UDP", 1000000, udp));
    // Datagrams may be dropped on the way, never made up.
    EXPECT_GT(udp.received, 0u);
    EXPECT_LE(udp.received, udp.sent);

    // Five TCP links halt while the receiver is held; every byte is counted all the same.
    std::vector<std::vector<std::string>> tcp_held;
    for (const char* size : {"150000", "32700", "4096", "1001", "3"})
        tcp_held.push_back({"--transport", "tcp", "--time", "1.5", "--sock-buf", "0", "--msg-size", size});
    const auto tcp_ends = run_held(*rx, tcp_held, 1500ms);
    ASSERT_EQ(tcp_ends.size(), 5u);
    for (const auto& [tx, link] : tcp_ends)
        EXPECT_EQ(bytes_of(link), bytes_of(tx)) << link["conn_id"].toInt();

    // Numbered datagrams at full rate, the receiver held for 0.7 s: the gaps are counted lost;
    // a receiver slower than the sender (sanitizers) misses a tail too, at most its 16 MiB.
    const auto udp_ends = run_held(*rx, {{"--transport", "udp", "--udp-numbered", "--time", "2.5"}}, 700ms);
    ASSERT_EQ(udp_ends.size(), 1u);
    const auto& [tx, link] = udp_ends[0];
    const std::int64_t missing = tx["datagrams"].toInteger() - link["datagrams"].toInteger();
    EXPECT_GT(link["lost"].toInteger(), 0);
    EXPECT_LE(link["lost"].toInteger(), missing);
    EXPECT_LE(missing - link["lost"].toInteger(), 16 * 1024 * 1024 / 32700 + 64) << missing;
    EXPECT_EQ(link["out_of_order"].toInteger(-1) + link["duplicates"].toInteger(-1), 0);
    EXPECT_GT(link["jitter_ms"].toDouble(), 0.0);
    EXPECT_EQ(link["bytes"].toInteger(), link["datagrams"].toInteger() * 32700);

    // The datagram socket's receive buffer holds more than one datagram.
    EXPECT_GE(stop_program(*rx, 20s)["udp_receive_buffer"].toInteger(), 2 * UDP_MAX_MESSAGE);
    EXPECT_EQ(rx->err(), "");

    // The offered load, to a receiver of its own. 25000-byte messages 50 ms apart, the
    // delay unused: two behind cover a busy machine's stalls.
    rx = start_receiver();
    const auto paced = start_transmitter({"--time", "6", "--transport", "tcp", "--rate", "4M", "--msg-size",
                                          "25000", "--delay", "100000", "--congestion", "reno"});
    ASSERT_TRUE(paced->wait_for([&] { return !of_kind(json_events(*paced), "tick").empty(); }, 20s));
    ChildProcess ss(find_program("ss"), {"-tin", "dport", "=", ":" + std::to_string(STREAM_PORT)});
    EXPECT_TRUE(ss.wait_exit(10s) == 0 && ss.out().find(" reno ") != std::string::npos) << ss.out();
    const QJsonObject end = halted_end(*paced);
    const std::vector<QJsonObject> ticks = of_kind(json_events(*paced), "tick");
    ASSERT_GE(ticks.size(), 4u) << paced->out();
    const double rate = static_cast<double>(bytes_of(ticks.back()) - bytes_of(ticks.front())) * 8 / 1000 /
                        (ticks.back()["time_ms"].toDouble() - ticks.front()["time_ms"].toDouble());
    // From the first tick to the last, four seconds: within 2%, unless the machine held
    // the program off the processor longer than it may fall behind.
    const double gap = of_kind(json_events(*paced), "exit").at(0)["max_loop_gap_ms"].toDouble();
    EXPECT_TRUE(rate <= 4.08 && (rate >= 3.92 || gap > 100)) << rate << " Mbit/s\n" << paced->out();
    EXPECT_TRUE(ticks[0]["target_mbits_per_s"] == 4.0 && end["target_mbits_per_s"] == 4.0) << paced->out();
    EXPECT_FALSE(end.contains("byte_limit"));
    EXPECT_EQ(bytes_of(normal_link_end(*rx, 1)), bytes_of(end));

    // DSCP EF (46): the TOS or traffic class byte 0xb8 on every data packet, SYN included;
    // links of a million bytes, the last message cut short: exactly that many counted.
    ChildProcess dump(find_program("tcpdump"),
                      {"-i", "lo", "--immediate-mode", "-s", "96", "-B", "16384", "-nn", "-t", "-v", "-l",
                       "dst port " + std::to_string(STREAM_PORT) + " or " + std::to_string(DATAGRAM_PORT)});
    ASSERT_TRUE(dump.wait_for([&] { return dump.err().find("listening on") != std::string::npos; }, 20s));
    for (int conn_id = 2; const char* transport : {"tcp", "udp"})
        for (const char* receiver : {"127.0.0.1", "::1"}) {
            const auto tx = start_transmitter({"--bytes", "1000000", "--transport", transport, "--receiver",
                                               receiver, "--dscp", "EF", "--msg-size", "1472"});
            const QJsonObject limited = halted_end(*tx, 30s);
            EXPECT_TRUE(bytes_of(limited) == 1000000 && limited["byte_limit"].toInteger() == 1000000);
            EXPECT_EQ(bytes_of(normal_link_end(*rx, conn_id++, 20s)), 1000000u) << rx->out();
        }
    // The packets come in order: once the last link's are seen, so are the others'.
    EXPECT_TRUE(dump.wait_for([&] { return dump.out().find("next-header UDP") != std::string::npos; }, 20s));
    dump.send_signal(SIGINT);
    EXPECT_EQ(dump.wait_exit(20s), 0);
    for (const std::string& line : dump.out_lines())
        EXPECT_TRUE(!line.starts_with("IP") || line.find(" 0xb8,") != line.npos) << line;
    for (const char* kind : {"proto TCP", "proto UDP", "next-header TCP"})
        EXPECT_NE(dump.out().find(kind), std::string::npos) << kind;
    EXPECT_EQ(rx->err(), "");
}

TEST(ProgramPair, HeadlessReceiverWithoutItsPortsOrASceneEndsWithStatusOne) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    ASSERT_FALSE(build_dir().empty());
    {
        // Another program holds the stream port: no endpoints.
        const Socket holder = listen_on(STREAM_PORT);
        ASSERT_TRUE(holder);
        ChildProcess rx(receiver_binary(), {"--headless", "--json", "--time", "60"}, KELBOS_SCENES_DIR,
                        {{"DISPLAY", ""}});
        ASSERT_EQ(rx.wait_exit(20s), 1) << rx.err();
        EXPECT_EQ(rx.err(), "Communications initialization failed\nbind() Error\nAddress already in use\n");
        // It ended before its first tick.
        EXPECT_TRUE(of_kind(json_events(rx), "tick", 0).empty()) << rx.out();
    }

    QTemporaryDir no_scene;
    ASSERT_TRUE(no_scene.isValid());
    // Without a runtime folder standard error still carries the program's own messages only.
    ChildProcess rx(receiver_binary(), {"--headless"}, no_scene.path().toStdString(),
                    {{"XDG_RUNTIME_DIR", ""}});
    EXPECT_EQ(rx.wait_exit(20s), 1);
    EXPECT_EQ(rx.err(), "Unable to open init file\n'kelbostx.init'\nNo such file or directory\n");
    EXPECT_EQ(rx.out(), "");
}

TEST(ProgramPair, BadValuesOnEitherCommandLineEndWithStatusTwo) {
    const std::string tx = transmitter_binary(), rx = receiver_binary();
    const std::string bar_scale = "bar scale must be 100M, 1G, 10G, 100G or auto\n";
    const std::string address_list =
        " must be a comma-separated list of IPv4 or IPv6 addresses, each with an optional /BITS\n";
    const std::tuple<std::string, std::vector<std::string>, std::string> cases[] = {
        {tx, {"--msg-size", "abc"}, "message size must be a number\n"},
        {tx, {"--delay", "0.5"}, "delay must be a number\n"},
        {tx, {"--delay", "2x"}, "delay must be a number\n"},
        {tx, {"--kelbo-size", "4"}, "kelbo size must be at least 8 bits\n"},
        {tx, {"--transport", "ipx"}, "transport must be udp, tcp, decnet or osi\n"},
        {tx, {"--colour", "red"}, "colour must be #RRGGBB\n"},
        {tx, {"--send-path", "zero"}, "send-path must be copy or copy-free\n"},
        {tx, {"--rate", "2.5X"}, "rate must be a number\n"},
        {tx, {"--bytes", "1e6"}, "bytes must be a whole number\n"},
        {tx, {"--bind", "localhost"}, "bind must be an IPv4 or IPv6 address\n"},
        {tx, {"--dscp", "64"}, "dscp must be 0 to 63 or a class name such as EF or AF41\n"},
        {tx, {"--congestion", "no-such"}, "congestion must be one of: " + allowed_congestion() + "\n"},
        {tx, {"--time", "soon"}, "time must be a positive number of seconds\n"},
        {tx,
         {"--udp-numbered", "--msg-size", "26"},
         "message size must be at least 27 bytes to number datagrams\n"},
        // The bar scale takes only its five words.
        {tx, {"--bar-scale", "1g"}, bar_scale},
        {tx, {"--bar-scale", "200M"}, bar_scale},
        {tx, {"--bar-scale", ""}, bar_scale},
        {tx, {"--speed", "9"}, "Unknown option 'speed'.\n"},
        {tx, {"--metrics-allow", "10.0.0.0/33"}, "metrics-allow" + address_list},
        {rx,
         {"--metrics", "::1:9464"},
         "kelbosrx: metrics must be [ADDRESS:]PORT with a port of 1 to 65535\n"},
        {rx, {"--bar-scale", "Auto"}, "kelbosrx: " + bar_scale},
        {rx, {"--time", "soon"}, "kelbosrx: time must be a positive number of seconds\n"},
        {rx, {"--time", "-3"}, "kelbosrx: time must be a positive number of seconds\n"},
        {rx, {"--allow", "10.0.0.0/33"}, "kelbosrx: allow" + address_list},
        {rx, {"--allow", "10.1.2.3/8"}, "kelbosrx: allow entry 10.1.2.3/8 has host bits set beyond its /8\n"},
        {rx, {"--links-per-host", "11"}, "kelbosrx: links per host must be a whole number from 1 to 10\n"},
        {rx,
         {"--idle-timeout", "-1"},
         "kelbosrx: idle timeout must be a whole number of seconds, 0 (never) or more\n"},
        {rx, {"--no-such-option"}, "kelbosrx: Unknown option 'no-such-option'.\n"},
    };
    for (auto [program, args, message] : cases) {
        args.push_back("--headless");
        ChildProcess child(program, args);
        // Braces: the exit is awaited before its output is read.
        EXPECT_EQ((std::tuple{child.wait_exit(10s), child.err(), child.out()}),
                  (std::tuple{std::optional(2), message, std::string()}));
    }
}

TEST(ProgramPair, BothStartWithoutADisplay) {
    // Help (listing every option), version and bad options need no display; a window
    // start says how to run without one.
    const std::map<std::string, std::string> no_display{
        {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}, {"XDG_RUNTIME_DIR", ""}};
    // Each program's options as its help lists them.
    const QString tx_options =
        "--help,--version,--headless,--json,--time,--receiver,--transport,--msg-size,"
        "--delay,--sock-buf,--kelbo-size,--colour,--udp-numbered,--send-path,--go";
    const QString rx_options =
        "--help,--version,--headless,--json,--time <SECONDS>,--allow <LIST>,"
        "--links-per-host <N>,--idle-timeout <SECONDS>,--metrics-allow <LIST>";
    for (const auto& [program, name, options] :
         {std::tuple{transmitter_binary(), std::string("kelbostx"), tx_options},
          std::tuple{receiver_binary(), std::string("kelbosrx"), rx_options}}) {
        ChildProcess help(program, {"--help"}, KELBOS_SCENES_DIR, no_display);
        EXPECT_EQ(help.wait_exit(20s), 0) << name;
        for (const QString& option : options.split(','))
            EXPECT_NE(help.out().find(option.toStdString()), std::string::npos)
                << name << " " << option.toStdString() << help.out();
        ChildProcess version(program, {"--version"}, KELBOS_SCENES_DIR, no_display);
        EXPECT_EQ(version.wait_exit(20s), 0) << name;
        EXPECT_EQ(version.out().rfind(name + " ", 0), 0u) << version.out();
        ChildProcess bad(program, {"--no-such-option"}, KELBOS_SCENES_DIR, no_display);
        EXPECT_EQ(bad.wait_exit(20s), 2) << name;
        EXPECT_NE(bad.err().find("no-such-option"), std::string::npos) << bad.err();
        EXPECT_EQ(help.err() + version.err(), "");
        EXPECT_EQ(std::count(bad.err().begin(), bad.err().end(), '\n'), 1) << bad.err();
        // Without a display, and with one named that is not there.
        auto gone = no_display;
        gone["DISPLAY"] = ":64999";
        for (const auto& env : {no_display, gone}) {
            ChildProcess window(program, {}, KELBOS_SCENES_DIR, env);
            EXPECT_EQ(window.wait_exit(20s), 1) << name;
            EXPECT_EQ(window.out(), "");
            EXPECT_EQ(window.err(),
                      name + ": no display to open the window on; use --headless to run without one\n");
        }
    }
}

// scripts/demo.sh, the headless demonstration the run command falls back to without a
// display, run against this build.
// The lines one program wrote, told apart by the member the script adds.
std::vector<QJsonObject> from_program(const std::vector<QJsonObject>& events, const QString& program) {
    std::vector<QJsonObject> out;
    for (const QJsonObject& e : events)
        if (e["program"].toString() == program) out.push_back(e);
    return out;
}

TEST(DemoScript, RunsThePairHeadlessAndPrintsTheirLines) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    ASSERT_FALSE(build_dir().empty());
    ChildProcess demo("/bin/bash", {KELBOS_SOURCE_DIR "/scripts/demo.sh", build_dir(), "3"}, {},
                      {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
    ASSERT_TRUE(demo.started());
    ASSERT_EQ(demo.wait_exit(60s), 0) << demo.err() << demo.out();
    EXPECT_EQ(demo.err(), "");

    const std::vector<QJsonObject> events = json_events(demo);
    const std::vector<QJsonObject> tx = from_program(events, "kelbostx");
    const std::vector<QJsonObject> rx = from_program(events, "kelbosrx");
    EXPECT_EQ(tx.size() + rx.size(), events.size()) << demo.out();

    // The transmitter sent to localhost, ticking, and halted when its time was up.
    const auto tx_ticks = of_kind(tx, "tick", 1);
    ASSERT_FALSE(tx_ticks.empty()) << demo.out();
    EXPECT_EQ(tx_ticks[0]["row"].toString(), "localhost");
    EXPECT_GT(bytes_of(tx_ticks[0]), 0u);
    const auto tx_ends = of_kind(tx, "end");
    ASSERT_EQ(tx_ends.size(), 1u) << demo.out();
    EXPECT_EQ(tx_ends[0]["how"].toString(), "halted");
    EXPECT_EQ(of_kind(tx, "exit").size(), 1u);

    // The receiver ticked its TOTAL row and the link's, saw the link end normally,
    // and was ended by the script.
    EXPECT_FALSE(of_kind(rx, "tick", 0).empty()) << demo.out();
    const auto rx_ticks = of_kind(rx, "tick", 1);
    ASSERT_FALSE(rx_ticks.empty()) << demo.out();
    EXPECT_GT(bytes_of(rx_ticks[0]), 0u);
    const auto link_ends = of_kind(rx, "link_end", 1);
    ASSERT_EQ(link_ends.size(), 1u) << demo.out();
    EXPECT_EQ(link_ends[0]["reason"].toInt(), 1);
    EXPECT_EQ(of_kind(rx, "exit").size(), 1u);
}

}  // namespace
}  // namespace kelbos::pairtest
