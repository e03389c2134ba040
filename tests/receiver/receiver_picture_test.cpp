// SPDX-License-Identifier: Apache-2.0
// The receiver's picture on the canvas: kelbos placed by received data, in file order
// and in their link's colour; the restart of a full picture; the default green.
#include "receiver/app/receiver_picture.h"

#include <gtest/gtest.h>

#include <QImage>
#include <random>

#include "core/kelbo_geometry.h"
#include "receiver_rig.h"
#include "shell/kelbo_canvas.h"
#include "shell/scene_commands.h"

using namespace kelbos;
using namespace kelbos::test;

namespace {

// Three kelbos side by side, apart from each other, low in the picture.
constexpr const char* THREE_KELBOS =
    "set kelbo\nrot 30, 150, 60\nsize 40, 40, 30\nspace 44, 44, 34\nset points\n"
    "250, 50, 0\n450, 150, 0\n500, 0, 0\n";

QColor qcolour(Rgb c) {
    return QColor(c.r, c.g, c.b);
}

struct Probe {
    QColor top;    // the middle of the top face
    QColor width;  // the middle of the width side
};

Probe probe(ReceiverRig& rig, int index) {
    KelboCanvas* canvas = rig.program().canvas();
    const QImage& image = canvas->image();
    const Scene& scene = rig.program().scene();
    const Point2 o = kelbo_origin(scene.points[index], canvas->client_bottom());
    const KelboShape& s = scene.shape;
    return {image.pixelColor(o.x + (s.depth_dx + s.width_dx) / 2, o.y - (s.depth_dy + s.width_dy) / 2),
            image.pixelColor(o.x + s.width_dx / 2, o.y + s.height_dy / 2 - s.width_dy / 2)};
}

}  // namespace

TEST(ReceiverPicture, KelbosFillInFileOrderTheNextFullPictureStartsAgainAndNoSceneDrawsUntilARedraw) {
    TempScene file(THREE_KELBOS);
    ReceiverRig rig({.scene = file.path()});
    ASSERT_TRUE(rig.program().scene().scene_loaded);
    ASSERT_EQ(rig.program().scene().point_count, 3);
    const ConnId blue = rig.link("blue", TRANSPORT_TCP, 1000, "#0000FF");
    const ConnId red = rig.link("red", TRANSPORT_UDP, 1000, "#FF0000");
    const KelboColours blues = kelbo_colours({0, 0, 255});
    const KelboColours reds = kelbo_colours({255, 0, 0});

    for (int i = 0; i < 3; ++i) EXPECT_EQ(probe(rig, i).top, QColor(Qt::black)) << i;
    rig.data(blue, 2500);
    EXPECT_EQ(probe(rig, 0).top, qcolour(blues.light));
    EXPECT_EQ(probe(rig, 0).width, qcolour(blues.base));
    EXPECT_EQ(probe(rig, 1).width, qcolour(blues.base));
    EXPECT_EQ(probe(rig, 2).top, QColor(Qt::black));
    rig.data(red, 1000);
    EXPECT_EQ(probe(rig, 2).width, qcolour(reds.base));
    EXPECT_EQ(rig.program().scene().next_point, 3);

    // The full picture stays until the next kelbo's bytes: blue's 500 kept plus 500.
    rig.data(blue, 499);
    EXPECT_EQ(probe(rig, 2).width, qcolour(reds.base));
    rig.data(blue, 1);
    EXPECT_EQ(rig.program().scene().next_point, 1);
    EXPECT_EQ(probe(rig, 0).width, qcolour(blues.base));
    EXPECT_EQ(probe(rig, 1).width, QColor(Qt::black));
    EXPECT_EQ(probe(rig, 2).width, QColor(Qt::black));
    rig.data(red, 1000);
    EXPECT_EQ(probe(rig, 1).top, qcolour(reds.light));

    // Without a scene, data still counts and kelbos are drawn, until a redraw.
    TempScene bad("set kelbo\nrot 1, 2\n");
    EXPECT_FALSE(load_chosen_scene(rig.program().scene(), bad.path()));
    rig.program().canvas()->invalidate_all();
    EXPECT_EQ(probe(rig, 0).width, QColor(Qt::black));
    // The kelbo placed now is drawn at once, at the old point, over the black; a
    // redraw of the whole area shows only the background again.
    rig.data(blue, 1000);
    EXPECT_EQ(rig.program().scene().next_point, 3);
    EXPECT_EQ(rig.table()[blue].bytes_received, 4000u);
    EXPECT_EQ(probe(rig, 2).width, qcolour(blues.base));
    EXPECT_EQ(probe(rig, 0).width, QColor(Qt::black));
    rig.program().canvas()->invalidate_all();
    EXPECT_EQ(probe(rig, 2).width, QColor(Qt::black));

    // A good scene again: the kelbos placed meanwhile are there.
    ASSERT_TRUE(load_chosen_scene(rig.program().scene(), file.path()));
    rig.program().canvas()->invalidate_all();
    EXPECT_NE(probe(rig, 2).width, QColor(Qt::black));
}

