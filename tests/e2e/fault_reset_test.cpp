// SPDX-License-Identifier: Apache-2.0
// Connections reset (RST) mid-link in both directions: a hand-made transmitter under
// the real kelbosrx, a hand-made receiver under kelbostx and the program object.
#include <gtest/gtest.h>

#include <memory>

#include "fault_support.h"

namespace kelbos::pairtest {
namespace {

const std::string RESET = "Connection reset by peer";

TEST(HandMadeTransmitterResets, TheReceiverEndsTheLinkWithReason2AndServesOn) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const auto rx = start_receiver();
    const std::set<int> idle_fds = open_fds(rx->pid());

    // Reset while being admitted: the socket and ConnId go at once, nothing reported.
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
        Socket link = open_link(t, conn_id);
        ASSERT_TRUE(link && !HasFailure());

        // Data on the stream, or in datagrams naming the link in their first byte.
        Socket datagrams;
        if (t.type == TRANSPORT_UDP) {
            ASSERT_TRUE(datagrams = datagrams_to_receiver("127.0.0.1"));
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
        ASSERT_GE(await_event(*rx, "link_end", conn_id, 10s), 0);
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

    // The next transmitter gets the next ConnId (the reset rows are still shown).
    ChildProcess tx(transmitter_binary(),
                    {"--headless", "--json", "--go", "--time", "2", "--transport", "tcp"}, KELBOS_SCENES_DIR);
    EXPECT_EQ(tx.wait_exit(30s), 0) << tx.err();
    ASSERT_GE(await_event(*rx, "link_end", 3, 10s), 0);
    const QJsonObject end = of_kind(json_events(*rx), "link_end", 3)[0];
    EXPECT_EQ(end["reason"].toInt(), REASON_NORMAL);
    EXPECT_GT(bytes_of(end), 0u);
    for (const QJsonObject& tick : of_kind(json_events(tx), "tick")) EXPECT_EQ(tick["conn_id"].toInt(), 3);
    EXPECT_EQ(rx->err(), expected_err);
    EXPECT_TRUE(holds_fds(*rx, idle_fds));
}

// Reads about a megabyte of a link's data: every message is the ConnId, then zeros (on
// the stream a message the system took only in part is cut short there).
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
    const AbortReport report = expect_headless_abort(tx, {RESET});
    // A UDP link's datagrams go on being taken: the control connection tells.
    if (t.type == TRANSPORT_UDP) {
        EXPECT_EQ(report.diagnostic, "recv: " + RESET);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, HandMadeReceiverResets, BOTH_TRANSPORTS, PrintToStringParamName());

// The transmitter program object against a hand-made receiver on ports of its own.
class ResetUnderTheProgram : public FaultProgramTest {};

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

        ASSERT_NO_FATAL_FAILURE(expect_abort(
            *p, [&] { test::reset_connection(peer.connection); }, {RESET}, std::string("abort_report_") + t.name,
            fds, 10s));

        // Go again: a new link, halted before its first send (the request is all it carries).
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
