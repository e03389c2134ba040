// SPDX-License-Identifier: Apache-2.0
// The real kelbosrx binary: its command line, headless runs with JSON lines, and links
// from a real transmitter link. Programs that bind the well-known ports run in a
// private network namespace of this test process.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <csignal>

#include "child_process.h"
#include "link.h"
#include "resolve.h"
#include "sockets.h"
#include "netns.h"
#include "program_output.h"

using namespace kelbos;
using namespace kelbos::testing;
using namespace std::chrono_literals;

namespace {

// Sends data messages on a link until `bytes` have gone; false on a failure.
bool send_at_least(TransmitterLink& link, std::uint64_t bytes, std::uint64_t& sent) {
    while (sent < bytes) {
        const int n = link.link_send();
        if (n >= 0) {
            sent += static_cast<std::uint64_t>(n);
            continue;
        }
        if (link.last_error() != EAGAIN && link.last_error() != EWOULDBLOCK && link.last_error() != ENOBUFS)
            return false;
        pollfd p{link.data_fd(), POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
    return true;
}

}  // namespace

TEST(ReceiverCommandLine, HelpListsEveryOption) {
    ChildProcess rx(receiver_binary(), {"--help"}, {}, {{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}});
    ASSERT_EQ(rx.wait_exit(10s), 0) << rx.err();
    for (const char* option : {"--help", "--version", "--headless", "--json", "--time <SECONDS>",
                               "--allow <LIST>", "--links-per-host <N>", "--idle-timeout <SECONDS>"})
        EXPECT_NE(rx.out().find(option), std::string::npos) << option << " missing from:\n" << rx.out();

    ChildProcess version(receiver_binary(), {"--version"});
    ASSERT_EQ(version.wait_exit(10s), 0);
    EXPECT_EQ(version.out().rfind("kelbosrx ", 0), 0u) << version.out();
}

TEST(ReceiverCommandLine, BadValuesEndWithStatusTwo) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--headless", "--time", "soon"},
          std::vector<std::string>{"--headless", "--time", "-3"},
          std::vector<std::string>{"--allow", "10.0.0.0/33"},
          std::vector<std::string>{"--links-per-host", "11"},
          std::vector<std::string>{"--idle-timeout", "-1"}, std::vector<std::string>{"--no-such-option"}}) {
        ChildProcess rx(receiver_binary(), args);
        EXPECT_EQ(rx.wait_exit(10s), 2) << args.back();
        EXPECT_EQ(rx.out(), "");
        EXPECT_FALSE(rx.err().empty());
    }
}

TEST(ReceiverCommandLine, BarScaleTakesOnlyItsFiveWords) {
    ChildProcess rx(receiver_binary(), {"--headless", "--bar-scale", "Auto"});
    EXPECT_EQ(rx.wait_exit(10s), 2);
    EXPECT_EQ(rx.err(), "kelbosrx: bar scale must be 100M, 1G, 10G, 100G or auto\n");
}

