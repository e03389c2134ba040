// SPDX-License-Identifier: Apache-2.0
// The receiver's picture: kelbos 0..next_point-1 of the scene, each in the colours of
// the slot it was placed in, drawn on the main window's KelboCanvas. Received data
// places kelbos (more_data); the canvas redraws what changed, in picture order.
#pragma once

#include <QRect>
#include <cstdint>

#include "colour_slots.h"
#include "connection_records.h"
#include "kelbo_sprite.h"
#include "scene.h"

class QPainter;

namespace kelbos {

class KelboCanvas;

// The pixels a kelbo at `point` can touch, its outline included. The redraw of a
// placed kelbo and the choice of kelbos to draw for an area both use it, so an area's
// redraw restores every kelbo that reaches into it, at any projection angle.
QRect kelbo_extent(const KelboShape& shape, const ScenePoint& point, int client_bottom);

// Draws the shown kelbos that meet `area`, in increasing order; nothing while no
// scene is loaded.
void paint_scene(QPainter& painter, const QRect& area, const Scene& scene, const ColourSlots& colour_slots,
                 int client_bottom, const KelboSprites& sprites);

class ReceiverPicture {
public:
    ReceiverPicture(Scene& scene, ColourSlots& colour_slots, ConnectionTable& table)
        : scene_(scene), slots_(colour_slots), table_(table) {}

    // The canvas the picture is drawn on; its paint handler becomes paint_scene. Null
    // when the window has gone: counting goes on, nothing is drawn.
    void set_canvas(KelboCanvas* canvas);

    // A received chunk of `bytes` for conn_id: counted into the link and TOTAL, one
    // kelbo placed and drawn per kelbo's worth. Ids outside 1..10 are reported on
    // standard output and dropped.
    void more_data(std::int8_t conn_id, std::uint32_t bytes);

private:
    Scene& scene_;
    ColourSlots& slots_;
    ConnectionTable& table_;
    KelboCanvas* canvas_ = nullptr;
    KelboSprites sprites_;
};

}  // namespace kelbos
