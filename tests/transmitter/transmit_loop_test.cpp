// SPDX-License-Identifier: Apache-2.0
// The send loop against real receivers: kelbo accounting, pacing, slices, a full
// buffer, Halt, a quick Go after Halt, and ending the program mid-transmission.
#include "transmitter/app/transmit_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "link_peer.h"
#include "scripted_receiver.h"
#include "transmitter/app/settings.h"
#include "tx_fixture.h"

namespace kelbos {
namespace {

using txtest::pump_until;
using txtest::Receiver;
using namespace std::chrono_literals;

// Records what the loop asks of the rest of the program.
struct RecordingShell : TransmitShell {
    explicit RecordingShell(const ByteCounters& c) : counters(c) {}
    void set_transmitting(bool on) override { menu.push_back(on); }
    void rearm_picture() override { ++rearms; }
    void take_kelbos(std::uint64_t count) override { takes.insert(takes.end(), count, counters.total_bytes); }
    void row_start() override { ++row_starts; }
    void row_stop() override { ++row_stops; }
    void start_refused() override { ++refusals; }
    void transmission_ended(End how) override { ends.push_back(how); }

    const ByteCounters& counters;
    std::vector<bool> menu;
    std::vector<std::uint64_t> takes;  // total_bytes at each kelbo taken
    int rearms = 0, row_starts = 0, row_stops = 0, refusals = 0;
    std::vector<End> ends;
};

// Each kelbo goes with the send that completes it, never before: the k-th take comes
// once k kelbos' worth has gone, and by then every take that worth is due.
void expect_takes_on_time(const std::vector<std::uint64_t>& takes, std::uint64_t kelbo_bytes) {
    for (std::size_t k = 0; k < takes.size(); ++k) {
        EXPECT_GE(takes[k], (k + 1) * kelbo_bytes) << k;
        const auto done = std::upper_bound(takes.begin(), takes.end(), takes[k]) - takes.begin();
        EXPECT_EQ(static_cast<std::uint64_t>(done), takes[k] / kelbo_bytes) << k;
    }
}

class LoopTest : public ::testing::Test {
protected:
    LoopTest() { scene.scene_loaded = true; }

    void make(Ports ports, LoopOptions options = {}) {
        options.link.ports = ports;
        options.link.wait = 2s;
        loop = std::make_unique<TransmitLoop>(TransmitInputs{settings, scene, colour, host}, counters, shell,
                                              options);
    }
    // Go (or Halt), then the event loop until it is over: true when transmitting (or not).
    bool go() { return loop->start_transmit(), txtest::settled(*loop, true); }
    bool halt() { return loop->halt_transmit(), txtest::settled(*loop, false); }
    // Pumps until the loop is between two slices, its continuation queued.
    bool between_slices() {
        return pump_until(
            [&] { return counters.total_bytes > 0 && TransmitLoopPeer::scheduled(*loop) == TransmitLoop::Wake::queued; });
    }

    // Nothing more is sent, and no slice runs, while the posted events are handled.
    void expect_nothing_more_sent() {
        const std::uint64_t total = counters.total_bytes;
        const std::uint64_t slices = TransmitLoopPeer::slices(*loop);
        kelbos::test::pump_posted();
        kelbos::test::pump_posted();
        EXPECT_EQ(counters.total_bytes, total);
        EXPECT_EQ(TransmitLoopPeer::slices(*loop), slices);
    }

