// SPDX-License-Identifier: Apache-2.0
// Colour slots and the counting of received chunks into records and kelbos.
#include "kelbo_counting.h"

#include <gtest/gtest.h>

#include <random>

#include "colour_slots.h"

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

}  // namespace

TEST(ColourSlots, DefaultSlotAndAllocation) {
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
}

TEST(ColourSlots, RestartFreesOnlyUnheldSlotsAndNeverTheDefault) {
    ColourSlots cs;
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

TEST(KelboCounting, TwoKelbosFromOneChunkKeepTheRest) {
    ConnectionTable table;
    ColourSlots cs;
    cs.set_default();
    Scene scene = scene_of(25);
    const ConnId c = set_up(table, cs, 1000, "#800000");

    PlacedKelbos placed = count_and_place(table, c, 2500, scene, cs);
    EXPECT_EQ(placed.count, 2u);
    EXPECT_TRUE(placed.restarted);  // the first kelbo starts the picture
    EXPECT_EQ(placed.first, 0);
    EXPECT_EQ(placed.last, 1);
    EXPECT_EQ(table[c].pending_bytes, 500u);
    EXPECT_EQ(table[c].bytes_received, 2500u);
    EXPECT_EQ(table[0].bytes_received, 2500u);
    EXPECT_EQ(scene.next_point, 2);
    EXPECT_EQ(scene.points[0].slot, 1);
    EXPECT_EQ(scene.points[1].slot, 1);

    placed = count_and_place(table, c, 499, scene, cs);
    EXPECT_EQ(placed.count, 0u);
    EXPECT_EQ(table[c].pending_bytes, 999u);
    placed = count_and_place(table, c, 1, scene, cs);
    EXPECT_EQ(placed.count, 1u);
    EXPECT_FALSE(placed.restarted);
    EXPECT_EQ(placed.first, 2);
    EXPECT_EQ(placed.last, 2);
    EXPECT_EQ(table[c].pending_bytes, 0u);
    EXPECT_EQ(table[0].bytes_received, 3000u);
}

TEST(KelboCounting, FullPictureRestartsAtPositionZeroAndFreesUnheldSlots) {
    ConnectionTable table;
    ColourSlots cs;
    cs.set_default();
    Scene scene = scene_of(3);
    const ConnId a = set_up(table, cs, 10, "#0000FF");
    const ConnId b = set_up(table, cs, 10, "#FF0000");
    count_and_place(table, a, 20, scene, cs);
    count_and_place(table, b, 10, scene, cs);
    ASSERT_EQ(scene.next_point, 3);

    // Link a ends (its slot no longer held); b's kelbo 4 clears the picture.
    cs[table[a].colour_slot].held = false;
    const PlacedKelbos placed = count_and_place(table, b, 10, scene, cs);
    EXPECT_TRUE(placed.restarted);
    EXPECT_EQ(placed.first, 0);
    EXPECT_EQ(placed.last, 0);
    EXPECT_EQ(scene.next_point, 1);
    EXPECT_EQ(scene.points[0].slot, table[b].colour_slot);
    EXPECT_FALSE(cs[table[a].colour_slot].in_use);
    EXPECT_TRUE(cs[table[b].colour_slot].in_use);
}

TEST(KelboCounting, ZeroKelboSizeCountsAndPlacesNothing) {
    ConnectionTable table;
    ColourSlots cs;
    cs.set_default();
    Scene scene = scene_of(10);
    const ConnId announced_zero = set_up(table, cs, 0, "#800000");
    const PlacedKelbos placed = count_and_place(table, announced_zero, 150000, scene, cs);
    EXPECT_EQ(placed.count, 0u);
    EXPECT_EQ(scene.next_point, 0);
    EXPECT_EQ(table[announced_zero].bytes_received, 150000u);

    // A ConnId that was never set up: the bytes count, nothing is placed.
    count_and_place(table, 7, 100, scene, cs);
    EXPECT_EQ(table[7].bytes_received, 100u);
    EXPECT_EQ(table[0].bytes_received, 150100u);
    EXPECT_EQ(scene.next_point, 0);
}

TEST(KelboCounting, CountersDoNotWrapAt32Bits) {
    ConnectionTable table;
    ColourSlots cs;
    cs.set_default();
    Scene scene = scene_of(10);
    const ConnId c = set_up(table, cs, 0xFFFFFFFFu, "#800000");
    for (int i = 0; i < 3; ++i) count_and_place(table, c, 0xFFFFFFFFu, scene, cs);
    EXPECT_EQ(table[c].bytes_received, 3ull * 0xFFFFFFFFull);
    EXPECT_EQ(table[0].bytes_received, 3ull * 0xFFFFFFFFull);
    EXPECT_EQ(scene.next_point, 3);
    EXPECT_EQ(table[c].pending_bytes, 0u);
}

TEST(KelboCounting, EmptyOrShrunkSceneRestartsEveryTime) {
    ConnectionTable table;
    ColourSlots cs;
    cs.set_default();
    Scene scene = scene_of(0);
    const ConnId c = set_up(table, cs, 1, "#800000");
    PlacedKelbos placed = count_and_place(table, c, 5, scene, cs);
    EXPECT_TRUE(placed.restarted);
    EXPECT_EQ(scene.next_point, 1);

    // A new scene with fewer points than the picture held: the next kelbo is kelbo 0.
    scene.point_count = 4;
    scene.next_point = 9;
    placed = count_and_place(table, c, 1, scene, cs);
    EXPECT_TRUE(placed.restarted);
    EXPECT_EQ(placed.last, 0);
    EXPECT_EQ(scene.next_point, 1);
}

// Chunks of any size, with links ending between them, leave exactly the state that
// placing one kelbo at a time leaves.
TEST(KelboCounting, SameAsOneKelboAtATime) {
    std::mt19937 random(12345);
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
    for (int round = 0; round < 300; ++round) {
        ConnectionTable table_a, table_b;
        ColourSlots cs_a, cs_b;
        cs_a.set_default();
        cs_b.set_default();
        Scene scene_a = scene_of(1 + static_cast<int>(pick(12)));
        Scene scene_b = scene_a;
        const std::uint32_t sizes[3] = {1 + pick(50), 1 + pick(50), 1 + pick(50)};
        for (int i = 0; i < 3; ++i) {
            const std::string colour = "#0" + std::to_string(i) + "0000";
            set_up(table_a, cs_a, sizes[i], colour);
            set_up(table_b, cs_b, sizes[i], colour);
        }
        for (int step = 0; step < 40; ++step) {
            const ConnId c = static_cast<ConnId>(1 + pick(3));
            const std::uint32_t bytes = pick(700);
            if (pick(10) == 0) {
                cs_a[table_a[c].colour_slot].held = false;
                cs_b[table_b[c].colour_slot].held = false;
            }
            const int before = scene_a.next_point;
            const PlacedKelbos placed = count_and_place(table_a, c, bytes, scene_a, cs_a);
            reference_place(table_b, c, bytes, scene_b, cs_b);
            ASSERT_EQ(scene_a.next_point, scene_b.next_point);
            ASSERT_EQ(table_a[c].pending_bytes, table_b[c].pending_bytes);
            ASSERT_EQ(table_a[0].bytes_received, table_b[0].bytes_received);
            for (int p = 0; p < MAX_PTS; ++p) ASSERT_EQ(scene_a.points[p].slot, scene_b.points[p].slot);
            for (int s = 0; s < COLOUR_SLOT_COUNT; ++s) ASSERT_EQ(cs_a[s].in_use, cs_b[s].in_use);
            if (placed.count > 0) {
                ASSERT_EQ(placed.last, scene_a.next_point - 1);
                ASSERT_EQ(placed.first, placed.restarted ? 0 : before);
            }
        }
    }
}
