// SPDX-License-Identifier: Apache-2.0
#include "receiver_picture.h"

#include <QPainter>
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

#include "kelbo_canvas.h"
#include "kelbo_counting.h"
#include "kelbo_geometry.h"

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
    if (!canvas_) return;
    canvas_->set_paint_handler([this](QPainter& painter, const QRect& area) {
        paint_scene(painter, area, scene_, slots_, canvas_->client_bottom(), sprites_);
    });
}

void ReceiverPicture::more_data(std::int8_t conn_id, std::uint32_t bytes) {
    if (conn_id < static_cast<int>(CONN_FIRST) || conn_id > static_cast<int>(CONN_LAST)) {
        std::printf("more_data: entered with conn_id=%d.  Ignored.\n", static_cast<int>(conn_id));
        std::fflush(stdout);
        return;
    }
    const PlacedKelbos placed = count_and_place(table_, static_cast<ConnId>(conn_id), bytes, scene_, slots_);
    if (placed.count == 0 || !canvas_) return;
    if (placed.restarted) {
        canvas_->invalidate_all();
        if (scene_.scene_loaded) return;
    }
    const int bottom = canvas_->client_bottom();
    for (int i = placed.first; i <= placed.last; ++i) {
        const ScenePoint& point = scene_.points[i];
        if (scene_.scene_loaded) {
            canvas_->invalidate(kelbo_extent(scene_.shape, point, bottom));
            continue;
        }
        // With no scene loaded a redraw shows only the background, but each placed
        // kelbo is still drawn at once, at the old points, until the next redraw.
        const KelboColours& colours = slots_.colours_of(point.slot);
        const auto sprite = sprites_.get(scene_.shape, to_qcolor(colours.dark), to_qcolor(colours.base),
                                         to_qcolor(colours.light));
        const Point2 origin = kelbo_origin(point, bottom);
        canvas_->draw_at_once(sprite->extent(origin),
                              [&](QPainter& painter) { sprite->draw(painter, origin); });
    }
}

}  // namespace kelbos
