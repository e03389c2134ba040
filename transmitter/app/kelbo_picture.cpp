// SPDX-License-Identifier: Apache-2.0
#include "transmitter/app/kelbo_picture.h"

#include <QPainter>
#include <algorithm>

#include "shell/kelbo_canvas.h"

namespace kelbos {

namespace {

// Index of the last kelbo shown, kept within the scene.
int last_shown(const Scene& scene) {
    return std::min(scene.kelbo_countdown, scene.point_count - 1);
}

}  // namespace

void make_kelbo_brushes(KelboBrushes& brushes) {
    const KelboColours colours = kelbo_colours(brushes.kelbo_colour);
    brushes.base = to_qcolor(colours.base);
    brushes.light = to_qcolor(colours.light);
    brushes.dark = to_qcolor(colours.dark);
    brushes.pen = QPen(Qt::black, 0);
    brushes.colour_text = colour_text(brushes.kelbo_colour);
}

QRect kelbo_pixel_rect(const KelboShape& shape, Point2 origin) {
    // The corners' bounds hold the kelbo at any projection angle; its box does only
    // for the usual ones.
    const KelboBox box = corner_bounds(kelbo_faces(shape, origin));
    return QRect(QPoint(box.left, box.top), QPoint(box.right, box.bottom));
}

void paint_scene(QPainter& painter, const QRect& update, const Scene& scene, int client_bottom,
                 const KelboBrushes& brushes) {
    if (!scene.scene_loaded) return;
    const int last = last_shown(scene);
    const auto sprite = brushes.sprites.get(scene.shape, brushes.dark, brushes.base, brushes.light);
    for (int i = 0; i <= last; ++i) {
        const Point2 origin = kelbo_origin(scene.points[static_cast<std::size_t>(i)], client_bottom);
        if (sprite->extent(origin).intersects(update)) sprite->draw(painter, origin);
    }
}

void take_kelbos(Scene& scene, KelboCanvas& canvas, std::uint64_t count) {
    // A kelbo's corners lie at fixed offsets from its reference corner, so one kelbo's
    // pixels, moved, give every other's.
    const QRect one = kelbo_pixel_rect(scene.shape, Point2{0, 0});
    const int bottom = canvas.client_bottom();
    for (; count != 0; --count) {
        --scene.kelbo_countdown;
        if (scene.kelbo_countdown < 0) {
            // The full pile again: the whole picture is redrawn, so the takes after
            // this one change only the count. Each full round of point_count takes
            // comes back to the full pile.
            --count;
            const int points = scene.point_count;
            const std::uint64_t rest = points > 0 ? count % static_cast<std::uint64_t>(points) : 0;
            scene.kelbo_countdown = points - 1 - static_cast<int>(rest);
            canvas.invalidate_all();
            return;
        }
        const int taken = scene.kelbo_countdown + 1;
        if (taken >= scene.point_count) continue;
        const Point2 origin = kelbo_origin(scene.points[static_cast<std::size_t>(taken)], bottom);
        canvas.invalidate(one.translated(origin.x, origin.y));
    }
}

void rearm_picture(Scene& scene, KelboCanvas& canvas) {
    if (scene.kelbo_countdown != 0) return;
    scene.kelbo_countdown = scene.point_count - 1;
    canvas.invalidate_all();
}

}  // namespace kelbos
