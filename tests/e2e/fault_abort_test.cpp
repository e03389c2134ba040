// SPDX-License-Identifier: Apache-2.0
// Running links aborted under either end, over TCP and UDP. Killed (SIGKILL): the
// transmitter under a live receiver, then that receiver under kelbostx; the receiver
// under the program object, which comes back to idle and starts again once the receiver
// is back. Reset (RST) mid-link in both directions: a hand-made transmitter under the
// real kelbosrx, a hand-made receiver under kelbostx and the program object.
#include <gtest/gtest.h>

#include <csignal>
#include <iterator>
#include <memory>

#include "fault_support.h"

namespace kelbos::pairtest {
namespace {

const std::string RESET = "Connection reset by peer";

// Killed, the receiver's system resets a connection that still holds unread data and
// closes one that holds none; a UDP link's next datagram finds no port.
std::set<std::string> abort_errors(const Transport& t) {
    if (t.type == TRANSPORT_TCP) return {RESET, "Broken pipe", ""};
    return {"Connection refused", ""};
}

class EndKilled : public ::testing::TestWithParam<Transport> {};

TEST_P(EndKilled, TheReceiverFreesAKilledTransmittersLinkAndATransmitterReportsAKilledReceiver) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const Transport t = GetParam();
    const auto rx = start_receiver();
    const std::set<int> idle_fds = open_fds(rx->pid());

    const auto tx = start_transmitter({"--transport", t.option, "--delay", "5", "--msg-size", "1000"});
    ASSERT_TRUE(rx->wait_for([&] { return link_counts(*rx, 1); }, 20s)) << rx->out() << tx->err();
    // The link holds one socket (the stream, or the control connection of a UDP link).
    ASSERT_TRUE(holds_fds(*rx, idle_fds, 1));
    std::set<int> link_fds;
    std::ranges::set_difference(open_fds(rx->pid()), idle_fds, std::inserter(link_fds, link_fds.end()));
    ASSERT_EQ(link_fds.size(), 1u);

    // Killed (paced) after a tick while the receiver is held: what it reported waits.
    rx->send_signal(SIGSTOP);
    const std::size_t ticked = (tx->poll_output(), of_kind(json_events(*tx), "tick").size());
    ASSERT_TRUE(tx->wait_for([&] { return of_kind(json_events(*tx), "tick").size() > ticked; }, 10s));
    tx->send_signal(SIGKILL);
    EXPECT_EQ(tx->wait_exit(10s), 128 + SIGKILL);
    rx->send_signal(SIGCONT);
    // The killed transmitter's system closes its connection: the receiver reads the end
    // of the stream, also on a UDP link, and counts what waited for the link first.
    const int end = await_event(*rx, "link_end", 1, 20s);
    ASSERT_GE(end, 0);
    std::vector<QJsonObject> events = json_events(*rx);
    EXPECT_EQ(events[end]["reason"].toInt(), REASON_ABORTED);
    EXPECT_GE(bytes_of(events[end]), bytes_of(of_kind(json_events(*tx), "tick").back()));
    const QString row = events[end]["row"].toString();
    EXPECT_TRUE(names_loopback(row)) << row.toStdString();
    // The box goes to standard error right after the line.
    const std::string box = "connection to " + row.toStdString() +
                            " failed\nZERO length message received (EOF!) on socket " +
                            std::to_string(*link_fds.begin()) + ", shutting it down\n";
    rx->wait_for([&] { return rx->err().size() >= box.size(); }, 10s);
    EXPECT_EQ(rx->err(), box);
    EXPECT_TRUE(holds_fds(*rx, idle_fds)) << "the link's socket is closed";

    // While the stopped row is shown its ConnId stays taken: the next link gets 2.
    {
        const auto next = start_transmitter({"--time", "1", "--transport", t.option});
        EXPECT_EQ(next->wait_exit(30s), 0) << next->err();
    }
    ASSERT_GE(await_event(*rx, "link_end", 2, 10s), 0);

    // Fifteen ticks show the row stopped, the sixteenth (TOTAL ticks first) removes it.
    const int removed = await_event(*rx, "row_removed", 1, 40s);
    ASSERT_GT(removed, end) << rx->out();
    events = json_events(*rx);
    int total_ticks = 0, stopped_ticks = 0;
    for (int i = end + 1; i < removed; ++i) {
        if (events[i]["event"] != "tick") continue;
        if (events[i]["conn_id"].toInt() == 0) ++total_ticks;
        if (events[i]["conn_id"].toInt() == 1) {
            ++stopped_ticks;
            EXPECT_EQ(events[i]["protocol"].toString(), "Stopped");
        }
    }
    EXPECT_EQ(total_ticks, 16);
    EXPECT_EQ(stopped_ticks, 15);
    EXPECT_EQ(events[removed]["row"].toString(), row);