    CommSettings settings = init_defaults();
    Scene scene;
    std::string colour = "#800000";
    std::string host = "txhost";
    ByteCounters counters;
    RecordingShell shell{counters};
    txtest::MessageLog messages;
    std::unique_ptr<TransmitLoop> loop;
};

TEST(Backoff, PeriodsAfterAFullBuffer) {
    for (const auto& [count, ms] : {std::pair<std::uint32_t, std::uint64_t>{0, 2}, {1, 3}, {50, 52},
                                    {4294967294u, 4294967296u}, {4294967295u, 4}})
        EXPECT_EQ(backoff_ms(count), ms) << count;
}

// Kelbos taken as their messages go, then Halts between slices and quick Gos after
// them.
TEST_F(LoopTest, KelbosGoWithTheSendsThatCompleteThemAndHaltsStopWithinOneSlice) {
    Receiver rx;
    make(rx.ports());
    loop->start_transmit();
    EXPECT_TRUE(loop->opening() && shell.menu.empty() && shell.row_starts == 0) << "Go returns at once";
    ASSERT_TRUE(txtest::settled(*loop, true)) << (messages.texts.empty() ? "" : messages.texts[0]);
    EXPECT_EQ(shell.menu, std::vector<bool>{true});
    EXPECT_EQ(shell.rearms, 1);
    EXPECT_EQ(shell.row_starts, 1);
    ASSERT_TRUE(pump_until([&] { return shell.takes.size() >= 3; }));
    ASSERT_TRUE(halt());
    // 2500000 bytes a kelbo, 32700 a message; the remainder carries over.
    expect_takes_on_time(shell.takes, 2500000);
    EXPECT_EQ(counters.pending_bytes, counters.total_bytes - shell.takes.size() * 2500000);
    EXPECT_EQ(shell.ends, std::vector<TransmitShell::End>{TransmitShell::End::halted});
    EXPECT_EQ(shell.menu, (std::vector<bool>{true, false}));
    EXPECT_EQ(shell.row_stops, 1);
    EXPECT_TRUE(messages.texts.empty());
    ASSERT_TRUE(pump_until([&] { return !rx.ends().empty(); }));
    EXPECT_EQ(rx.ends()[0].second, REASON_NORMAL);

    // Go again.
    ASSERT_TRUE(go());
    ASSERT_TRUE(between_slices());
    // A Halt handled between two slices: at most one more slice runs, nothing more is sent.
    std::uint64_t slices = TransmitLoopPeer::slices(*loop);
    bool halted = false;
    const auto halt_now = [&] {
        loop->halt_transmit();
        halted = true;
    };
    QMetaObject::invokeMethod(loop.get(), halt_now, Qt::QueuedConnection);
    ASSERT_TRUE(pump_until([&] { return halted && !loop->halting(); }));
    EXPECT_LE(TransmitLoopPeer::slices(*loop) - slices, 1u);
    EXPECT_FALSE(loop->transmitting());
    EXPECT_EQ(TransmitLoopPeer::scheduled(*loop), TransmitLoop::Wake::none);
    expect_nothing_more_sent();
    // The continuation queued before the Halt is spent while the link closes; the new
    // run has one of its own.
    const std::uint64_t posts = TransmitLoopPeer::posts(*loop);
    slices = TransmitLoopPeer::slices(*loop);
    ASSERT_TRUE(go());
    EXPECT_NE(TransmitLoopPeer::scheduled(*loop), TransmitLoop::Wake::none);
    // Exactly one thing pending at every return to the event loop.
    bool one = true;
    ASSERT_TRUE(pump_until([&] {
        const int pending =
            (TransmitLoopPeer::running(*loop) ? 1 : 0) + (TransmitLoopPeer::scheduled(*loop) != TransmitLoop::Wake::none ? 1 : 0);
        one = one && pending == 1;
        return TransmitLoopPeer::slices(*loop) >= slices + 5;
    }));
    EXPECT_TRUE(one);
    EXPECT_LE(TransmitLoopPeer::posts(*loop) - posts, TransmitLoopPeer::slices(*loop) - slices + 1);

    // Halt and a quick Go with a delay: the stale continuation does not send.
    ASSERT_TRUE(between_slices());
    ASSERT_TRUE(halt());
    settings.delay_ms = 100000;
    ASSERT_TRUE(go());
    const std::uint64_t total = counters.total_bytes;
    kelbos::test::pump_posted();
    EXPECT_EQ(counters.total_bytes, total);
    EXPECT_EQ(TransmitLoopPeer::scheduled(*loop), TransmitLoop::Wake::wait);
    ASSERT_TRUE(halt());
}

TEST_F(LoopTest, DelaySendsOneMessagePerTick) {
    Receiver rx;
    settings.delay_ms = 50;
    settings.msg_size = 1000;
    make(rx.ports());
    ASSERT_TRUE(go());
    EXPECT_EQ(TransmitLoopPeer::scheduled(*loop), TransmitLoop::Wake::wait) << "the first message waits for the delay too";
    EXPECT_EQ(counters.total_bytes, 0u);
    ASSERT_TRUE(pump_until([&] { return rx.chunks() >= 4; }));
    ASSERT_TRUE(halt());
    // Every tick sent one message, and the receiver got each on its own.
    EXPECT_EQ(counters.total_bytes, TransmitLoopPeer::timer_wakes(*loop) * 1000);
    EXPECT_EQ(TransmitLoopPeer::slices(*loop), TransmitLoopPeer::timer_wakes(*loop));
    ASSERT_TRUE(pump_until([&] { return rx.bytes() == counters.total_bytes; }));
    EXPECT_EQ(rx.chunks(), TransmitLoopPeer::timer_wakes(*loop));
    // Arrival times are not checked: on a loaded machine delivery jitters, and the
    // counts above already show one message per tick.
    for (const test::MoreDataCall& chunk : rx.snapshot().more_data) EXPECT_EQ(chunk.bytes, 1000u);
}

// A message size, with the kelbo size in bytes and the socket buffer setting.
struct Sizes {
    std::uint32_t message, kelbo_bytes, sock_buf;
};
class LoopPathTest : public LoopTest,
                     public ::testing::WithParamInterface<std::tuple<SendPath, std::uint32_t, Sizes>> {};
INSTANTIATE_TEST_SUITE_P(Paths, LoopPathTest,
                         ::testing::Combine(::testing::Values(SendPath::copy, SendPath::copy_free),
                                            ::testing::Values(0u, 1u),
                                            ::testing::Values(Sizes{20000, 30000, 65535})));
// A message larger than a kelbo takes several at once: twelve, unpaced.
INSTANTIATE_TEST_SUITE_P(LargeMessages, LoopPathTest,
                         ::testing::Combine(::testing::Values(SendPath::copy, SendPath::copy_free),
                                            ::testing::Values(0u),
                                            ::testing::Values(Sizes{150000, 12500, 150000})));

TEST_P(LoopPathTest, StreamAndCountsAreThoseOfOneSendPerMessage) {
    test::ScriptedReceiver rx;
    const Sizes sizes = std::get<2>(GetParam());
    settings.transport = TRANSPORT_TCP;
    settings.msg_size = sizes.message;
    settings.delay_ms = std::get<1>(GetParam());
    settings.kelbo_size = 8 * sizes.kelbo_bytes;
    settings.sock_buf_size = sizes.sock_buf;
    LoopOptions options;
    options.link.send_path = std::get<0>(GetParam());
    options.full_buffer_wait = 60s;  // only writability can resume a loop held by a full buffer
    make(rx.ports, options);
    auto setup = test::play_setup(rx.stream, {5, 1, 0, 0});
    ASSERT_TRUE(go());
    test::SetupPeer peer = setup.get();
    test::Bytes stream;
    if (settings.delay_ms == 0) {
        // Unpaced against a receiver that does not read yet, the send buffer fills:
        // nothing is sent while it is full.
        ASSERT_TRUE(pump_until([&] { return loop->waiting_for_writable(); }));
        const std::uint64_t stuck_at = counters.total_bytes;
        EXPECT_EQ(TransmitLoopPeer::scheduled(*loop), TransmitLoop::Wake::wait);
        kelbos::test::pump_posted();
        EXPECT_EQ(counters.total_bytes, stuck_at) << "nothing is sent while the buffer is full";
        // The receiver reads: sending resumes on writability, not on the timer.
        ASSERT_TRUE(pump_until([&] {
            test::drain(peer.connection.fd(), &stream);
            return counters.total_bytes > stuck_at + 200000;
        }));
        EXPECT_GE(TransmitLoopPeer::writable_wakes(*loop), 1u);
        EXPECT_EQ(TransmitLoopPeer::timer_wakes(*loop), 0u);
    }
    ASSERT_TRUE(pump_until([&] {
        test::drain(peer.connection.fd(), &stream);
        return stream.size() > 300000;
    }));
    loop->abandon();
    EXPECT_FALSE(loop->waiting_for_writable());
    const test::Bytes rest = test::read_bytes(peer.connection.fd(), counters.total_bytes - stream.size());
    stream.insert(stream.end(), rest.begin(), rest.end());
    EXPECT_EQ(stream.size(), counters.total_bytes);
    // Each message, whole or cut short, starts with its id field 5, 0, 0, 0; then zeros.
    std::vector<std::size_t> pieces;
    for (std::uint8_t byte : stream) {
        ASSERT_TRUE(byte == 5 || (byte == 0 && !pieces.empty()));
        if (byte == 5) pieces.push_back(0);
        ++pieces.back();
    }
    EXPECT_LE(*std::max_element(pieces.begin(), pieces.end()), sizes.message);
    EXPECT_EQ(pieces.front(), sizes.message) << "the first message goes whole into the empty buffer";
    // Paced, every message is whole and goes alone, so each kelbo goes at the message
    // that completes it.
    expect_takes_on_time(shell.takes, sizes.kelbo_bytes);
    EXPECT_EQ(shell.takes.size(), counters.total_bytes / sizes.kelbo_bytes);
    if (settings.delay_ms != 0) {
        EXPECT_EQ(std::count(pieces.begin(), pieces.end(), sizes.message), std::ssize(pieces));
        std::vector<std::uint64_t> takes;
        std::uint64_t sum = 0;
        for (std::size_t piece : pieces)
            for (sum += piece; (takes.size() + 1) * sizes.kelbo_bytes <= sum;) takes.push_back(sum);
        EXPECT_EQ(shell.takes, takes);
    }
    EXPECT_EQ(counters.pending_bytes, counters.total_bytes % sizes.kelbo_bytes);
    EXPECT_EQ(TransmitterLinkPeer::sent_copy_free(loop->link()),
              std::get<0>(GetParam()) == SendPath::copy_free);
}

TEST_F(LoopTest, EndingTheProgramStopsAtOnceWithoutShutdownRequest) {
    test::ScriptedReceiver rx;
    make(rx.ports);
    auto setup = test::play_setup(rx.control, {4, 1, 0, 0});
    ASSERT_TRUE(go());
    test::SetupPeer peer = setup.get();
    ASSERT_TRUE(pump_until([&] { return counters.total_bytes > 0; }));
    loop->abandon();
    EXPECT_FALSE(loop->transmitting());
    EXPECT_EQ(TransmitLoopPeer::scheduled(*loop), TransmitLoop::Wake::none);
    expect_nothing_more_sent();
    EXPECT_TRUE(shell.ends.empty());
    // The control connection carries nothing more, not even at the end.
    loop.reset();
    EXPECT_TRUE(test::closed_silently(peer.connection.fd()));
}

}  // namespace
}  // namespace kelbos
