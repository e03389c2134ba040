// SPDX-License-Identifier: Apache-2.0
#include "receiver/records/connection_records.h"

#include <gtest/gtest.h>

#include "receiver/records/link_ledger.h"

using namespace kelbos;

TEST(ConnectionTable, HandsOutTheFirstFreeRecordKeepsDirtyOnesOutAndClearsFreedOnes) {
    ConnectionTable table;
    for (const auto& record : table.connections) EXPECT_EQ(record.row_state, RowState::free);
    EXPECT_EQ(static_cast<int>(RowState::live), 0);
    EXPECT_EQ(static_cast<int>(RowState::free), 1);
    EXPECT_EQ(static_cast<int>(RowState::dirty), 2);

    for (int c = 1; c <= 10; ++c) EXPECT_EQ(table.take_free(), c);
    EXPECT_EQ(table.take_free(), CONN_NONE_FREE);
    EXPECT_EQ(table[0].row_state, RowState::free);  // TOTAL is never handed out
    EXPECT_EQ(table.links_in_use(), 10);

    // An ended link keeps its id out of use until its row goes.
    table[4].row_state = RowState::dirty;
    EXPECT_EQ(table.take_free(), CONN_NONE_FREE);
    table.set_free(4);
    EXPECT_EQ(table.take_free(), 4);

    table.reset();
    EXPECT_EQ(table.links_in_use(), 0);
    const ConnId c = table.take_free();
    EXPECT_EQ(c, 1);

    // A freed record's fields are cleared; names are cut.
    ConnectionRecord& r = table[c];
    r.bytes_received = 5'000'000'000ull;  // past 32 bits: counters do not wrap
    r.pending_bytes = 7;
    set_peer_name(r, std::string(50, 'x'));
    EXPECT_EQ(r.peer_name, std::string(40, 'x'));
    set_peer_name(r, "host");
    EXPECT_EQ(r.peer_name, "host");
    EXPECT_EQ(r.bytes_received, 5'000'000'000ull);
    table.set_free(c);
    EXPECT_EQ(table[c].bytes_received, 0u);
    EXPECT_EQ(table[c].pending_bytes, 0u);
    EXPECT_TRUE(table[c].peer_name.empty());
}

TEST(ConnectionTable, GivesBackOnlyIdsThatNeverReachedNewLink) {
    ConnectionTable table;
    const ConnId a = table.take_free();
    const ConnId b = table.take_free();
    const ConnId c = table.take_free();
    EXPECT_TRUE(table.give_back(a));
    EXPECT_EQ(table[a].row_state, RowState::free);
    EXPECT_FALSE(table.give_back(a));  // already free

    // A record set up, or an ended one, is the rows' to free, not the engine's.
    table[b].set_up = true;
    EXPECT_FALSE(table.give_back(b));
    EXPECT_EQ(table[b].row_state, RowState::live);
    table[c].row_state = RowState::dirty;
    EXPECT_FALSE(table.give_back(c));
    EXPECT_FALSE(table.give_back(0));
    EXPECT_FALSE(table.give_back(CONN_NONE_FREE));

    // Record 0 is never freed, whatever is asked.
    table[0].row_state = RowState::live;
    table.set_free(0);
    EXPECT_EQ(table[0].row_state, RowState::live);

    EXPECT_EQ(table.take_free(), a);
}

// The ledger on its own, without a window: ConnIds, the end of a link and its
// countdown, and what each tick says.
TEST(LinkLedger, AnEndedLinkKeepsItsConnIdUntilItsRowGoesOnTheSixteenthTick) {
    LinkLedger ledger;
    EXPECT_EQ(ledger.alloc_conn_id(false), CONN_NONE_FREE);
    EXPECT_STREQ(ledger.allocation_refusal(), REFUSED_NO_SCENE);
    ledger.open_strip();
    const auto link = [&](const std::string& name) {
        const ConnId c = ledger.alloc_conn_id(true);
        EXPECT_TRUE(ledger.new_link(c, name, "#0000FF", TRANSPORT_TCP, 1000));
        return c;
    };
    const ConnId a = link("a");
    const ConnId b = link("b");
    ConnectionTable& table = ledger.table();
    table[b].bytes_received = 2500000;
    ledger.tick(1000);
    ASSERT_EQ(ledger.last_rate(b), 20.0f);

    // Ends of TOTAL, of no ConnId and of a free record change nothing.
    for (const ConnId c : {ConnId{0}, ConnId{11}, ConnId{5}})
        EXPECT_FALSE(ledger.end_link(c, REASON_ABORTED));
    EXPECT_EQ(table[0].row_state, RowState::live);
    EXPECT_EQ(table[5].row_state, RowState::free);
    EXPECT_EQ(table[a].row_state, RowState::live);

    EXPECT_TRUE(ledger.end_link(b, REASON_NORMAL));
    EXPECT_EQ(table[b].row_state, RowState::dirty);
    EXPECT_FALSE(ledger.colour_slots()[table[b].colour_slot].held);
    EXPECT_EQ(ledger.ended(), (std::map<int, std::uint64_t>{{REASON_NORMAL, 1}}));
    // Its ConnId stays out of use while the row is there.
    const ConnId d = ledger.alloc_conn_id(true);
    EXPECT_EQ(d, 3);
    ledger.release_conn_id(d);
    table[b].bytes_received += 1000000;
    for (int i = 0; i < 3; ++i) ledger.tick(1000);
    // A second end of the ended link is written and ignored.
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(ledger.end_link(b, REASON_ABORTED));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "shutdown_rcv: conn_id 2 which already marked dirty - ignoring\n");
    EXPECT_EQ(table[b].removal_countdown, 12);
    for (int i = 0; i < 12; ++i) ledger.tick(1000);
    EXPECT_EQ(ledger.ticks()[b]->rate, 20.0f);  // a stopped row keeps its rate
    EXPECT_EQ(ledger.ticks()[b]->state, RowState::dirty);
    EXPECT_EQ(table[b].removal_countdown, 0);
    EXPECT_EQ(ledger.alloc_conn_id(true), 3);
    ledger.release_conn_id(3);

    // The sixteenth tick: the row goes, in ConnId order after TOTAL's and a's ticks,
    // and its last tick with it.
    const std::vector<RowStep> steps = ledger.tick(1000);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_TRUE(steps[0].tick && steps[1].tick);
    EXPECT_EQ(steps[2].conn_id, b);
    EXPECT_FALSE(steps[2].tick);
    EXPECT_EQ(steps[2].removed_peer, "b");
    EXPECT_EQ(table[b].row_state, RowState::free);
    EXPECT_FALSE(ledger.ticks()[b]);
    EXPECT_EQ(ledger.alloc_conn_id(true), b);

    // Once the strip has gone, TOTAL ticks no more and a new link gets no row.
    ledger.close_strip();
    EXPECT_FALSE(ledger.new_link(3, "late", "#0000FF", TRANSPORT_TCP, 1000));
    EXPECT_EQ(ledger.tick(1000).size(), 1u);
}