TEST(ReceiverHeadless, JsonTicksAndARealLink) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    ChildProcess rx(receiver_binary(), {"--headless", "--json", "--time", "60"}, KELBOS_SCENES_DIR,
                    {{"DISPLAY", ""}});
    ASSERT_TRUE(rx.started());
    // TOTAL ticks once a second from the start.
    ASSERT_TRUE(rx.wait_for([&] { return of_kind(json_events(rx), "tick", 0).size() >= 2; }, 10s))
        << rx.err();
    const QJsonObject first = of_kind(json_events(rx), "tick", 0)[0];
    EXPECT_EQ(first["row"].toString(), "TOTAL");
    EXPECT_EQ(first["protocol"].toString(), "");
    EXPECT_EQ(first["kelbo_bits"].toInt(), 0);
    EXPECT_EQ(first["bytes"].toInt(), 0);
    EXPECT_GE(first["time_ms"].toInt(), 500);

    // A real transmitter link over TCP on the well-known ports.
    TransmitterLink link(LinkOptions{Ports{}, 5s});
    ASSERT_EQ(link.link_open(TRANSPORT_TCP, NETWORK_ETHERNET, "tx", "127.0.0.1", "#112233", 10000, nullptr,
                             125000, 0),
              LinkStatus::ok);
    ASSERT_EQ(link.conn_id(), 1);
    std::uint64_t sent = 0;
    ASSERT_TRUE(send_at_least(link, 3'000'000, sent));
    ASSERT_TRUE(rx.wait_for(
        [&] {
            const auto ticks = of_kind(json_events(rx), "tick", 1);
            return !ticks.empty() && ticks.back()["bytes"].toDouble() == static_cast<double>(sent);
        },
        10s))
        << rx.out();
    const QJsonObject tick = of_kind(json_events(rx), "tick", 1).back();
    EXPECT_EQ(tick["protocol"].toString(), "TCP");
    EXPECT_EQ(tick["kelbo_bits"].toInt(), 1000000);
    EXPECT_FALSE(tick["row"].toString().isEmpty());

    ASSERT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::ok);
    ASSERT_TRUE(rx.wait_for([&] { return !of_kind(json_events(rx), "link_end").empty(); }, 10s));
    const QJsonObject end = of_kind(json_events(rx), "link_end")[0];
    EXPECT_EQ(end["conn_id"].toInt(), 1);
    EXPECT_EQ(end["reason"].toInt(), 1);
    EXPECT_EQ(end["bytes"].toDouble(), static_cast<double>(sent));
    ASSERT_TRUE(rx.wait_for(
        [&] {
            return !of_kind(json_events(rx), "tick", 1).empty() &&
                   of_kind(json_events(rx), "tick", 1).back()["protocol"] == "Stopped";
        },
        10s));
    EXPECT_EQ(rx.err().find("connection to"), std::string::npos) << rx.err();

    // SIGTERM ends it as "&Exit" does.
    rx.send_signal(SIGTERM);
    EXPECT_EQ(rx.wait_exit(10s), 0);
}

TEST(ReceiverHeadless, RefusalsAndStartUpFailuresGoToStandardError) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    // Another program holds the control port: no endpoints, no scene either.
    Socket holder = make_socket(SOCK_STREAM);
    const SocketAddress control = resolve_host("0.0.0.0", CONTROL_PORT).at(0);
    ASSERT_EQ(::bind(holder.fd(), control.get(), control.length), 0);
    ASSERT_EQ(::listen(holder.fd(), 1), 0);
    {
        ChildProcess rx(receiver_binary(), {"--headless", "--json", "--time", "1", "missing"},
                        KELBOS_SCENES_DIR, {{"DISPLAY", ""}});
        ASSERT_EQ(rx.wait_exit(20s), 0) << rx.err();
        EXPECT_NE(rx.err().find("Unable to open init file\n'missing.init'\n"), std::string::npos) << rx.err();
        EXPECT_NE(
            rx.err().find("Communications initialization failed\nbind() Error\nAddress already in use\n"),
            std::string::npos)
            << rx.err();
        // It ran on until its time was up, ticking.
        EXPECT_FALSE(of_kind(json_events(rx), "tick", 0).empty()) << rx.out();
    }
    holder.reset();

    // Listening, but without a scene: links are refused, each with its line.
    ChildProcess rx(receiver_binary(), {"--headless", "missing"}, KELBOS_SCENES_DIR, {{"DISPLAY", ""}});
    ASSERT_TRUE(rx.wait_for([&] { return rx.err().find("missing.init") != std::string::npos; }, 10s));
    TransmitterLink link(LinkOptions{Ports{}, 5s});
    LinkStatus status = LinkStatus::connect_error;
    // The receiver may still be opening its endpoints.
    ASSERT_TRUE(rx.wait_for(
        [&] {
            status = link.link_open(TRANSPORT_UDP, NETWORK_ETHERNET, "tx", "127.0.0.1", "#112233", 1000,
                                    nullptr, 1000, 0);
            return status != LinkStatus::connect_error;
        },
        10s));
    EXPECT_EQ(status, LinkStatus::rejected);
    EXPECT_EQ(
        link.link_open(TRANSPORT_TCP, NETWORK_ETHERNET, "tx", "127.0.0.1", "#112233", 1000, nullptr, 1000, 0),
        LinkStatus::rejected);
    const std::string refusal = "Refusing incoming connection because\ninit file has not been read yet\n";
    ASSERT_TRUE(rx.wait_for(
        [&] {
            const std::string& e = rx.err();
            const auto first = e.find(refusal);
            return first != std::string::npos && e.find(refusal, first + 1) != std::string::npos;
        },
        10s))
        << rx.err();
    // Without --json, standard output stays empty.
    rx.send_signal(SIGINT);
    EXPECT_EQ(rx.wait_exit(10s), 0);
    EXPECT_EQ(rx.out(), "");
}
