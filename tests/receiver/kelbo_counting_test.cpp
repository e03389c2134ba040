// SPDX-License-Identifier: Apache-2.0
// Colour slots, the counting of received chunks into records, and the placing of the
// kelbos they complete.
#include "receiver/counting/kelbo_counting.h"

#include <gtest/gtest.h>

#include <random>

#include "receiver/records/colour_slots.h"

using namespace kelbos;

namespace {

Scene scene_of(int points) {
    Scene scene;
    scene.point_count = points;
    scene.scene_loaded = true;
    return scene;
}

// A link set up as new_link leaves it: kelbo size, slot taken and held.
ConnId set_up(ConnectionTable& table, ColourSlots& colour_slots, std::uint32_t kelbo_bytes,
              const std::string& colour) {
    const ConnId c = table.take_free();
    table[c].kelbo_bytes = kelbo_bytes;
    table[c].colour_slot = colour_slots.alloc_colour_slot(colour);
    colour_slots[table[c].colour_slot].held = true;
    return c;
}

// The data handling as a loop over single kelbos, for comparison.
void reference_place(ConnectionTable& table, ConnId c, std::uint32_t bytes, Scene& scene, ColourSlots& cs) {
    ConnectionRecord& link = table[c];
    link.pending_bytes += bytes;
    link.bytes_received += bytes;
    table[0].bytes_received += bytes;
    if (link.kelbo_bytes == 0) return;
    while (link.pending_bytes >= link.kelbo_bytes) {
        link.pending_bytes -= link.kelbo_bytes;
        if (scene.next_point >= scene.point_count) scene.next_point = 0;
        if (scene.next_point == 0) cs.release_unheld();
        scene.points[scene.next_point].slot = link.colour_slot;
        ++scene.next_point;
    }
}

// A table, the default colour slot and a scene, as the data handler finds them.
class KelboCounting : public ::testing::Test {
protected:
    void SetUp() override { cs.set_default(); }
    ConnId link(std::uint32_t kelbo_bytes, const std::string& colour = "#800000") {
        return set_up(table, cs, kelbo_bytes, colour);
    }
    // A chunk as the data handler takes it: counted, then its kelbos placed.
    PlacedKelbos chunk(ConnId c, std::uint32_t bytes) {
        return place_kelbos(scene, cs, count_bytes(table, c, bytes), table[c].colour_slot);
    }

    ConnectionTable table;
    ColourSlots cs;
    Scene scene = scene_of(10);
};

}  // namespace

TEST(ColourSlots, DefaultSlotAllocationAndRestart) {
    ColourSlots cs;
    cs.set_default();
    EXPECT_TRUE(cs[0].in_use);
    EXPECT_TRUE(cs[0].held);
    EXPECT_EQ(cs[0].colours, (KelboColours{{0, 128, 0}, {0, 153, 0}, {0, 64, 0}}));

    EXPECT_EQ(cs.alloc_colour_slot("#0A0B0C"), 1);
    EXPECT_TRUE(cs[1].in_use);
    EXPECT_FALSE(cs[1].held);
    EXPECT_EQ(cs[1].colours, (KelboColours{{10, 11, 12}, {59, 59, 60}, {5, 5, 6}}));

    // Unreadable: the default slot, and the free slot stays free for the next link.
    EXPECT_EQ(cs.alloc_colour_slot("red"), 0);
    EXPECT_EQ(cs.alloc_colour_slot("#12"), 0);
    EXPECT_FALSE(cs[2].in_use);
    EXPECT_EQ(cs.alloc_colour_slot("#800000"), 2);

    for (int i = 3; i <= 10; ++i) EXPECT_EQ(cs.alloc_colour_slot("#FFFFFF"), i);
    EXPECT_EQ(cs.alloc_colour_slot("#FFFFFF"), 0);
    EXPECT_EQ(cs.colours_of(99), cs[0].colours);

    // A restart frees only unheld slots, and never the default.
    cs.reset();
    cs.set_default();
    cs[0].held = false;  // even unheld, slot 0 stays
    for (int i = 1; i <= 4; ++i) cs.alloc_colour_slot("#010203");
    cs[2].held = true;
    cs.release_unheld();
    EXPECT_TRUE(cs[0].in_use);
    EXPECT_FALSE(cs[1].in_use);
    EXPECT_TRUE(cs[2].in_use);
    EXPECT_FALSE(cs[3].in_use);
    EXPECT_FALSE(cs[4].in_use);
    // A freed slot is taken again first.
    EXPECT_EQ(cs.alloc_colour_slot("#00FF00"), 1);

    cs.reset();
    for (const ColourSlot& s : cs.entries) EXPECT_FALSE(s.in_use || s.held);
}

TEST_F(KelboCounting, TwoKelbosFromOneChunkKeepTheRest) {
    scene = scene_of(25);
    const ConnId c = link(1000);

    // The records count first, and say how many kelbos the chunk completed; the
    // picture has not moved.
    EXPECT_EQ(count_bytes(table, c, 2500), 2u);
    EXPECT_EQ(table[c].pending_bytes, 500u);
    EXPECT_EQ(table[c].bytes_received, 2500u);
    EXPECT_EQ(table[0].bytes_received, 2500u);
    EXPECT_EQ(scene.next_point, 0);
    PlacedKelbos placed = place_kelbos(scene, cs, 2, table[c].colour_slot);
    EXPECT_EQ(placed.count, 2u);
    EXPECT_TRUE(placed.restarted);  // the first kelbo starts the picture
    EXPECT_EQ(placed.first, 0);
    EXPECT_EQ(placed.last, 1);
    EXPECT_EQ(scene.next_point, 2);
    EXPECT_EQ(scene.points[0].slot, 1);
    EXPECT_EQ(scene.points[1].slot, 1);

    placed = chunk(c, 499);
    EXPECT_EQ(placed.count, 0u);
    EXPECT_EQ(placed.last, -1);
    EXPECT_EQ(scene.next_point, 2);
    EXPECT_EQ(table[c].pending_bytes, 999u);
    placed = chunk(c, 1);
    EXPECT_EQ(placed.count, 1u);
    EXPECT_FALSE(placed.restarted);
    EXPECT_EQ(placed.first, 2);
    EXPECT_EQ(placed.last, 2);
    EXPECT_EQ(table[c].pending_bytes, 0u);
    EXPECT_EQ(table[0].bytes_received, 3000u);
}

