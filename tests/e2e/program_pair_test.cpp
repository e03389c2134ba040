// The real kelbosrx and kelbostx against each other over loopback, both headless with
// JSON lines: transmissions halted by --time over TCP and over UDP, and a receiver
// that refuses links while it has no scene.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <map>

#include "program_pair_support.h"
#include "protocol.h"

namespace kelbos::pairtest {
namespace {

// What both programs said about one transmission.
struct Transmission {
    std::uint64_t sent = 0;      // the transmitter's end event
    std::uint64_t received = 0;  // the receiver's link_end event
};

// Runs one headless transmitter that sends for three seconds to the running receiver
// and checks both programs' lines about it.
void transmit(ChildProcess& rx, const std::string& transport, int conn_id, const QString& protocol,
              Transmission& outcome) {
    ChildProcess tx(transmitter_binary(),
                    {"--headless", "--json", "--go", "--time", "3", "--transport", transport},
                    KELBOS_SCENES_DIR);
    ASSERT_TRUE(tx.started());
    ASSERT_EQ(tx.wait_exit(60s), 0) << tx.err();
    EXPECT_EQ(tx.err(), "");

    // The transmitter's row ticked with the link's ConnId and its byte count grew.
    const std::vector<QJsonObject> events = json_events(tx);
    const std::vector<QJsonObject> ticks = of_kind(events, "tick");
    ASSERT_GE(ticks.size(), 2u) << tx.out();
    std::uint64_t previous = 0;
    for (const QJsonObject& tick : ticks) {
        EXPECT_EQ(tick["row"].toString(), "localhost");
        EXPECT_EQ(tick["conn_id"].toInt(), conn_id);
        EXPECT_EQ(tick["protocol"].toString(), protocol);
        EXPECT_GT(bytes_of(tick), previous);
        EXPECT_GT(tick["mbits_per_s"].toDouble(), 0.0);
        // A TCP link's path figures: round trip, no retransmission on loopback, a
        // congestion window. A UDP link has none.
        for (const char* field : {"rtt_ms", "retransmits", "cwnd_bytes"})
            EXPECT_EQ(tick.contains(field), protocol == "TCP") << field;
        if (protocol == "TCP") {
            EXPECT_GT(tick["rtt_ms"].toDouble(), 0.0);
            EXPECT_EQ(tick["retransmits"].toInt(-1), 0);
            EXPECT_GT(tick["cwnd_bytes"].toInteger(), 0);
        }
        previous = bytes_of(tick);
    }
    const std::vector<QJsonObject> ends = of_kind(events, "end");
    ASSERT_EQ(ends.size(), 1u) << tx.out();
    EXPECT_EQ(ends[0]["how"].toString(), "halted");
    EXPECT_GE(bytes_of(ends[0]), previous);
    outcome.sent = bytes_of(ends[0]);

    // The receiver answered the ShutdownRequest before it wrote its line: the line may
    // still be on its way.
    ASSERT_TRUE(rx.wait_for([&] { return !of_kind(json_events(rx), "link_end", conn_id).empty(); }, 10s))
        << rx.out();
    // Its row for the link ticked with the transport's text until the link ended.
    std::vector<QJsonObject> live_ticks;
    std::vector<QJsonObject> link_ends;
    for (const QJsonObject& e : json_events(rx)) {
        if (e["conn_id"].toInt() != conn_id) continue;
        if (e["event"].toString() == "link_end") link_ends.push_back(e);
        if (e["event"].toString() == "tick" && link_ends.empty()) live_ticks.push_back(e);
    }
    ASSERT_EQ(link_ends.size(), 1u);
    EXPECT_EQ(link_ends[0]["reason"].toInt(), REASON_NORMAL);
    outcome.received = bytes_of(link_ends[0]);
    ASSERT_FALSE(live_ticks.empty()) << rx.out();
    for (const QJsonObject& tick : live_ticks) {
        EXPECT_EQ(tick["protocol"].toString(), protocol);
        EXPECT_EQ(tick["row"].toString(), link_ends[0]["row"].toString());
        EXPECT_EQ(tick["kelbo_bits"].toInteger(), 20000000);
        // The receiver's own estimate of a TCP link's round trip.
        EXPECT_EQ(tick.contains("rtt_ms"), protocol == "TCP");
        if (protocol == "TCP") {
            EXPECT_GT(tick["rtt_ms"].toDouble(), 0.0);
        }
    }
    EXPECT_FALSE(link_ends[0]["row"].toString().isEmpty());
    EXPECT_GT(bytes_of(live_ticks.back()), 0u);
    EXPECT_LE(bytes_of(live_ticks.back()), outcome.received);
}

TEST(ProgramPair, TransmissionsOverTcpThenUdp) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    ASSERT_FALSE(build_dir().empty());
    ChildProcess rx(receiver_binary(), {"--headless", "--json", "--time", "300"}, KELBOS_SCENES_DIR);
    ASSERT_TRUE(rx.wait_for([] { return tcp_listening(STREAM_PORT); }, 20s)) << rx.err();

