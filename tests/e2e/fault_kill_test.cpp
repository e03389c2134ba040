// SPDX-License-Identifier: Apache-2.0
// Either end of a running link killed (SIGKILL) over TCP and UDP: the transmitter
// under a live receiver, then that receiver under kelbostx; the receiver under the
// program object, which comes back to idle and starts again once the receiver is back.
#include <gtest/gtest.h>

#include <csignal>
#include <iterator>
#include <memory>

#include "fault_support.h"

namespace kelbos::pairtest {
namespace {

// Killed, the receiver's system resets a connection that still holds unread data and
// closes one that holds none; a UDP link's next datagram finds no port.
std::set<std::string> abort_errors(const Transport& t) {
    if (t.type == TRANSPORT_TCP) return {"Connection reset by peer", "Broken pipe", ""};
    return {"Connection refused", ""};
}

class EndKilled : public ::testing::TestWithParam<Transport> {};

TEST_P(EndKilled, TheReceiverFreesAKilledTransmittersLinkAndATransmitterReportsAKilledReceiver) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const Transport t = GetParam();
    const auto rx = start_receiver();
    const std::set<int> idle_fds = open_fds(rx->pid());

    ChildProcess tx(transmitter_binary(), {"--headless", "--json", "--go", "--transport", t.option},
                    KELBOS_SCENES_DIR);
    ASSERT_TRUE(rx->wait_for([&] { return link_counts(*rx, 1); }, 20s)) << rx->out() << tx.err();
    // The link holds one socket (the stream, or the control connection of a UDP link).
    ASSERT_TRUE(holds_fds(*rx, idle_fds, 1));
    std::set<int> link_fds;
    std::ranges::set_difference(open_fds(rx->pid()), idle_fds, std::inserter(link_fds, link_fds.end()));
    ASSERT_EQ(link_fds.size(), 1u);

    tx.send_signal(SIGKILL);
    EXPECT_EQ(tx.wait_exit(10s), 128 + SIGKILL);
    // The killed transmitter's system closes its connection: the receiver reads the end
    // of the stream, also on a UDP link.
    const int end = await_event(*rx, "link_end", 1, 20s);
    ASSERT_GE(end, 0);
    std::vector<QJsonObject> events = json_events(*rx);
    EXPECT_EQ(events[end]["reason"].toInt(), REASON_ABORTED);
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
        ChildProcess next(transmitter_binary(),
                          {"--headless", "--go", "--time", "1", "--transport", t.option}, KELBOS_SCENES_DIR);
        EXPECT_EQ(next.wait_exit(30s), 0) << next.err();
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
    ChildProcess again(transmitter_binary(),
                       {"--headless", "--json", "--go", "--time", "2", "--transport", t.option},
                       KELBOS_SCENES_DIR);
    EXPECT_EQ(again.wait_exit(30s), 0) << again.err();
    const int second_end = await_event(*rx, "link_end", 1, 10s, removed);
    ASSERT_GE(second_end, 0);
    events = json_events(*rx);
    EXPECT_EQ(events[second_end]["reason"].toInt(), REASON_NORMAL);
    EXPECT_GT(bytes_of(events[second_end]), 0u);
    for (const QJsonObject& tick : of_kind(json_events(again), "tick")) EXPECT_EQ(tick["conn_id"].toInt(), 1);

    EXPECT_TRUE(holds_fds(*rx, idle_fds));
    EXPECT_TRUE(rx->running());

    // Now the receiver is killed under a transmitting kelbostx (on a ConnId past the
    // rows still shown).
    ChildProcess last(transmitter_binary(), {"--headless", "--json", "--go", "--transport", t.option},
                      KELBOS_SCENES_DIR);
    ASSERT_TRUE(rx->wait_for(
        [&] {
            last.poll_output();
            const std::vector<QJsonObject> ticks = of_kind(json_events(last), "tick");
            const int conn_id = ticks.empty() ? 0 : ticks.back()["conn_id"].toInt();
            return conn_id > 0 && link_counts(*rx, conn_id);
        },
        20s))
        << rx->out() << last.err();
    rx->send_signal(SIGKILL);
    EXPECT_EQ(rx->wait_exit(10s), 128 + SIGKILL);
    expect_headless_abort(last, abort_errors(t));
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

        ASSERT_NO_FATAL_FAILURE(expect_abort(
            *p, [&] { rx->send_signal(SIGKILL); }, abort_errors(t), std::string("abort_report_") + t.name, fds,
            20s));
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
        ASSERT_GE(await_event(*rx, "link_end", 1, 10s), 0);
        EXPECT_EQ(of_kind(json_events(*rx), "link_end", 1)[0]["reason"].toInt(), REASON_NORMAL);
        EXPECT_EQ(count_open_fds(), fds);
    }
}

}  // namespace
}  // namespace kelbos::pairtest
