// SPDX-License-Identifier: Apache-2.0
// Either end of a running link killed outright (SIGKILL), with the real programs in a
// network namespace of their own: the transmitter under a live receiver, over TCP and
// over UDP; the receiver under a live transmitter, headless and with the transmitter
// program object, which must come back to idle and start again once the receiver is
// back.
#include <gtest/gtest.h>

#include <csignal>
#include <iterator>
#include <memory>

#include "fault_support.h"
#include "open_fds.h"
#include "status_row.h"
#include "tx_fixture.h"

namespace kelbos::pairtest {
namespace {

class TransmitterKilled : public ::testing::TestWithParam<Transport> {};

TEST_P(TransmitterKilled, TheReceiverEndsTheLinkRemovesItsRowAndGivesItsConnIdAgain) {
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
    // Killed, the transmitter's connection ends with an orderly close from its system:
    // the receiver reads the end of the stream, also on a UDP link, whose datagrams
    // simply stop.
    ASSERT_TRUE(rx->wait_for([&] { return find_event(json_events(*rx), "link_end", 1) >= 0; }, 20s));
    std::vector<QJsonObject> events = json_events(*rx);
    const int end = find_event(events, "link_end", 1);
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
    ASSERT_TRUE(rx->wait_for([&] { return find_event(json_events(*rx), "link_end", 2) >= 0; }, 10s));

    // The row goes on the sixteenth tick after the end: fifteen ticks show it stopped,
    // the sixteenth (TOTAL ticks first) removes it.
    ASSERT_TRUE(rx->wait_for([&] { return find_event(json_events(*rx), "row_removed", 1) >= 0; }, 40s))
        << rx->out();
    events = json_events(*rx);
    const int removed = find_event(events, "row_removed", 1);
    ASSERT_GT(removed, end);
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
    ASSERT_TRUE(rx->wait_for([&] { return find_event(json_events(*rx), "link_end", 1, removed) >= 0; }, 10s));
    events = json_events(*rx);
    const int second_end = find_event(events, "link_end", 1, removed);
    EXPECT_EQ(events[second_end]["reason"].toInt(), REASON_NORMAL);
    EXPECT_GT(bytes_of(events[second_end]), 0u);
    for (const QJsonObject& tick : of_kind(json_events(again), "tick")) EXPECT_EQ(tick["conn_id"].toInt(), 1);

    EXPECT_TRUE(holds_fds(*rx, idle_fds));
    EXPECT_TRUE(rx->running());
}

INSTANTIATE_TEST_SUITE_P(Transports, TransmitterKilled, ::testing::Values(TCP_LINK, UDP_LINK),
                         [](const auto& info) { return std::string(info.param.name); });

// Killed, the receiver's system resets a connection that still holds unread data and
// closes one that holds none; a UDP link's next datagram finds no port.
std::set<std::string> abort_errors(const Transport& t) {
    if (t.type == TRANSPORT_TCP) return {"Connection reset by peer", "Broken pipe", ""};
    return {"Connection refused", ""};
}

class ReceiverKilled : public ::testing::TestWithParam<Transport> {};

TEST_P(ReceiverKilled, TheHeadlessTransmitterReportsTheAbortAndEnds) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const Transport t = GetParam();
    const auto rx = start_receiver();
    ChildProcess tx(transmitter_binary(), {"--headless", "--json", "--go", "--transport", t.option},
                    KELBOS_SCENES_DIR);
    ASSERT_TRUE(rx->wait_for([&] { return link_counts(*rx, 1); }, 20s)) << rx->out() << tx.err();

    rx->send_signal(SIGKILL);
    EXPECT_EQ(rx->wait_exit(10s), 128 + SIGKILL);
    EXPECT_EQ(tx.wait_exit(30s), 1) << tx.err();
    const AbortReport report = split_abort_report(tx.err());
    check_abort_report(report, abort_errors(t));
    const std::vector<QJsonObject> ends = of_kind(json_events(tx), "end");
    ASSERT_EQ(ends.size(), 1u) << tx.out();
    EXPECT_EQ(ends[0]["how"].toString(), "aborted");
    EXPECT_GT(bytes_of(ends[0]), 0u);
    // A failed send leaves the send loop with its note.
    const bool send_failed = report.diagnostic.starts_with("send: ");
    EXPECT_EQ(tx.out().find("send_message: unscheduling the work proc\n") != std::string::npos, send_failed)
        << tx.out();
}

INSTANTIATE_TEST_SUITE_P(Transports, ReceiverKilled, ::testing::Values(TCP_LINK, UDP_LINK),
                         [](const auto& info) { return std::string(info.param.name); });

// The transmitter program object, in this process, against real receivers.
class ReceiverKilledUnderTheProgram : public txtest::ProgramTest {
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

        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        rx->send_signal(SIGKILL);
        const bool ended = wait_transmitting(*p, false, 20s);
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ended);
        ASSERT_EQ(messages.texts.size(), 1u);
        AbortReport report{err, messages.texts[0]};
        if (report.diagnostic.ends_with('\n')) report.diagnostic.pop_back();
        check_abort_report(report, abort_errors(t), std::string("abort_report_") + t.name);
        EXPECT_EQ(
            out, report.diagnostic.starts_with("send: ") ? "send_message: unscheduling the work proc\n" : "");
        // Idle again: Go and the settings enabled, Halt grayed, the row stopped, the
        // link's sockets closed, nothing scheduled.
        EXPECT_EQ(txtest::menu_state(*p), txtest::MENU_IDLE);
        EXPECT_EQ(p->window().value_row().protocol(), "Stopped");
        EXPECT_EQ(p->loop().scheduled(), TransmitLoop::Wake::none);
        EXPECT_EQ(count_open_fds(), fds);
        rx.reset();

        // The receiver restarts on the same ports; Go works again and Halt ends the
        // link normally.
        rx = start_receiver();
        messages.texts.clear();
        ASSERT_TRUE(go(*p)) << (messages.texts.empty() ? "" : messages.texts[0]);
        EXPECT_EQ(txtest::menu_state(*p), txtest::MENU_TRANSMITTING);
        ASSERT_TRUE(counting(*rx)) << rx->out();
        ASSERT_TRUE(halt(*p));
        EXPECT_TRUE(messages.texts.empty()) << messages.texts[0];
        EXPECT_EQ(txtest::menu_state(*p), txtest::MENU_IDLE);
        ASSERT_TRUE(rx->wait_for([&] { return find_event(json_events(*rx), "link_end", 1) >= 0; }, 10s));
        EXPECT_EQ(of_kind(json_events(*rx), "link_end", 1)[0]["reason"].toInt(), REASON_NORMAL);
        EXPECT_EQ(count_open_fds(), fds);
    }
}

}  // namespace
}  // namespace kelbos::pairtest
