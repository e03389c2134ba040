// SPDX-License-Identifier: Apache-2.0
// Connections reset (RST: a close with SO_LINGER {1, 0}) in the middle of a link, in
// both directions: a hand-made transmitter resetting under the real kelbosrx, and a
// hand-made receiver resetting under the real kelbostx and under the transmitter
// program object.
#include <gtest/gtest.h>

#include <memory>

#include "fault_support.h"
#include "open_fds.h"
#include "status_row.h"
#include "tx_fixture.h"

namespace kelbos::pairtest {
namespace {

const std::string RESET = "Connection reset by peer";

TEST(HandMadeTransmitterResets, TheReceiverEndsTheLinkWithReason2AndServesOn) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const auto rx = start_receiver();
    const std::set<int> idle_fds = open_fds(rx->pid());

    // Reset while still being admitted (part of a SetupRequest sent): the socket goes
    // and the ConnId comes back at once, with nothing reported.
    {
        Socket half = connect_to(STREAM_PORT);
        ASSERT_TRUE(half);
        const Bytes setup = handmade_setup(TRANSPORT_TCP);
        test::send_bytes(half.fd(), Bytes(setup.begin(), setup.begin() + 30));
        ASSERT_TRUE(holds_fds(*rx, idle_fds, 1));
        test::reset_connection(half);
        ASSERT_TRUE(holds_fds(*rx, idle_fds));
    }

    std::string expected_err;
    ConnId conn_id = CONN_FIRST;
    for (const Transport& t : {TCP_LINK, UDP_LINK}) {
        SCOPED_TRACE(t.name);
        Socket link = connect_to(t.type == TRANSPORT_TCP ? STREAM_PORT : CONTROL_PORT);
        ASSERT_TRUE(link);
        test::send_bytes(link.fd(), handmade_setup(t.type));
        ASSERT_EQ(test::read_bytes(link.fd(), SETUP_REPLY_LEN), accept_reply(conn_id));

        // Data as the transmitter sends it: on the stream, or in datagrams that name
        // the link in their first byte.
        Socket datagrams;
        if (t.type == TRANSPORT_UDP) {
            datagrams = make_socket(SOCK_DGRAM);
            const SocketAddress to = loopback(DATAGRAM_PORT);
            ASSERT_EQ(::connect(datagrams.fd(), to.get(), to.length), 0);
        }
        const Bytes message = data_message(conn_id, 1000);
        const auto send_some = [&] {
            for (int i = 0; i < 50; ++i)
                ::send(t.type == TRANSPORT_TCP ? link.fd() : datagrams.fd(), message.data(), message.size(),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
        };
        ASSERT_TRUE(rx->wait_for(
            [&] {
                send_some();
                return link_counts(*rx, conn_id);
            },
            20s));
        EXPECT_TRUE(holds_fds(*rx, idle_fds, 1));

        // Mid-stream: data still on its way when the reset goes.
        send_some();
        test::reset_connection(link);
        ASSERT_TRUE(
            rx->wait_for([&] { return find_event(json_events(*rx), "link_end", conn_id) >= 0; }, 10s));
        const QJsonObject end = of_kind(json_events(*rx), "link_end", conn_id)[0];
        EXPECT_EQ(end["reason"].toInt(), REASON_ABORTED);
        EXPECT_GT(bytes_of(end), 0u);
        // The box goes to standard error right after the line.
        EXPECT_TRUE(names_loopback(end["row"].toString())) << end["row"].toString().toStdString();
        expected_err += "connection to " + end["row"].toString().toStdString() + " failed\n" + RESET + "\n";
        rx->wait_for([&] { return rx->err().size() >= expected_err.size(); }, 10s);
        EXPECT_EQ(rx->err(), expected_err);
        EXPECT_TRUE(holds_fds(*rx, idle_fds));
        ++conn_id;
    }

    // The receiver serves on: the next transmitter gets the next ConnId (the reset
    // links' rows are still shown) and its link runs and ends normally.
    ChildProcess tx(transmitter_binary(),
                    {"--headless", "--json", "--go", "--time", "2", "--transport", "tcp"}, KELBOS_SCENES_DIR);
    EXPECT_EQ(tx.wait_exit(30s), 0) << tx.err();
    ASSERT_TRUE(rx->wait_for([&] { return find_event(json_events(*rx), "link_end", 3) >= 0; }, 10s));
    const QJsonObject end = of_kind(json_events(*rx), "link_end", 3)[0];
    EXPECT_EQ(end["reason"].toInt(), REASON_NORMAL);
    EXPECT_GT(bytes_of(end), 0u);
    for (const QJsonObject& tick : of_kind(json_events(tx), "tick")) EXPECT_EQ(tick["conn_id"].toInt(), 3);
    EXPECT_EQ(rx->err(), expected_err);
    EXPECT_TRUE(holds_fds(*rx, idle_fds));
}

// Reads about a megabyte of a link's data as the transmitter sent it and checks that
// every message starts with the ConnId and is zero to its end. On the stream a message
// the system took only in part is cut short there: the next one starts sooner.
void take_data(const Transport& t, const HandMadeReceiver& rx, const test::SetupPeer& peer, ConnId conn_id,
               std::uint32_t message_length) {
    if (t.type == TRANSPORT_TCP) {
        const Bytes got = test::read_bytes(peer.connection.fd(), 1000000);
        ASSERT_EQ(got.size(), 1000000u);
        ASSERT_EQ(got[0], conn_id);
        std::size_t message_start = 0;
        for (std::size_t i = 1; i < got.size(); ++i) {
            if (got[i] == 0) continue;
            ASSERT_EQ(got[i], conn_id) << "byte " << i;
            ASSERT_LE(i - message_start, message_length) << "byte " << i;
            message_start = i;
        }
        return;
    }
    Bytes datagram(LARGEST_MESSAGE);
    for (int n = 0; n < 30; ++n) {
        ASSERT_EQ(wait_readable(rx.datagram.fd(), 10s), WaitResult::ready);
        const ssize_t got = ::recv(rx.datagram.fd(), datagram.data(), datagram.size(), 0);
        ASSERT_EQ(got, static_cast<ssize_t>(message_length));
        ASSERT_EQ(Bytes(datagram.begin(), datagram.begin() + 4), (Bytes{conn_id, 0, 0, 0}));
        ASSERT_EQ(std::count(datagram.begin() + 4, datagram.begin() + got, 0), got - 4);
    }
}

class HandMadeReceiverResets : public ::testing::TestWithParam<Transport> {};

TEST_P(HandMadeReceiverResets, TheHeadlessTransmitterReportsTheAbortAndEnds) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const Transport t = GetParam();
    HandMadeReceiver rx;
    ASSERT_TRUE(rx.control && rx.stream && rx.datagram);
    ChildProcess tx(transmitter_binary(), {"--headless", "--json", "--go", "--transport", t.option},
                    KELBOS_SCENES_DIR);
    test::SetupPeer peer = accept_setup(rx.listener(t), accept_reply(4));
    ASSERT_TRUE(peer.connection) << tx.err();
    const auto request = decode_setup_request(peer.request);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->transport, t.type);
    EXPECT_EQ(request->kelbo_bytes, 2500000u);
    ASSERT_EQ(request->message_length, 32700u);
    ASSERT_NO_FATAL_FAILURE(take_data(t, rx, peer, 4, request->message_length));

