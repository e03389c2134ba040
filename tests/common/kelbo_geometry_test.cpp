// SPDX-License-Identifier: Apache-2.0
#include "core/kelbo_geometry.h"

#include <gtest/gtest.h>

#include <climits>

using namespace kelbos;

namespace {
// The shape of the worked example scene (size 20, 20, 10 at 30, 150, 60 degrees).
constexpr KelboShape EXAMPLE_SHAPE{17, 8, -17, 8, 5};
}  // namespace

TEST(Geometry, FirstKelboOfTheExampleAndOtherAnglesUseTheSameCornersAndBox) {
    const Point2 o = kelbo_origin(ScenePoint{173, 173, 0}, 400);
    EXPECT_EQ(o, (Point2{173, 227}));
    const KelboFaces faces = kelbo_faces(EXAMPLE_SHAPE, o);
    EXPECT_EQ(faces.depth_side, (std::array<Point2, 4>{{{173, 227}, {156, 219}, {156, 224}, {173, 232}}}));
    EXPECT_EQ(faces.width_side, (std::array<Point2, 4>{{{173, 227}, {190, 219}, {190, 224}, {173, 232}}}));
    EXPECT_EQ(faces.top, (std::array<Point2, 4>{{{173, 227}, {156, 219}, {173, 211}, {190, 219}}}));
    EXPECT_EQ(kelbo_box(EXAMPLE_SHAPE, o), (KelboBox{156, 190, 211, 232}));

    // The picture follows the bottom edge.
    EXPECT_EQ(kelbo_origin(ScenePoint{173, 173, 0}, 480), (Point2{173, 307}));
    EXPECT_EQ(kelbo_origin(ScenePoint{-5, -10, 0}, 0), (Point2{-5, 10}));

    // Other angles: depth edge to the right, width edge to the left, negative height.
    // The formulas stand unchanged, and so does the box.
    const KelboShape other{-10, -3, 12, 4, -6};
    const KelboFaces turned = kelbo_faces(other, {100, 50});
    EXPECT_EQ(turned.depth_side, (std::array<Point2, 4>{{{100, 50}, {112, 46}, {112, 40}, {100, 44}}}));
    EXPECT_EQ(turned.width_side, (std::array<Point2, 4>{{{100, 50}, {90, 53}, {90, 47}, {100, 44}}}));
    EXPECT_EQ(turned.top, (std::array<Point2, 4>{{{100, 50}, {112, 46}, {102, 49}, {90, 53}}}));
    EXPECT_EQ(kelbo_box(other, {100, 50}), (KelboBox{112, 90, 49, 44}));
    // The corners themselves reach further than that box at this angle.
    EXPECT_EQ(corner_bounds(turned), (KelboBox{90, 112, 40, 53}));
}

TEST(Geometry, BoxMeetsUpdateRectangleStrictly) {
    const KelboBox box{156, 190, 211, 232};
    EXPECT_TRUE(box_meets(box, 0, 0, 640, 480));
    EXPECT_TRUE(box_meets(box, 189, 231, 300, 300));  // one pixel overlap each way
    EXPECT_TRUE(box_meets(box, 0, 0, 157, 212));
    EXPECT_FALSE(box_meets(box, 190, 0, 640, 480));    // touching the right edge
    EXPECT_FALSE(box_meets(box, 0, 0, 156, 480));      // touching the left edge
    EXPECT_FALSE(box_meets(box, 0, 232, 640, 480));    // touching the bottom
    EXPECT_FALSE(box_meets(box, 0, 0, 640, 211));      // touching the top
    EXPECT_FALSE(box_meets(box, 300, 300, 200, 200));  // an empty update rectangle
}

TEST(Geometry, ExtremePositionsStayInRange) {
    const KelboShape big{32767, 32767, -32768, 32767, -32768};
    for (const ScenePoint p : {ScenePoint{INT_MAX, INT_MIN, 0}, ScenePoint{INT_MIN, INT_MAX, 0}}) {
        for (int bottom : {INT_MIN, 0, INT_MAX}) {
            const Point2 o = kelbo_origin(p, bottom);
            const int limit = KELBO_ORIGIN_LIMIT;
            EXPECT_TRUE(o.x >= -limit && o.x <= limit && o.y >= -limit && o.y <= limit) << o.x << "," << o.y;
            const KelboBox box = kelbo_box(big, o);
            EXPECT_FALSE(box_meets(box, 0, 0, 640, 480));
            EXPECT_EQ(kelbo_faces(big, o).top[2].x, o.x - 1);
        }
    }
}

TEST(Colour, BrushColoursFollowTheRules) {
    const KelboColours red = kelbo_colours(DEFAULT_KELBO_COLOUR);
    EXPECT_EQ(red, (KelboColours{{128, 0, 0}, {153, 51, 51}, {64, 0, 0}}));
    EXPECT_EQ(colour_text(DEFAULT_KELBO_COLOUR), "#800000");

    EXPECT_EQ(kelbo_colours({255, 255, 255}),
              (KelboColours{{255, 255, 255}, {255, 255, 255}, {127, 127, 127}}));
    EXPECT_EQ(kelbo_colours({0, 1, 254}), (KelboColours{{0, 1, 254}, {51, 51, 254}, {0, 0, 127}}));

    // Slot 0 is fixed and is not what the rule gives for its base.
    EXPECT_EQ(DEFAULT_SLOT_COLOURS, (KelboColours{{0, 128, 0}, {0, 153, 0}, {0, 64, 0}}));
    EXPECT_EQ(kelbo_colours(DEFAULT_SLOT_COLOURS.base).light, (Rgb{51, 153, 51}));
}

TEST(Colour, TextIsReadAsThreeHexFields) {
    for (Rgb c : {Rgb{0, 0, 0}, Rgb{255, 255, 255}, Rgb{0x80, 0, 0}, Rgb{0x0A, 0xB1, 0xFE}}) {
        EXPECT_EQ(colour_text(c).size(), 7u);
        EXPECT_EQ(parse_colour_text(colour_text(c)), c) << colour_text(c);
    }
    EXPECT_EQ(colour_text({0x0A, 0xB1, 0xFE}), "#0AB1FE");
    EXPECT_EQ(parse_colour_text("#0ab1fe"), (Rgb{0x0A, 0xB1, 0xFE}));
    EXPECT_EQ(parse_colour_text("#12 34\t56"), (Rgb{0x12, 0x34, 0x56}));
    EXPECT_EQ(parse_colour_text("#1 2 3"), (Rgb{1, 2, 3}));
    EXPECT_EQ(parse_colour_text("#1234567 and more"), (Rgb{0x12, 0x34, 0x56}));
    EXPECT_EQ(parse_colour_text("#12345"), (Rgb{0x12, 0x34, 0x05}));

    // The '#' must come first; "#1234" has only two fields.
    using std::string;
    for (const string& bad : {string(""), string("#"), string("800000"), string(" #800000"), string("#1234"),
                              string("#80G000"), string("#80 00  "), string("#80\0" "000", 7)})
        EXPECT_EQ(parse_colour_text(bad), std::nullopt) << bad;
}