TEST_F(KelboCounting, FullPictureRestartsAtPositionZeroAndFreesUnheldSlots) {
    scene = scene_of(3);
    const ConnId a = link(10, "#0000FF");
    const ConnId b = link(10, "#FF0000");
    chunk(a, 20);
    chunk(b, 10);
    ASSERT_EQ(scene.next_point, 3);

    // Link a ends (its slot no longer held); b's kelbo 4 clears the picture.
    cs[table[a].colour_slot].held = false;
    const PlacedKelbos placed = chunk(b, 10);
    EXPECT_TRUE(placed.restarted);
    EXPECT_EQ(placed.first, 0);
    EXPECT_EQ(placed.last, 0);
    EXPECT_EQ(scene.next_point, 1);
    EXPECT_EQ(scene.points[0].slot, table[b].colour_slot);
    EXPECT_FALSE(cs[table[a].colour_slot].in_use);
    EXPECT_TRUE(cs[table[b].colour_slot].in_use);
}

TEST_F(KelboCounting, ZeroKelboSizeHugeCountsAndEmptyScenes) {
    const ConnId announced_zero = link(0);
    const PlacedKelbos placed = chunk(announced_zero, 150000);
    EXPECT_EQ(placed.count, 0u);
    EXPECT_EQ(scene.next_point, 0);
    EXPECT_EQ(table[announced_zero].bytes_received, 150000u);

    // A ConnId that was never set up: the bytes count, nothing is placed.
    EXPECT_EQ(count_bytes(table, 7, 100), 0u);
    EXPECT_EQ(table[7].bytes_received, 100u);
    EXPECT_EQ(table[0].bytes_received, 150100u);
    EXPECT_EQ(scene.next_point, 0);

    // Counters do not wrap at 32 bits.
    const ConnId huge = link(0xFFFFFFFFu);
    for (int i = 0; i < 3; ++i) chunk(huge, 0xFFFFFFFFu);
    EXPECT_EQ(table[huge].bytes_received, 3ull * 0xFFFFFFFFull);
    EXPECT_EQ(table[0].bytes_received, 150100u + 3ull * 0xFFFFFFFFull);
    EXPECT_EQ(scene.next_point, 3);
    EXPECT_EQ(table[huge].pending_bytes, 0u);

    // An empty scene restarts the picture with every kelbo.
    scene = scene_of(0);
    const ConnId c = link(1);
    PlacedKelbos next = chunk(c, 5);
    EXPECT_TRUE(next.restarted);
    EXPECT_EQ(scene.next_point, 1);

    // A new scene with fewer points than the picture held: the next kelbo is kelbo 0.
    scene.point_count = 4;
    scene.next_point = 9;
    next = chunk(c, 1);
    EXPECT_TRUE(next.restarted);
    EXPECT_EQ(next.last, 0);
    EXPECT_EQ(scene.next_point, 1);
}

// Chunks of any size, with links ending between them, leave exactly the state that
// placing one kelbo at a time leaves.
TEST_F(KelboCounting, SameAsOneKelboAtATime) {
    std::mt19937 random(12345);
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
    for (int round = 0; round < 300; ++round) {
        table = ConnectionTable{};
        cs = ColourSlots{};
        cs.set_default();
        scene = scene_of(1 + static_cast<int>(pick(12)));
        ConnectionTable table_b;
        ColourSlots cs_b;
        cs_b.set_default();
        Scene scene_b = scene;
        const std::uint32_t sizes[3] = {1 + pick(50), 1 + pick(50), 1 + pick(50)};
        for (int i = 0; i < 3; ++i) {
            const std::string colour = "#0" + std::to_string(i) + "0000";
            link(sizes[i], colour);
            set_up(table_b, cs_b, sizes[i], colour);
        }
        for (int step = 0; step < 40; ++step) {
            const ConnId c = static_cast<ConnId>(1 + pick(3));
            const std::uint32_t bytes = pick(700);
            if (pick(10) == 0) {
                cs[table[c].colour_slot].held = false;
                cs_b[table_b[c].colour_slot].held = false;
            }
            const int before = scene.next_point;
            const PlacedKelbos placed = chunk(c, bytes);
            reference_place(table_b, c, bytes, scene_b, cs_b);
            ASSERT_EQ(scene.next_point, scene_b.next_point);
            ASSERT_EQ(table[c].pending_bytes, table_b[c].pending_bytes);
            ASSERT_EQ(table[0].bytes_received, table_b[0].bytes_received);
            for (int p = 0; p < MAX_PTS; ++p) ASSERT_EQ(scene.points[p].slot, scene_b.points[p].slot);
            for (int s = 0; s < COLOUR_SLOT_COUNT; ++s) ASSERT_EQ(cs[s].in_use, cs_b[s].in_use);
            if (placed.count > 0) {
                ASSERT_EQ(placed.last, scene.next_point - 1);
                ASSERT_EQ(placed.first, placed.restarted ? 0 : before);
            }
        }
    }
}
