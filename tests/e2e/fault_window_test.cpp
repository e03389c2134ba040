// SPDX-License-Identifier: Apache-2.0
// A receiver that never reads after the setup (the window closes): the loop keeps
// turning, Halt gives up after its wait (program object and real kelbostx); a Go or
// halt waiting on its receiver never holds the loop, nor does a dialog.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <QAction>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QTimer>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "fault_support.h"
#include "link_peer.h"
#include "program_modal.h"
#include "shell/history_window.h"
#include "shell/loop_monitor.h"
#include "shell/rate_views.h"
#include "shell/row_widget.h"
#include "stall_meter.h"
#include "two_hosts.h"
#include "tx_fixture.h"

namespace kelbos::pairtest {
namespace {

int queued_bytes(int fd, unsigned long request) {
    int n = -1;
    return ::ioctl(fd, request, &n) == 0 ? n : -1;
}

int open_sockets() {
    int n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) n += fd.is_socket();
    return n;
}

// The largest gap between two turns of the event loop, as the monitor's exit line gives it.
std::int64_t loop_gap_ms(const LoopMonitor& monitor) {
    const QJsonDocument exit = QJsonDocument::fromJson(QByteArray::fromStdString(monitor.exit_event()));
    return exit.object()["max_loop_gap_ms"].toInteger();
}

const char* const HALT_TIMEOUT =
    "Error terminating TCP connection to localhost\nTimeout waiting for Shutdown ACK\n";

// The halt's wait for a writable socket: a short one, and the real one.
class ZeroWindowUnderTheProgram : public txtest::ProgramTest,
                                  public ::testing::WithParamInterface<std::chrono::milliseconds> {};

TEST_P(ZeroWindowUnderTheProgram, TheWindowKeepsAnsweringAndHaltTimesOutAfterItsWait) {
    test::ScriptedReceiver rx;
    auto p = make_program(rx.ports, files.write("three.klx", txtest::scene_text("300, 100, 0, 1, 3, 1\n")));
    const std::chrono::milliseconds wait = GetParam();
    TransmitterProgramPeer::loop(*p).link().set_wait(wait);
    p->settings().transport = TRANSPORT_TCP;
    const int sockets = open_sockets();  // the file dialog below leaves descriptors of its own
    auto setup = test::play_setup(rx.stream, accept_reply(1));
    ASSERT_TRUE(go(*p));
    const test::SetupPeer peer = setup.get();  // never reads again

    // The window closes: unread data on one side, unsent on the other, the loop waiting.
    ASSERT_TRUE(txtest::pump_until(
        [&] {
            return TransmitterProgramPeer::loop(*p).waiting_for_writable() &&
                   queued_bytes(TransmitterProgramPeer::loop(*p).link().data_fd(), SIOCOUTQ) > 0 &&
                   queued_bytes(peer.connection.fd(), FIONREAD) > 0;
        },
        10s));

    // Meanwhile the event loop turns: no gap between two turns reaches a second.
    {
        LoopMonitor monitor(now_ms());
        const auto until = std::chrono::steady_clock::now() + 1500ms;
        txtest::pump_until([&] { return std::chrono::steady_clock::now() >= until; }, 10s);
        EXPECT_LT(loop_gap_ms(monitor), 1000);
        RecordProperty("loop_gap_ms", std::to_string(loop_gap_ms(monitor)));
    }
    EXPECT_TRUE(TransmitterProgramPeer::loop(*p).transmitting());
    EXPECT_TRUE(TransmitterProgramPeer::loop(*p).waiting_for_writable());

    // Halt from the event loop, then the Rate History's file dialog: the halt waits its
    // full bound and gives up with the dialog still open.
    TransmitterProgramPeer::views(*p).open_history();
    QAction* save_as = nullptr;
    for (QAction* a : TransmitterProgramPeer::views(*p).history_window()->findChildren<QAction*>())
        if (a->text() == "Save &As...") save_as = a;
    ASSERT_TRUE(save_as);
    const auto asked = std::chrono::steady_clock::now();
    bool over_under_dialog = false;  // the dialog stays open until the halt is over, or late
    kelbos::testing::when_modal<QFileDialog>([&](QFileDialog& dialog) {
        over_under_dialog = txtest::pump_until([&] { return !TransmitterProgramPeer::loop(*p).transmitting(); }, wait + 3s);
        dialog.close();
    });
    QMetaObject::invokeMethod(
        p.get(),
        [&] {
            p->do_command(ID_HALT);
            save_as->trigger();
        },
        Qt::QueuedConnection);
    ASSERT_TRUE(wait_transmitting(*p, false, 20s));
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_TRUE(over_under_dialog);
    EXPECT_GE(took, wait - 10ms);
    EXPECT_LT(took, wait + 1s);
    RecordProperty("halt_ms",
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_EQ(messages.texts, std::vector<std::string>{HALT_TIMEOUT});
    EXPECT_EQ(txtest::menu_state(*p), txtest::MENU_IDLE);
    EXPECT_EQ(p->window().value_row().protocol(), "Stopped");
    EXPECT_EQ(TransmitLoopPeer::scheduled(TransmitterProgramPeer::loop(*p)), TransmitLoop::Wake::none);
    // The link's socket is closed; the hand-made receiver's end of it is still open.
    EXPECT_EQ(open_sockets(), sockets + 1);
}

INSTANTIATE_TEST_SUITE_P(Waits, ZeroWindowUnderTheProgram, ::testing::Values(1500ms, LINK_WAIT),
                         [](const auto& info) { return std::to_string(info.param.count()) + "ms"; });

// The real kelbostx --time halts after a second and gives up after its ten seconds.
TEST(ZeroWindow, TheRealTransmitterGivesUpTheHaltAfterTenSeconds) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    HandMadeReceiver rx;
    ASSERT_TRUE(rx.stream);
    const auto tx = start_transmitter({"--time", "1", "--transport", "tcp"});
    test::SetupPeer peer = accept_setup(rx.stream, accept_reply(1));
    ASSERT_TRUE(peer.connection) << tx->err();

    EXPECT_EQ(tx->wait_exit(40s), 1);
    EXPECT_EQ(tx->err(), std::string(HALT_TIMEOUT) + "\n");
    const std::vector<QJsonObject> ends = of_kind(json_events(*tx), "end");
    ASSERT_EQ(ends.size(), 1u) << tx->out();
    EXPECT_EQ(ends[0]["how"].toString(), "halt failed");
    // The halt began a second after start-up at the earliest, then waited ten seconds.
    const qint64 halt_ms = 1000, wait_ms = LINK_WAIT.count();
    EXPECT_GE(ends[0]["time_ms"].toInteger(), halt_ms + wait_ms);
    EXPECT_LT(ends[0]["time_ms"].toInteger(), halt_ms + wait_ms + 10000);
    RecordProperty("halt_failed_at_ms", std::to_string(ends[0]["time_ms"].toInteger()));

    // All the system accepted arrives once read, with no ShutdownRequest after it.
    Bytes rest;
    ASSERT_TRUE(test::read_to_end(peer.connection.fd(), rest));
    EXPECT_EQ(rest.size(), bytes_of(ends[0]));
    ASSERT_GE(rest.size(), SHUTDOWN_REQUEST_LEN);
    EXPECT_NE(Bytes(rest.end() - 3, rest.end()), (Bytes{1, MSG_SHUTDOWN_REQUEST, REASON_NORMAL}));
}

// A Go never answered and a halt never read each wait ten seconds: the loop turns, the
// row keeps its values, all but Exit is grayed, and Exit ends the wait at once.
class StalledUnderTheProgram : public txtest::ProgramTest, public ::testing::WithParamInterface<int> {};

TEST_P(StalledUnderTheProgram, TheEventLoopTurnsAndExitEndsTheWaitAtOnce) {
    const int command = GetParam();
    test::ScriptedReceiver rx;
    auto p = make_program(rx.ports, files.write("three.klx", txtest::scene_text("300, 100, 0, 1, 3, 1\n")));
    TransmitterProgramPeer::loop(*p).link().set_wait(LINK_WAIT);
    p->settings().transport = TRANSPORT_TCP;
    auto setup = test::play_setup(rx.stream, command == ID_HALT ? accept_reply(1) : Bytes{});
    // Before a halt: a Go, then a receiver that never reads again.
    ASSERT_TRUE(command != ID_HALT ||
                (go(*p) && txtest::pump_until([&] { return TransmitterProgramPeer::loop(*p).waiting_for_writable(); }, 10s)));

    LoopMonitor monitor(now_ms());
    const kelbos::testing::StallMeter machine;
    std::string menu_mid_halt;
    QString rate, protocol_mid_halt, rate_mid_halt;
    std::chrono::steady_clock::time_point exit_pressed;
    QMetaObject::invokeMethod(
        p.get(),
        [&] {
            QTimer::singleShot(2500ms, p.get(), [&] {
                menu_mid_halt = txtest::menu_state(*p);
                protocol_mid_halt = p->window().value_row().protocol();
                rate_mid_halt = p->window().value_row().rate_text();
                exit_pressed = std::chrono::steady_clock::now();
                p->do_command(ID_EXIT);
            });
            rate = p->window().value_row().rate_text();
            p->do_command(command);
        },
        Qt::QueuedConnection);
    ASSERT_TRUE(txtest::pump_until(
        [&] {
            return exit_pressed.time_since_epoch().count() != 0 && !TransmitterProgramPeer::loop(*p).opening() &&
                   !TransmitterProgramPeer::loop(*p).halting();
        },
        15s));
    EXPECT_LT(std::chrono::steady_clock::now() - exit_pressed, 1s);
    // Beyond what the whole machine stalled this process meanwhile.
    EXPECT_LT(loop_gap_ms(monitor), 100 + machine.max_gap_ms());
    RecordProperty("loop_gap_ms", std::to_string(loop_gap_ms(monitor)));
    RecordProperty("machine_stall_ms", std::to_string(machine.max_gap_ms()));
    EXPECT_EQ(menu_mid_halt, "0010000");
    EXPECT_EQ(protocol_mid_halt, command == ID_HALT ? "TCP" : "");
    EXPECT_EQ(rate_mid_halt, rate);
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_EQ(quit_statuses, std::vector<int>{0});
    EXPECT_FALSE(TransmitterProgramPeer::loop(*p).transmitting());
    EXPECT_FALSE(TransmitterLinkPeer::is_open(TransmitterProgramPeer::loop(*p).link()));
    Bytes rest;  // the receiver's end sees the connection closed
    EXPECT_TRUE(test::read_to_end(setup.get().connection.fd(), rest));
}

const auto go_or_halt = [](const auto& info) { return info.param == ID_GO ? "Go" : "Halt"; };
INSTANTIATE_TEST_SUITE_P(Waits, StalledUnderTheProgram, ::testing::Values(ID_GO, ID_HALT), go_or_halt);

// The real kelbostx stalled in its halt (never answered) or its Go (every packet
// dropped): SIGTERM, the way Exit goes, ends it within a second.
class StalledRealTransmitter : public ::testing::TestWithParam<int> {};

TEST_P(StalledRealTransmitter, EndsAtOnceWhenToldToAndItsLoopNeverStalls) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    const bool in_go = GetParam() == ID_GO;
    // What is sent to 198.51.100.2 goes to a MAC address that no interface has: lost.
    if (const std::string why = kelbos::testing::run_command(
            {"sh", "-c",
             "ip link add kbdrop type veth peer name kbsink && "
             "echo 1 >/proc/sys/net/ipv6/conf/kbdrop/disable_ipv6 && ip link set kbsink up && "
             "ip link set kbdrop up && ip addr add 198.51.100.1/24 dev kbdrop && "
             "ip neigh add 198.51.100.2 lladdr 02:00:00:00:00:02 dev kbdrop nud permanent"});
        !why.empty())
        GTEST_SKIP() << "needs a veth pair: " << why;
    HandMadeReceiver rx;
    ASSERT_TRUE(rx.stream);
    const kelbos::testing::StallMeter machine;
    const auto tx = start_transmitter({"--time", "1", "--transport", "tcp", "--delay", "10", "--receiver",
                                       in_go ? "198.51.100.2" : "localhost"});
    test::SetupPeer peer;
    if (!in_go) peer = accept_setup(rx.stream, accept_reply(1));
    ASSERT_TRUE(in_go || peer.connection) << tx->err();
    Bytes got;
    ASSERT_TRUE(tx->wait_for(
        [&] {
            // The Go's connect and its repetition are lost: the interface's packets sent.
            std::ifstream dev("/proc/net/dev");
            std::string word;
            while (in_go && dev >> word && word != "kbdrop:") {
            }
            std::uint64_t figures[10] = {};
            for (auto& figure : figures) dev >> figure;
            if (in_go) return figures[9] >= 2;
            test::drain(peer.connection.fd(), &got);
            return got.size() >= 3 && Bytes(got.end() - 3, got.end()) == Bytes{1, MSG_SHUTDOWN_REQUEST, 1};
        },
        20s));
    const auto asked = std::chrono::steady_clock::now();
    tx->send_signal(SIGTERM);
    EXPECT_EQ(tx->wait_exit(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    EXPECT_EQ(tx->err(), "") << "no box";
    const std::vector<QJsonObject> events = json_events(*tx);
    EXPECT_TRUE(of_kind(events, "end").empty());
    const auto exits = of_kind(events, "exit");
    ASSERT_EQ(exits.size(), 1u) << tx->out();
    // The largest gap of the whole run, start-up and set-up included.
    EXPECT_LT(exits[0]["max_loop_gap_ms"].toInteger(), 100 + machine.max_gap_ms());
    RecordProperty("max_loop_gap_ms", std::to_string(exits[0]["max_loop_gap_ms"].toInteger()));
}

INSTANTIATE_TEST_SUITE_P(Waits, StalledRealTransmitter, ::testing::Values(ID_GO, ID_HALT), go_or_halt);

}  // namespace
}  // namespace kelbos::pairtest