    test::reset_connection(peer.connection);
    EXPECT_EQ(tx.wait_exit(30s), 1) << tx.err();
    const AbortReport report = split_abort_report(tx.err());
    check_abort_report(report, {RESET});
    // A UDP link's datagrams go on being taken: the control connection tells.
    if (t.type == TRANSPORT_UDP) {
        EXPECT_EQ(report.diagnostic, "recv: " + RESET);
    }
    EXPECT_EQ(tx.out().find("send_message: unscheduling the work proc\n") != std::string::npos,
              report.diagnostic.starts_with("send: "))
        << tx.out();
    const std::vector<QJsonObject> ends = of_kind(json_events(tx), "end");
    ASSERT_EQ(ends.size(), 1u) << tx.out();
    EXPECT_EQ(ends[0]["how"].toString(), "aborted");
}

INSTANTIATE_TEST_SUITE_P(Transports, HandMadeReceiverResets, ::testing::Values(TCP_LINK, UDP_LINK),
                         [](const auto& info) { return std::string(info.param.name); });

// The transmitter program object against a hand-made receiver on ports of its own.
class ResetUnderTheProgram : public txtest::ProgramTest {};

TEST_F(ResetUnderTheProgram, TheBoxNamesTheResetAndGoWorksAgain) {
    test::ScriptedReceiver rx;
    auto p = make_program(rx.ports, files.write("three.klx", txtest::scene_text("300, 100, 0, 1, 3, 1\n")));
    for (const Transport& t : {TCP_LINK, UDP_LINK}) {
        SCOPED_TRACE(t.name);
        messages.texts.clear();
        const int fds = count_open_fds();
        p->settings().transport = t.type;
        auto setup = test::play_setup(rx.listener(t.type), accept_reply(6));
        ASSERT_TRUE(go(*p));
        test::SetupPeer peer = setup.get();
        // Take data for a while, the program sending meanwhile.
        const int data_fd = t.type == TRANSPORT_TCP ? peer.connection.fd() : rx.datagram.fd();
        std::size_t taken = 0;
        ASSERT_TRUE(txtest::pump_until([&] { return (taken += test::drain(data_fd)) > 1000000; }, 10s));

        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        test::reset_connection(peer.connection);
        const bool ended = wait_transmitting(*p, false, 10s);
        const std::string out = ::testing::internal::GetCapturedStdout();
        std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ended);
        ASSERT_EQ(messages.texts.size(), 1u);
        if (err.ends_with('\n')) err.pop_back();
        check_abort_report(AbortReport{err, messages.texts[0]}, {RESET},
                           std::string("abort_report_") + t.name);
        EXPECT_EQ(out, err.starts_with("send: ") ? "send_message: unscheduling the work proc\n" : "");
        EXPECT_EQ(txtest::menu_state(*p), txtest::MENU_IDLE);
        EXPECT_EQ(p->window().value_row().protocol(), "Stopped");
        EXPECT_EQ(p->loop().scheduled(), TransmitLoop::Wake::none);
        EXPECT_EQ(count_open_fds(), fds);

        // Go again: a new link, halted normally (before its first send, so that the
        // ShutdownRequest is all the connection carries).
        messages.texts.clear();
        setup = test::play_setup(rx.listener(t.type), accept_reply(7));
        p->settings().delay_ms = 100000;  // nothing is sent while the link opens
        ASSERT_TRUE(go(*p));
        p->settings().delay_ms = 0;
        peer = setup.get();
        EXPECT_EQ(txtest::menu_state(*p), txtest::MENU_TRANSMITTING);
        auto shutdown = test::play_shutdown(peer.connection.fd(), {7, MSG_SHUTDOWN_ACK});
        ASSERT_TRUE(halt(*p));
        EXPECT_EQ(shutdown.get(), (Bytes{7, MSG_SHUTDOWN_REQUEST, REASON_NORMAL}));
        EXPECT_TRUE(messages.texts.empty());
        EXPECT_EQ(txtest::menu_state(*p), txtest::MENU_IDLE);
        test::drain(rx.datagram.fd());
    }
}

}  // namespace
}  // namespace kelbos::pairtest