TEST(DatagramStats, GapsBeyondTheWindowLateCopiesJitterAndStrays) {
    DatagramStats s, u, v;
    const std::uint64_t ms = 1000000;
    s.add(0, 0, 5 * ms);  // transit 5 ms, then 5, 0, 0 (copies left out)
    s.add(10000, 10 * ms, 15 * ms);
    EXPECT_EQ(s.lost(), 9999u);
    // 5: too old to tell, taken as late; strays (2^62, 2^64-1) move nothing else.
    for (std::uint64_t late : {5ul, 1ul << 62, 9000ul, UINT64_MAX, 9000ul, 10000ul}) s.add(late, 0, 0);
    EXPECT_EQ((std::vector{s.received(), s.lost(), s.out_of_order(), s.duplicates(), s.strays()}),
              (std::vector<std::uint64_t>{6, 9997, 2, 2, 2}));
    EXPECT_NEAR(s.loss_percent(), 100.0 * 9997 / 10001, 1e-9);
    // The window slides on; a wild send time and the change back leave the jitter alone.
    s.add(10001, 1ul << 62, 0);
    s.add(10002, 4, 7);
    EXPECT_NEAR(s.jitter_ms(), 5.0 / 16 * 15 / 16, 1e-9);  // |D| 0, 5, 0 ms, each taken in by 1/16
    EXPECT_EQ(s.lost(), 9997u);

    // A number a window behind or older is late and leaves alone the bit it shares.
    for (std::uint64_t n : {4096, 0, 20000, 10000, 18192}) u.add(n, 0, 0);  // 18192 shares 10000's bit
    EXPECT_EQ((std::vector{u.lost(), u.out_of_order(), u.duplicates()}),
              (std::vector<std::uint64_t>{19996, 3, 0}));

    // 0-49, a stray 2^62 in place of 50, 51 sent at a wild time, 52-99: only 50 is lost.
    for (std::uint64_t n = 0; n < 100; ++n) v.add(n == 50 ? 1ul << 62 : n, n == 51 ? 1ul << 62 : n, n + 5);
    EXPECT_EQ((std::vector{v.lost(), v.out_of_order(), v.strays()}), (std::vector<std::uint64_t>{1, 0, 1}));
    EXPECT_EQ(v.jitter_ms(), 0.0);
}
