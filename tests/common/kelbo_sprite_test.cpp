// SPDX-License-Identifier: Apache-2.0
// Kelbos copied from a ready-drawn image give the very pixels that drawing their
// faces gives, for any shape, position and clipping; the sprite store hands out one
// sprite per shape and colours and keeps those in use.
#include <gtest/gtest.h>

#include <QPainter>
#include <random>

#include "shell/kelbo_canvas.h"
#include "shell/kelbo_sprite.h"

namespace kelbos {
namespace {

const QColor DARK(64, 0, 0), BASE(128, 0, 0), LIGHT(153, 51, 51);

const QSize PICTURE(160, 120);

// A background that is not one colour, so that a pixel the sprite should leave alone
// but overwrites shows. `at` is the image's top-left corner in picture coordinates.
QImage patterned(QSize size, QPoint at = QPoint(0, 0)) {
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const int px = x + at.x() + 1000, py = y + at.y() + 1000;
            image.setPixel(x, y, qRgb(px * 7 % 256, py * 5 % 256, (px ^ py) % 256));
        }
    }
    return image;
}

// The faces drawn on a surface that reaches well beyond the picture on every side, and
// the picture's part of it. (Drawn on the picture alone, a face crossing its edge gets
// an outline along the edge, which the scene does not have.)
QImage by_faces(const KelboShape& shape, Point2 origin, const QRect& clip) {
    const QPoint margin(PICTURE.width(), PICTURE.height());
    QImage surface = patterned(PICTURE * 3, -margin);
    QPainter p(&surface);
    p.setClipRect(clip.translated(margin));
    p.setPen(QPen(Qt::black, 0));
    KelboCanvas::draw_faces(p, kelbo_faces(shape, {origin.x + margin.x(), origin.y + margin.y()}), DARK, BASE,
                            LIGHT);
    p.end();
    return surface.copy(QRect(margin, PICTURE));
}

QImage by_sprite(const KelboSprite& sprite, Point2 origin, const QRect& clip) {
    QImage image = patterned(PICTURE);
    QPainter p(&image);
    p.setClipRect(clip);
    sprite.draw(p, origin);
    return image;
}

// Shapes of the bundled scene and of other projection angles: kelbos leaning either
// way, flat, without depth, a single point, and large ones.
std::vector<KelboShape> shapes() {
    std::vector<KelboShape> list = {
        {27, 16, -15, 27, 40}, {-27, 16, 15, 27, 40}, {20, -10, 20, 10, 5},   {0, 0, 0, 0, 0},
        {30, 0, 0, 0, 12},     {3, 1, -1, 3, 0},      {90, 50, -60, 70, 100}, {-5, -5, -5, -5, 30}};
    std::mt19937 random(7);
    std::uniform_int_distribution<int> offset(-40, 40), height(0, 60);
    for (int i = 0; i < 12; ++i)
        list.push_back({static_cast<std::int16_t>(offset(random)), static_cast<std::int16_t>(offset(random)),
                        static_cast<std::int16_t>(offset(random)), static_cast<std::int16_t>(offset(random)),
                        static_cast<std::int16_t>(height(random))});
    return list;
}

TEST(KelboSprite, GivesTheSamePixelsAsDrawingTheFaces) {
    const QRect whole(0, 0, 160, 120);
    const std::vector<Point2> origins = {{80, 80}, {0, 0}, {3, 119}, {159, 60}, {-20, 50}, {150, 130}, {41, 7}};
    const std::vector<QRect> clips = {whole, QRect(70, 60, 15, 25), QRect(0, 0, 1, 1), QRect(81, 0, 1, 120)};
    int compared = 0;
    for (const KelboShape& shape : shapes()) {
        const KelboSprite sprite(shape, DARK, BASE, LIGHT);
        for (const Point2& origin : origins) {
            for (const QRect& clip : clips) {
                const QImage expected = by_faces(shape, origin, clip);
                ASSERT_EQ(by_sprite(sprite, origin, clip), expected)
                    << "shape " << shape.width_dx << "," << shape.width_dy << "," << shape.depth_dx << ","
                    << shape.depth_dy << "," << shape.height_dy << " at " << origin.x << "," << origin.y;
                ++compared;
            }
            // Every pixel the faces touch lies inside the sprite's extent.
            const QImage drawn = by_faces(shape, origin, whole);
            const QImage background = patterned(PICTURE);
            const QRect extent = sprite.extent(origin);
            for (int y = 0; y < whole.height(); ++y) {
                for (int x = 0; x < whole.width(); ++x) {
                    if (drawn.pixel(x, y) == background.pixel(x, y)) continue;
                    ASSERT_TRUE(extent.contains(x, y)) << x << "," << y;
                }
            }
        }
    }
    EXPECT_EQ(compared, 20 * 7 * 4);
}

TEST(KelboSprite, TooLargeAreDrawnFaceByFaceAndFarOffDrawNothing) {
    const KelboShape large{300, 200, -280, 150, 400};
    const KelboSprite sprite(large, DARK, BASE, LIGHT);
    for (const Point2 origin : {Point2{80, 80}, Point2{150, 10}, Point2{-100, 300}}) {
        QImage expected = patterned(PICTURE);
        {
            QPainter p(&expected);
            p.setPen(QPen(Qt::black, 0));
            KelboCanvas::draw_faces(p, kelbo_faces(large, origin), DARK, BASE, LIGHT);
        }
        EXPECT_EQ(by_sprite(sprite, origin, QRect(QPoint(0, 0), PICTURE)), expected);
    }
    // A sprite far off the picture draws nothing.
    const KelboSprite small({27, 16, -15, 27, 40}, DARK, BASE, LIGHT);
    for (const Point2 origin :
         {Point2{KELBO_ORIGIN_LIMIT, 10}, Point2{-KELBO_ORIGIN_LIMIT, -KELBO_ORIGIN_LIMIT}})
        EXPECT_EQ(by_sprite(small, origin, QRect(0, 0, 160, 120)), patterned(PICTURE));
}

TEST(KelboSprites, OnePerShapeAndColoursAndThoseInUseStay) {
    KelboSprites store;
    const KelboShape shape{27, 16, -15, 27, 40};
    const auto first = store.get(shape, DARK, BASE, LIGHT);
    EXPECT_EQ(store.get(shape, DARK, BASE, LIGHT), first);
    EXPECT_NE(store.get(shape, DARK, BASE, QColor(153, 51, 52)), first);
    EXPECT_NE(store.get({27, 16, -15, 27, 41}, DARK, BASE, LIGHT), first);
    EXPECT_EQ(store.size(), 3u);

    // Many colours later the store stays small; the sprite used all along is still
    // there, and one held by a caller stays valid after the store drops it.
    const auto held = store.get(shape, DARK, QColor(1, 2, 3), LIGHT);
    for (int i = 0; i < 100; ++i) {
        store.get(shape, QColor(i, 0, 0), BASE, LIGHT);
        EXPECT_EQ(store.get(shape, DARK, BASE, LIGHT), first);
    }
    EXPECT_LE(store.size(), 32u);
    EXPECT_NE(store.get(shape, DARK, QColor(1, 2, 3), LIGHT), held);
    const QImage image = by_sprite(*held, {80, 80}, QRect(0, 0, 160, 120));
    EXPECT_NE(image, patterned(PICTURE));
}

}  // namespace
}  // namespace kelbos
