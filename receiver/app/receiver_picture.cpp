// SPDX-License-Identifier: Apache-2.0
#include "receiver/app/receiver_picture.h"

#include <QPainter>
#include <algorithm>
#include <array>
#include <memory>

#include "core/kelbo_geometry.h"
#include "receiver/counting/kelbo_counting.h"
#include "shell/kelbo_canvas.h"

namespace kelbos {

QRect kelbo_extent(const KelboShape& shape, const ScenePoint& point, int client_bottom) {
    const KelboBox box = corner_bounds(kelbo_faces(shape, kelbo_origin(point, client_bottom)));
    // The outline covers the last row and column of pixels too.
    return QRect(QPoint(box.left, box.top), QPoint(box.right, box.bottom));
}

void paint_scene(QPainter& painter, const QRect& area, const Scene& scene, const ColourSlots& colour_slots,
                 int client_bottom, const KelboSprites& sprites) {
    if (!scene.scene_loaded) return;
    const int shown = std::clamp(scene.next_point, 0, MAX_PTS);
    // Each slot's sprite, fetched when a kelbo of that slot is first drawn here.
    std::array<std::shared_ptr<const KelboSprite>, COLOUR_SLOT_COUNT + 1> by_slot;
    for (int i = 0; i < shown; ++i) {
        const ScenePoint& point = scene.points[i];
        const Point2 origin = kelbo_origin(point, client_bottom);
        // Slots outside the table are drawn in slot 0's colours; they share the last entry.
        const std::size_t memo = point.slot >= 0 && point.slot < COLOUR_SLOT_COUNT
                                     ? static_cast<std::size_t>(point.slot)
                                     : static_cast<std::size_t>(COLOUR_SLOT_COUNT);
        std::shared_ptr<const KelboSprite>& sprite = by_slot[memo];
        if (!sprite) {
            const KelboColours& colours = colour_slots.colours_of(point.slot);
            sprite = sprites.get(scene.shape, to_qcolor(colours.dark), to_qcolor(colours.base),
                                 to_qcolor(colours.light));
        }
        if (!sprite->extent(origin).intersects(area)) continue;
        sprite->draw(painter, origin);
    }
}

void ReceiverPicture::set_canvas(KelboCanvas* canvas) {
    canvas_ = canvas;
    whole_area_marked_ = false;
    if (!canvas_) return;
    canvas_->set_paint_handler([this](QPainter& painter, const QRect& area) {
        // The canvas takes every area marked so far before it draws any of them.
        whole_area_marked_ = false;
        paint_scene(painter, area, scene_, slots_, canvas_->client_bottom(), sprites_);
    });
}

namespace {

// The pixels the kelbos at positions first..last can touch: one kelbo's extent, moved
// over the run's reference points.
QRect run_extent(const Scene& scene, int first, int last, int client_bottom) {
    const QRect one = kelbo_extent(scene.shape, ScenePoint{}, 0);
    Point2 low = kelbo_origin(scene.points[first], client_bottom);
    Point2 high = low;
    for (int i = first + 1; i <= last; ++i) {
        const Point2 o = kelbo_origin(scene.points[i], client_bottom);
        low = {std::min(low.x, o.x), std::min(low.y, o.y)};
        high = {std::max(high.x, o.x), std::max(high.y, o.y)};
    }
    return QRect(QPoint(low.x + one.left(), low.y + one.top()),
                 QPoint(high.x + one.right(), high.y + one.bottom()));
}

}  // namespace

void ReceiverPicture::place(std::uint64_t count, int colour_slot) {
    const PlacedKelbos placed = place_kelbos(scene_, slots_, count, colour_slot);
    if (placed.count == 0 || !canvas_) return;
    if (placed.restarted && !whole_area_marked_) {
        canvas_->invalidate_all();
        whole_area_marked_ = true;
    }
    if (scene_.scene_loaded) {
        // The next redraw draws them: the whole area's, or their own.
        if (!whole_area_marked_)
            canvas_->invalidate(run_extent(scene_, placed.first, placed.last, canvas_->client_bottom()));
        return;
    }
    // With no scene loaded a redraw shows only the background, but the placed kelbos
    // are still drawn at once, at the old points, until the next redraw.
    const KelboColours& colours = slots_.colours_of(colour_slot);
    const auto sprite = sprites_.get(scene_.shape, to_qcolor(colours.dark), to_qcolor(colours.base),
                                     to_qcolor(colours.light));
    const int bottom = canvas_->client_bottom();
    QRect area;
    for (int i = placed.first; i <= placed.last; ++i)
        area |= sprite->extent(kelbo_origin(scene_.points[i], bottom));
    canvas_->draw_at_once(area, [&](QPainter& painter) {
        for (int i = placed.first; i <= placed.last; ++i)
            sprite->draw(painter, kelbo_origin(scene_.points[i], bottom));
    });
}

}  // namespace kelbos
