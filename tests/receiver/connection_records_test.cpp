// SPDX-License-Identifier: Apache-2.0
#include "receiver/records/connection_records.h"

#include <gtest/gtest.h>

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

TEST(DatagramStats, GapsBeyondTheWindowLateCopiesJitterAndStrays) {
    DatagramStats s;
    const std::uint64_t ms = 1000000;
    s.add(0, 0, 5 * ms);  // transit 5 ms, then 5, 0, 0 (copies left out)
    s.add(10000, 10 * ms, 15 * ms);
    EXPECT_EQ(s.lost(), 9999u);
    for (std::uint64_t late : {5, 9000, 9000, 10000}) s.add(late, 0, 0);  // 5: too old to tell, taken as late
    EXPECT_EQ((std::vector{s.received(), s.lost(), s.out_of_order(), s.duplicates()}),
              (std::vector<std::uint64_t>{6, 9997, 2, 2}));
    EXPECT_NEAR(s.loss_percent(), 100.0 * 9997 / 10001, 1e-9);
    EXPECT_NEAR(s.jitter_ms(), 5.0 / 16 * 15 / 16, 1e-9);  // |D| 0, 5, 0 ms, each taken in by 1/16
    s.add(10001, 0, 0);                                    // the window slid on past the copies
    EXPECT_EQ(s.lost(), 9997u);

    // Strays (2^62, 2^64-1) and a wild send time move nothing else; a number a window
    // behind, or older, is late and leaves the bit of the recent number it shares alone.
    DatagramStats t, u;
    for (std::uint64_t n : {0ul, 1ul, 1ul << 62, UINT64_MAX}) t.add(n, n, n + 3);
    t.add(3, 1ul << 62, 0);
    t.add(4, 4, 7);
    for (std::uint64_t n : {4096, 0, 20000, 10000, 18192}) u.add(n, 0, 0);  // 18192 shares 10000's bit
    EXPECT_EQ((std::vector{t.received(), t.expected(), t.lost(), t.out_of_order(), t.strays(), u.lost(),
                           u.out_of_order(), u.duplicates()}),
              (std::vector<std::uint64_t>{4, 5, 1, 0, 2, 19996, 3, 0}));
    EXPECT_EQ(t.jitter_ms(), 0.0);
}
