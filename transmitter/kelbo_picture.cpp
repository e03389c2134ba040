#include "kelbo_picture.h"

#include <QPainter>
#include <algorithm>

#include "kelbo_canvas.h"

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
    const KelboBox box = kelbo_box(shape, origin);
    return QRect(QPoint(box.left, box.top), QPoint(box.right, box.bottom));
}

void paint_scene(QPainter& painter, const QRect& update, const Scene& scene, int client_bottom,
                 const KelboBrushes& brushes) {
    if (!scene.scene_loaded) return;
    // The update rectangle as edges, right and bottom exclusive.
    const int left = update.left(), top = update.top();
    const int right = update.left() + update.width(), bottom = update.top() + update.height();
    const int last = last_shown(scene);
    const auto sprite = brushes.sprites.get(scene.shape, brushes.dark, brushes.base, brushes.light);
    for (int i = 0; i <= last; ++i) {
        const ScenePoint& point = scene.points[static_cast<std::size_t>(i)];
        KelboBox box = kelbo_box(scene.shape, kelbo_origin(point, client_bottom));
        // The outline covers the box's right and bottom edges too.
        ++box.right;
        ++box.bottom;
        if (box_meets(box, left, top, right, bottom)) sprite->draw(painter, kelbo_origin(point, client_bottom));
    }
}

void take_kelbo(Scene& scene, KelboCanvas& canvas) {
    --scene.kelbo_countdown;
    if (scene.kelbo_countdown < 0) {
        scene.kelbo_countdown = scene.point_count - 1;
        canvas.invalidate_all();
        return;
    }
    const int taken = scene.kelbo_countdown + 1;
    if (taken >= scene.point_count) return;
    const Point2 origin = kelbo_origin(scene.points[static_cast<std::size_t>(taken)], canvas.client_bottom());
    canvas.invalidate(kelbo_pixel_rect(scene.shape, origin));
}

void rearm_picture(Scene& scene, KelboCanvas& canvas) {
    if (scene.kelbo_countdown != 0) return;
    scene.kelbo_countdown = scene.point_count - 1;
    canvas.invalidate_all();
}

}  // namespace kelbos
