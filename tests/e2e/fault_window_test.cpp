// A receiver that answers the setup and then never reads (the TCP window closes): the
// transmitter's event loop keeps turning while its socket is full, Halt is handled at
// once, and the halt gives up after its wait with "Timeout waiting for Shutdown ACK":
// with a short wait in the program object, and once with the real ten seconds in the
// real kelbostx.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <QMetaObject>
#include <QTimer>
#include <csignal>

#include "fault_support.h"
#include "loop_monitor.h"
#include "stall_meter.h"
#include "status_row.h"
#include "tx_fixture.h"

namespace kelbos::pairtest {
namespace {

int queued_bytes(int fd, unsigned long request) {
    int n = -1;
    return ::ioctl(fd, request, &n) == 0 ? n : -1;
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
    p->loop().link().set_wait(wait);
    p->settings().transport = TRANSPORT_TCP;
    const int fds = count_open_fds();
    auto setup = test::play_setup(rx.stream, accept_reply(1));
    p->do_command(ID_GO);
    const test::SetupPeer peer = setup.get();  // never reads again
    ASSERT_TRUE(p->loop().transmitting());

    // The window closes: the receiver holds unread data, the transmitter unsent data,
    // and the send loop waits for its socket to take more.
    ASSERT_TRUE(txtest::pump_until(
        [&] {
            return p->loop().waiting_for_writable() &&
                   queued_bytes(p->loop().link().data_fd(), SIOCOUTQ) > 0 &&
                   queued_bytes(peer.connection.fd(), FIONREAD) > 0;
        },
        10s));

    // Meanwhile the event loop turns: no gap between two turns reaches a second.
    {
        LoopMonitor monitor(now_ms());
        const auto until = std::chrono::steady_clock::now() + 1500ms;
        txtest::pump_until([&] { return std::chrono::steady_clock::now() >= until; }, 10s);
        EXPECT_LT(monitor.max_gap_ms(), 1000u);
        RecordProperty("loop_gap_ms", std::to_string(monitor.max_gap_ms()));
    }
    EXPECT_TRUE(p->loop().transmitting());
    EXPECT_TRUE(p->loop().waiting_for_writable());

    // Halt, asked from the event loop as the menu asks it: handled at once, then the
    // halt waits its full bound for a writable socket and gives up.
    const auto asked = std::chrono::steady_clock::now();
    QMetaObject::invokeMethod(
        p.get(), [&] { p->do_command(ID_HALT); }, Qt::QueuedConnection);
    ASSERT_TRUE(wait_transmitting(*p, false, 10s));
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_GE(took, wait - 10ms);
    EXPECT_LT(took, wait + 1s);
    RecordProperty("halt_ms",
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_EQ(messages.texts, std::vector<std::string>{HALT_TIMEOUT});
    EXPECT_EQ(txtest::menu_state(*p), txtest::MENU_IDLE);
    EXPECT_EQ(p->window().value_row().protocol(), "Stopped");
    EXPECT_EQ(p->loop().scheduled(), TransmitLoop::Wake::none);
    // The link's socket is closed; the hand-made receiver's end of it is still open.
    EXPECT_EQ(count_open_fds(), fds + 1);
}

INSTANTIATE_TEST_SUITE_P(Waits, ZeroWindowUnderTheProgram, ::testing::Values(1500ms, LINK_WAIT),
                         [](const auto& info) { return std::to_string(info.param.count()) + "ms"; });

// The real program: kelbostx --time halts after a second; the halt cannot send its
// request into the full socket and gives up after its ten seconds.
TEST(ZeroWindow, TheRealTransmitterGivesUpTheHaltAfterTenSeconds) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    HandMadeReceiver rx;
    ASSERT_TRUE(rx.stream);
    ChildProcess tx(transmitter_binary(),
                    {"--headless", "--json", "--go", "--time", "1", "--transport", "tcp"}, KELBOS_SCENES_DIR);
    test::SetupPeer peer = accept_setup(rx.stream, accept_reply(1));
    ASSERT_TRUE(peer.connection) << tx.err();

    EXPECT_EQ(tx.wait_exit(40s), 1);
    EXPECT_EQ(tx.err(), std::string(HALT_TIMEOUT) + "\n");
    const std::vector<QJsonObject> events = json_events(tx);
    const std::vector<QJsonObject> ends = of_kind(events, "end");
    ASSERT_EQ(ends.size(), 1u) << tx.out();
    EXPECT_EQ(ends[0]["how"].toString(), "halt failed");
    // The halt began a second after start-up at the earliest, then waited its ten
    // seconds (exactly so in the test above; here with a start-up of any length).
    const qint64 halt_ms = 1000, wait_ms = LINK_WAIT.count();
    EXPECT_GE(ends[0]["time_ms"].toInteger(), halt_ms + wait_ms);
    EXPECT_LT(ends[0]["time_ms"].toInteger(), halt_ms + wait_ms + 10000);
    RecordProperty("halt_failed_at_ms", std::to_string(ends[0]["time_ms"].toInteger()));

    // Everything the transmitter's system accepted still arrives once the receiver
    // reads, and no ShutdownRequest follows it: there was never room for one.
    Bytes rest;
    ASSERT_TRUE(test::read_to_end(peer.connection.fd(), rest));
    EXPECT_EQ(rest.size(), bytes_of(ends[0]));
    ASSERT_GE(rest.size(), SHUTDOWN_REQUEST_LEN);
    EXPECT_NE(Bytes(rest.end() - 3, rest.end()), (Bytes{1, MSG_SHUTDOWN_REQUEST, REASON_NORMAL}));
}

// A halt against a receiver that has stopped reading waits its ten seconds for room
// for the request; meanwhile the event loop turns, the row keeps its values, every
// command but Exit is grayed, and Exit ends it at once without a box.
TEST_F(ZeroWindowUnderTheProgram, HaltTurnsTheEventLoopAndExitEndsItAtOnce) {
    test::ScriptedReceiver rx;
    auto p = make_program(rx.ports, files.write("three.klx", txtest::scene_text("300, 100, 0, 1, 3, 1\n")));
    p->loop().link().set_wait(LINK_WAIT);
    p->settings().transport = TRANSPORT_TCP;
    auto setup = test::play_setup(rx.stream, accept_reply(1));
    p->do_command(ID_GO);
    const test::SetupPeer peer = setup.get();  // never reads again
    ASSERT_TRUE(txtest::pump_until([&] { return p->loop().waiting_for_writable(); }, 10s));

    LoopMonitor monitor(now_ms());
    const kelbos::testing::StallMeter machine;
    std::string menu_mid_halt;
    QString rate, protocol_mid_halt, rate_mid_halt;
    std::chrono::steady_clock::time_point exit_pressed, halt_returned;
    QMetaObject::invokeMethod(
        p.get(),
        [&] {
            QTimer::singleShot(2500ms, p.get(), [&] {
                menu_mid_halt = txtest::menu_state(*p);
                protocol_mid_halt = p->value_row().row().protocol();
                rate_mid_halt = p->value_row().row().rate_text();
                exit_pressed = std::chrono::steady_clock::now();
                p->do_command(ID_EXIT);
            });
            rate = p->value_row().row().rate_text();
            p->do_command(ID_HALT);
            halt_returned = std::chrono::steady_clock::now();
        },
        Qt::QueuedConnection);
    ASSERT_TRUE(txtest::pump_until([&] { return halt_returned.time_since_epoch().count() != 0; }, 15s));
    EXPECT_LT(halt_returned - exit_pressed, 1s);
    // Beyond what the whole machine stalled this process meanwhile.
    EXPECT_LT(static_cast<std::int64_t>(monitor.max_gap_ms()), 100 + machine.max_gap_ms());
    RecordProperty("loop_gap_ms", std::to_string(monitor.max_gap_ms()));
    RecordProperty("machine_stall_ms", std::to_string(machine.max_gap_ms()));
    EXPECT_EQ(menu_mid_halt, "0010000");
    EXPECT_EQ(protocol_mid_halt, "TCP");
    EXPECT_EQ(rate_mid_halt, rate);
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_EQ(quit_statuses, std::vector<int>{0});
    EXPECT_FALSE(p->loop().transmitting());
    EXPECT_FALSE(p->loop().link().is_open());
}

// The real program, headless: its halt has sent the request to a receiver that reads
// everything and never answers; SIGTERM, the way Exit goes, ends it within a second.
TEST(StalledHalt, TheRealTransmitterEndsAtOnceWhenToldToDuringItsHalt) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    HandMadeReceiver rx;
    ASSERT_TRUE(rx.stream);
    const kelbos::testing::StallMeter machine;
    ChildProcess tx(transmitter_binary(),
                    {"--headless", "--json", "--go", "--time", "1", "--transport", "tcp", "--delay", "10"},
                    KELBOS_SCENES_DIR);
    test::SetupPeer peer = accept_setup(rx.stream, accept_reply(1));
    ASSERT_TRUE(peer.connection) << tx.err();
    Bytes got;
    ASSERT_TRUE(tx.wait_for(
        [&] {
            test::drain(peer.connection.fd(), &got);
            return got.size() >= 3 && Bytes(got.end() - 3, got.end()) == Bytes{1, MSG_SHUTDOWN_REQUEST, 1};
        },
        20s));
    const auto asked = std::chrono::steady_clock::now();
    tx.send_signal(SIGTERM);
    EXPECT_EQ(tx.wait_exit(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    EXPECT_EQ(tx.err(), "") << "no box";
    const std::vector<QJsonObject> events = json_events(tx);
    EXPECT_TRUE(of_kind(events, "end").empty());
    const auto exits = of_kind(events, "exit");
    ASSERT_EQ(exits.size(), 1u) << tx.out();
    // The largest gap of the whole run, start-up and set-up included.
    EXPECT_LT(exits[0]["max_loop_gap_ms"].toInteger(), 100 + machine.max_gap_ms());
    RecordProperty("max_loop_gap_ms", std::to_string(exits[0]["max_loop_gap_ms"].toInteger()));
}

}  // namespace
}  // namespace kelbos::pairtest
