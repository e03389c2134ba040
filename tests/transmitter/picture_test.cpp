// SPDX-License-Identifier: Apache-2.0
// The transmitter's picture: brushes, the faces of a kelbo in the image, take-away
// and re-arm, and that the partial redraws give the same image as a full one.
#include <gtest/gtest.h>

#include <QPainter>
#include <QScreen>
#include <QTest>
#include <fstream>
#include <set>
#include <sstream>

#include "core/scene.h"
#include "pump.h"
#include "shell/kelbo_canvas.h"
#include "transmitter/app/kelbo_picture.h"
#include "tx_fixture.h"

namespace kelbos {
namespace {

// A canvas showing a scene in the default colour.
struct Picture {
    explicit Picture(const std::string& text, QSize size = QSize(400, 300)) {
        EXPECT_TRUE(read_init_bytes(scene, text).ok());
        scene.scene_loaded = true;
        make_kelbo_brushes(brushes);
        canvas.resize(size);
        canvas.set_paint_handler([this](QPainter& p, const QRect& r) {
            paint_scene(p, r, scene, canvas.client_bottom(), brushes);
        });
        canvas.invalidate_all();
    }
    // The image a full redraw gives for the current state.
    QImage fresh() {
        KelboCanvas other;
        other.resize(canvas.size());
        other.set_paint_handler([this, &other](QPainter& p, const QRect& r) {
            paint_scene(p, r, scene, other.client_bottom(), brushes);
        });
        other.invalidate_all();
        return other.image();
    }
    Scene scene;
    KelboBrushes brushes;
    KelboCanvas canvas;
};

// Where a face's corners average: a point inside the (convex) face.
QPoint inside(const std::array<Point2, 4>& corners) {
    int x = 0, y = 0;
    for (const Point2& p : corners) x += p.x, y += p.y;
    return QPoint(x / 4, y / 4);
}

TEST(KelboBrushes, MadeFromTheKelboColour) {
    KelboBrushes b;
    make_kelbo_brushes(b);
    EXPECT_EQ(b.base, QColor(128, 0, 0));
    EXPECT_EQ(b.light, QColor(153, 51, 51));
    EXPECT_EQ(b.dark, QColor(64, 0, 0));
    EXPECT_EQ(b.pen.color(), QColor(Qt::black));
    EXPECT_EQ(b.colour_text, "#800000");
    b.kelbo_colour = Rgb{255, 10, 201};
    make_kelbo_brushes(b);
    EXPECT_EQ(b.light, QColor(255, 59, 211));
    EXPECT_EQ(b.dark, QColor(127, 5, 100));
    EXPECT_EQ(b.colour_text, "#FF0AC9");
}

TEST(TransmitterPicture, OneKelboInItsThreeColours) {
    Picture pic(txtest::scene_text("300, 100, 0\n", "60, 60, 60"));
    const QImage image = pic.canvas.image();
    const Point2 o = kelbo_origin(pic.scene.points[0], 300);
    EXPECT_EQ(o, (Point2{173, 127}));
    const KelboFaces f = kelbo_faces(pic.scene.shape, o);
    EXPECT_EQ(image.pixel(inside(f.depth_side)), qRgb(64, 0, 0));
    EXPECT_EQ(image.pixel(inside(f.width_side)), qRgb(128, 0, 0));
    EXPECT_EQ(image.pixel(inside(f.top)), qRgb(153, 51, 51));
    EXPECT_EQ(image.pixel(o.x, o.y + 1), qRgb(0, 0, 0));  // the edge between the sides
    const KelboBox box = kelbo_box(pic.scene.shape, o);
    EXPECT_EQ(image.pixel(box.left - 2, o.y), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(o.x, box.top - 2), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(box.right + 2, o.y), qRgb(0, 0, 0));
    // The last kelbo of a scene is never taken away.
    take_kelbos(pic.scene, pic.canvas, 1);
    EXPECT_EQ(pic.scene.kelbo_countdown, 0);
    EXPECT_TRUE(pic.canvas.image() == image);

    // With no scene loaded only the background shows.
    pic.scene.scene_loaded = false;
    pic.canvas.invalidate_all();
    EXPECT_EQ(pic.canvas.image().pixel(inside(f.width_side)), qRgb(0, 0, 0));
}

TEST(TransmitterPicture, ThreeKelbosShowTwoOneThree) {
    Picture pic(txtest::scene_text("300, 100, 0, 1, 3, 1\n"));
    ASSERT_EQ(pic.scene.point_count, 3);
    std::vector<int> shown;
    for (int i = 0; i < 6; ++i) {
        take_kelbos(pic.scene, pic.canvas, 1);
        shown.push_back(pic.scene.kelbo_countdown + 1);
        EXPECT_TRUE(pic.canvas.image() == pic.fresh()) << "after take " << i + 1;
    }
    EXPECT_EQ(shown, (std::vector<int>{2, 1, 3, 2, 1, 3}));

    // One kelbo left: Go's re-arm brings back the full pile; otherwise it does nothing.
    take_kelbos(pic.scene, pic.canvas, 1);
    take_kelbos(pic.scene, pic.canvas, 1);
    ASSERT_EQ(pic.scene.kelbo_countdown, 0);
    rearm_picture(pic.scene, pic.canvas);
    EXPECT_EQ(pic.scene.kelbo_countdown, 2);
    EXPECT_TRUE(pic.canvas.image() == pic.fresh());
    take_kelbos(pic.scene, pic.canvas, 1);
    rearm_picture(pic.scene, pic.canvas);
    EXPECT_EQ(pic.scene.kelbo_countdown, 1);
}

TEST(TransmitterPicture, PartialRedrawsEqualAFullOneAndATakenKelboGoesWithItsOutline) {
    // The second kelbo stands in front of the first, its right edge on the first's
    // width side.
    Picture pic(txtest::scene_text("300, 100, 0\n290, 100, 0\n", "60, 60, 60"));
    ASSERT_EQ(pic.scene.point_count, 2);
    const KelboBox front = kelbo_box(pic.scene.shape, kelbo_origin(pic.scene.points[1], 300));
    const QImage full = pic.canvas.image();
    // A kelbo whose outline is the first column of an update area is drawn there.
    for (const QRect& r : {QRect(front.right, 0, 40, 300), QRect(0, front.bottom, 400, 20),
                           QRect(front.right, front.bottom - 3, 1, 1)}) {
        QImage part(400, 300, QImage::Format_RGB32);
        part.fill(Qt::black);
        QPainter p(&part);
        p.setClipRect(r);
        paint_scene(p, r, pic.scene, 300, pic.brushes);
        p.end();
        EXPECT_TRUE(part.copy(r) == full.copy(r)) << r.x() << "," << r.y();
    }
    // Taken away, the front kelbo's black outline on the first's width side goes with it.
    const int edge_y = (front.top + front.bottom) / 2;
    EXPECT_EQ(full.pixel(front.right, edge_y), qRgb(0, 0, 0));
    EXPECT_EQ(full.pixel(front.right + 1, edge_y), qRgb(128, 0, 0));
    take_kelbos(pic.scene, pic.canvas, 1);
    EXPECT_EQ(pic.canvas.image().pixel(front.right, edge_y), qRgb(128, 0, 0));
    EXPECT_TRUE(pic.canvas.image() == pic.fresh());

    // A pile that covers itself, taken away past a refill, one by one and many
    // between two frames.
    const std::string pile_text = txtest::scene_text("300, 100, 0, 3, 3, 2\n400, 150, 24\n", "22, 22, 12");
    Picture pile(pile_text, QSize(500, 320));
    ASSERT_EQ(pile.scene.point_count, 19);
    for (int i = 0; i < 25; ++i) {
        take_kelbos(pile.scene, pile.canvas, 1);
        ASSERT_TRUE(pile.canvas.image() == pile.fresh()) << "after take " << i + 1;
    }
    for (int i = 0; i < 7; ++i) take_kelbos(pile.scene, pile.canvas, 1);
    EXPECT_TRUE(pile.canvas.image() == pile.fresh());
    // Taken several at once, past one refill and past many: as one by one.
    Picture batch(pile_text, QSize(500, 320));
    batch.scene.kelbo_countdown = pile.scene.kelbo_countdown;
    batch.canvas.invalidate_all();
    for (std::uint64_t count : {1u, 5u, 19u, 44u, 2u}) {
        take_kelbos(batch.scene, batch.canvas, count);
        for (std::uint64_t i = 0; i < count; ++i) take_kelbos(pile.scene, pile.canvas, 1);
        EXPECT_EQ(batch.scene.kelbo_countdown, pile.scene.kelbo_countdown) << count;
        EXPECT_TRUE(batch.canvas.image() == batch.fresh()) << count;
    }
}

TEST(TransmitterPicture, FramesWhileSendingShowWholePictures) {
    // The shipped scene in a window, kelbos taken away in slices between turns of the
    // event loop, as the send loop takes them: every frame on the screen must be the
    // full redraw of a countdown the picture went through, never parts of two.
    std::stringstream shipped;
    shipped << std::ifstream(KELBOS_SCENES_DIR "/kelbostx.init").rdbuf();
    Picture pic(shipped.str(), QSize(700, 480));
    pic.canvas.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pic.canvas));
    const auto key = [](const QImage& image) {
        const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
        return qHashBits(rgb.constBits(), static_cast<std::size_t>(rgb.sizeInBytes()));
    };
    std::set<std::size_t> passed{key(pic.fresh())}, shown;
    int torn = 0;
    bool sending = true;
    std::function<void()> slice = [&] {
        if (!sending) return;
        const std::size_t frame = key(pic.canvas.screen()->grabWindow(pic.canvas.winId()).toImage());
        torn += passed.count(frame) == 0;
        shown.insert(frame);
        for (int i = 0; i < 5; ++i) {
            take_kelbos(pic.scene, pic.canvas, 1);
            passed.insert(key(pic.fresh()));
        }
        QMetaObject::invokeMethod(&pic.canvas, slice, Qt::QueuedConnection);
    };
    slice();
    EXPECT_TRUE(
        testing::pump_until([&] { return shown.size() >= 40 || torn > 0; }, std::chrono::seconds(30)));
    sending = false;
    EXPECT_EQ(torn, 0) << "of " << shown.size() << " frames";
}

}  // namespace
}  // namespace kelbos
