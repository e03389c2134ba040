// SPDX-License-Identifier: Apache-2.0
// The receiver's picture: kelbos 0..next_point-1 of the scene, each in the colours of
// the slot it was placed in, drawn on the main window's KelboCanvas. The data handler
// counts received bytes into the records and has the picture place the kelbos they
// complete; the canvas redraws what changed, in picture order, once a frame.
#pragma once

#include <QRect>
#include <cstdint>

#include "core/scene.h"
#include "receiver/records/colour_slots.h"
#include "shell/kelbo_sprite.h"

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
    ReceiverPicture(Scene& scene, ColourSlots& colour_slots) : scene_(scene), slots_(colour_slots) {}

    // The canvas the picture is drawn on; its paint handler becomes paint_scene. Null
    // when the window has gone: counting goes on, nothing is drawn.
    void set_canvas(KelboCanvas* canvas);

    // Places `count` kelbos of one link, in its colour slot, and has them drawn. The
    // canvas is told once for the lot, whatever their number.
    void place(std::uint64_t count, int colour_slot);

private:
    Scene& scene_;
    ColourSlots& slots_;
    KelboCanvas* canvas_ = nullptr;
    KelboSprites sprites_;
    // The whole area is marked changed and the canvas has not redrawn since: kelbos
    // placed meanwhile are drawn with it and need no area of their own.
    bool whole_area_marked_ = false;
};

}  // namespace kelbos