TEST(ReceiverPicture, LinkWithoutAFreeSlotDrawsInTheDefaultGreenAndZeroKelboSizesOrStrayIdsPlaceNothing) {
    TempScene file(THREE_KELBOS);
    ReceiverRig rig({.scene = file.path()});
    // Ten links come and go before the picture restarts: their slots stay in use.
    for (int i = 1; i <= 10; ++i) {
        ASSERT_EQ(rig.link("p", TRANSPORT_TCP, 1000, "#0000FF"), i);
        EXPECT_EQ(rig.table()[i].colour_slot, i);
        rig.program().shutdown_rcv(static_cast<ConnId>(i), REASON_NORMAL, "Remote shutdown request");
    }
    rig.ticks(16);
    const ConnId late = rig.link("late", TRANSPORT_TCP, 1000, "#FF00FF");
    EXPECT_EQ(rig.table()[late].colour_slot, 0);
    rig.data(late, 1000);
    EXPECT_EQ(probe(rig, 0).top, QColor(0, 153, 0));
    EXPECT_EQ(probe(rig, 0).width, QColor(0, 128, 0));
    // That first kelbo restarted the picture and freed the ten slots.
    for (int i = 1; i <= 10; ++i) EXPECT_FALSE(rig.ledger().colour_slots()[i].in_use);
    const ConnId next = rig.link("next", TRANSPORT_TCP, 1000, "#FF00FF");
    EXPECT_EQ(rig.table()[next].colour_slot, 1);

    // A zero kelbo size and stray ids place nothing.
    const ConnId zero = rig.link("zero", TRANSPORT_TCP, 0);
    rig.data(zero, 150000);
    EXPECT_EQ(rig.table()[zero].bytes_received, 150000u);
    EXPECT_EQ(rig.program().scene().next_point, 1);
    rig.data(9, 700);  // not set up
    EXPECT_EQ(rig.table()[9].bytes_received, 700u);
    EXPECT_EQ(rig.table()[0].bytes_received, 151700u);
    EXPECT_EQ(rig.program().scene().next_point, 1);

    ::testing::internal::CaptureStdout();
    rig.data(0, 10);
    rig.data(11, 10);
    rig.data(-1, 10);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "more_data: entered with conn_id=0.  Ignored.\n"
              "more_data: entered with conn_id=11.  Ignored.\n"
              "more_data: entered with conn_id=-1.  Ignored.\n");
    EXPECT_EQ(rig.table()[0].bytes_received, 151700u);
}

// Kelbos drawn one area at a time, overlapping in the shipped scene, come out as a
// redraw of the whole picture draws them.
TEST(ReceiverPicture, DrawingAsItComesEqualsDrawingItAll) {
    ReceiverRig rig;
    ASSERT_GT(rig.program().scene().point_count, 100);
    const ConnId a = rig.link("a", TRANSPORT_TCP, 100, "#C08040");
    const ConnId b = rig.link("b", TRANSPORT_UDP, 70, "#4080C0");
    std::mt19937 random(7);
    KelboCanvas* canvas = rig.program().canvas();
    for (int round = 0; round < 40; ++round) {
        rig.data(round % 2 ? a : b, static_cast<std::uint32_t>(random() % 3000));
        if (round % 8 != 7) continue;
        const QImage incremental = canvas->image().copy();
        canvas->invalidate_all();
        ASSERT_EQ(incremental, canvas->image()) << "round " << round;
    }
    EXPECT_GT(rig.program().scene().next_point, 0);
}