    Transmission tcp;
    ASSERT_NO_FATAL_FAILURE(transmit(rx, "tcp", 1, "TCP", tcp));
    // Every byte sent over the stream arrives. The receiver counts each chunk it
    // reads except the one that ends with the ShutdownRequest: data read together
    // with the request goes uncounted. That last chunk fills at most one receive
    // buffer, the request's three bytes included.
    EXPECT_LE(tcp.received, tcp.sent);
    EXPECT_LE(tcp.sent - tcp.received, LARGEST_MESSAGE - SHUTDOWN_REQUEST_LEN)
        << "sent " << tcp.sent << ", received " << tcp.received;

    // ConnId 1 is not handed out again while its stopped row is still shown.
    Transmission udp;
    ASSERT_NO_FATAL_FAILURE(transmit(rx, "udp", 2, "UDP", udp));
    // Datagrams may be dropped on the way, never made up.
    EXPECT_GT(udp.received, 0u);
    EXPECT_LE(udp.received, udp.sent);

    rx.send_signal(SIGTERM);
    EXPECT_EQ(rx.wait_exit(20s), 0);
    EXPECT_EQ(rx.err(), "");
    const std::vector<QJsonObject> exits = of_kind(json_events(rx), "exit");
    ASSERT_EQ(exits.size(), 1u);
    // The datagram socket's receive buffer as the system reported it: room for more
    // than one datagram.
    EXPECT_GE(exits[0]["udp_receive_buffer"].toInteger(), 2 * UDP_MAX_MESSAGE);
}

TEST(ProgramPair, ReceiverWithoutSceneRefusesTheTransmitter) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    ASSERT_FALSE(build_dir().empty());
    QTemporaryDir no_scene;
    ASSERT_TRUE(no_scene.isValid());
    // Without a runtime folder the platform layer has a note to make: standard error
    // of a headless run carries the program's own messages only.
    ChildProcess rx(receiver_binary(), {"--headless"}, no_scene.path().toStdString(),
                    {{"XDG_RUNTIME_DIR", ""}});
    ASSERT_TRUE(rx.wait_for([] { return tcp_listening(STREAM_PORT); }, 20s)) << rx.err();

    const std::string missing = "Unable to open init file\n'kelbostx.init'\nNo such file or directory\n";
    const std::string refusal = "Refusing incoming connection because\ninit file has not been read yet\n";
    std::string expected = missing;
    for (const auto& [transport, name] : {std::pair{"tcp", "TCP"}, std::pair{"udp", "UDP"}}) {
        ChildProcess tx(transmitter_binary(), {"--headless", "--go", "--transport", transport},
                        KELBOS_SCENES_DIR);
        EXPECT_EQ(tx.wait_exit(60s), 1) << name;
        EXPECT_EQ(tx.err(), std::string("Unable to start ") + name +
                                " connection to localhost\nConnection rejected by receiver\n\n");
        EXPECT_EQ(tx.out(), "");
        // One refusal, one message: the receiver wrote it before it answered.
        expected += refusal;
        EXPECT_TRUE(rx.wait_for([&] { return rx.err().size() >= expected.size(); }, 10s)) << name;
        EXPECT_EQ(rx.err(), expected) << name;
    }

    rx.send_signal(SIGTERM);
    EXPECT_EQ(rx.wait_exit(20s), 0);
    EXPECT_EQ(rx.err(), expected);
}

TEST(ProgramPair, BothStartWithoutADisplay) {
    // No display of any kind, and no platform chosen: help, version and bad options
    // need none; a start that needs a window says how to run without one.
    const std::map<std::string, std::string> no_display{
        {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}, {"XDG_RUNTIME_DIR", ""}};
    for (const auto& [program, name] : {std::pair{transmitter_binary(), std::string("kelbostx")},
                                        std::pair{receiver_binary(), std::string("kelbosrx")}}) {
        ChildProcess help(program, {"--help"}, KELBOS_SCENES_DIR, no_display);
        EXPECT_EQ(help.wait_exit(20s), 0) << name;
        EXPECT_NE(help.out().find("--headless"), std::string::npos) << name << help.out();
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

}  // namespace
}  // namespace kelbos::pairtest