    // The next transmitter gets ConnId 1 again and transmits.
    const auto again = start_transmitter({"--time", "2", "--transport", t.option});
    EXPECT_EQ(again->wait_exit(30s), 0) << again->err();
    const int second_end = await_event(*rx, "link_end", 1, 10s, removed);
    ASSERT_GE(second_end, 0);
    events = json_events(*rx);
    EXPECT_EQ(events[second_end]["reason"].toInt(), REASON_NORMAL);
    EXPECT_GT(bytes_of(events[second_end]), 0u);
    for (const QJsonObject& tick : of_kind(json_events(*again), "tick"))
        EXPECT_EQ(tick["conn_id"].toInt(), 1);

    EXPECT_TRUE(holds_fds(*rx, idle_fds));
    EXPECT_TRUE(rx->running());

    // Now the receiver is killed under a transmitting kelbostx (on a ConnId past the
    // rows still shown).
    const auto last = start_transmitter({"--transport", t.option});
    ASSERT_TRUE(rx->wait_for(
        [&] {
            last->poll_output();
            const std::vector<QJsonObject> ticks = of_kind(json_events(*last), "tick");
            const int conn_id = ticks.empty() ? 0 : ticks.back()["conn_id"].toInt();
            return conn_id > 0 && link_counts(*rx, conn_id);
        },
        20s))
        << rx->out() << last->err();
    rx->send_signal(SIGKILL);
    EXPECT_EQ(rx->wait_exit(10s), 128 + SIGKILL);
    expect_headless_abort(*last, abort_errors(t));
}

INSTANTIATE_TEST_SUITE_P(Transports, EndKilled, BOTH_TRANSPORTS, PrintToStringParamName());

// The transmitter program object, in this process, against real receivers.
class ReceiverKilledUnderTheProgram : public FaultProgramTest {
protected:
    // Runs the program's event loop until the receiver's row for link 1 counts.
    static bool counting(ChildProcess& rx) {
        return txtest::pump_until(
            [&] {
                rx.poll_output();
                return link_counts(rx, 1);
            },
            20s);
    }
};

TEST_F(ReceiverKilledUnderTheProgram, GoIsEnabledAgainAndANewGoWorksOnceTheReceiverIsBack) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    auto p = make_program(Ports{}, files.write("three.klx", txtest::scene_text("300, 100, 0, 1, 3, 1\n")));
    for (const Transport& t : {TCP_LINK, UDP_LINK}) {
        SCOPED_TRACE(t.name);
        messages.texts.clear();
        auto rx = start_receiver();
        const int fds = count_open_fds();
        p->settings().transport = t.type;
        ASSERT_TRUE(go(*p));
        ASSERT_TRUE(counting(*rx)) << rx->out();

        ASSERT_NO_FATAL_FAILURE(
            expect_abort(*p, [&] { rx->send_signal(SIGKILL); }, abort_errors(t), fds, 20s));
        rx.reset();

        // The receiver restarts on the same ports; Go works again and Halt ends normally.
        rx = start_receiver();
        messages.texts.clear();
        ASSERT_TRUE(go(*p)) << (messages.texts.empty() ? "" : messages.texts[0]);
        EXPECT_EQ(txtest::menu_state(*p), txtest::MENU_TRANSMITTING);
        ASSERT_TRUE(counting(*rx)) << rx->out();
        ASSERT_TRUE(halt(*p));
        EXPECT_TRUE(messages.texts.empty()) << messages.texts[0];
        EXPECT_EQ(txtest::menu_state(*p), txtest::MENU_IDLE);
        ASSERT_FALSE(normal_link_end(*rx, 1).isEmpty());
        EXPECT_EQ(count_open_fds(), fds);
    }
}

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
    const auto tx = start_transmitter({"--time", "2", "--transport", "tcp"});
    EXPECT_EQ(tx->wait_exit(30s), 0) << tx->err();
    EXPECT_GT(bytes_of(normal_link_end(*rx, 3)), 0u);
    for (const QJsonObject& tick : of_kind(json_events(*tx), "tick")) EXPECT_EQ(tick["conn_id"].toInt(), 3);
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
    const auto tx = start_transmitter({"--transport", t.option});
    test::SetupPeer peer = accept_setup(rx.listener(t), accept_reply(4));
    ASSERT_TRUE(peer.connection) << tx->err();
    const auto request = decode_setup_request(peer.request);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->transport, t.type);
    EXPECT_EQ(request->kelbo_bytes, 2500000u);
    ASSERT_EQ(request->message_length, 32700u);
    ASSERT_NO_FATAL_FAILURE(take_data(t, rx, peer, 4, request->message_length));

    test::reset_connection(peer.connection);
    const AbortReport report = expect_headless_abort(*tx, {RESET});
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

        ASSERT_NO_FATAL_FAILURE(
            expect_abort(*p, [&] { test::reset_connection(peer.connection); }, {RESET}, fds, 10s));

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
