// SPDX-License-Identifier: Apache-2.0
// The transmitter's picture: the whole scene in the kelbo colour, one kelbo taken
// away (the last first) for every kelbo's worth of data sent, the full pile again
// once only the first kelbo is left.
#pragma once

#include <QColor>
#include <QPen>
#include <QRect>
#include <string>

#include "core/kelbo_geometry.h"
#include "core/scene.h"
#include "shell/kelbo_sprite.h"

class QPainter;

namespace kelbos {

class KelboCanvas;

// The drawing objects made from the kelbo colour, and its text for the SetupRequest.
struct KelboBrushes {
    Rgb kelbo_colour = DEFAULT_KELBO_COLOUR;
    QColor base;
    QColor light;             // each component c + (255 - c) / 5
    QColor dark;              // each component c / 2
    QPen pen;                 // black, one pixel: the outline of every face
    std::string colour_text;  // "#RRGGBB"
    KelboSprites sprites;     // kelbos ready drawn in these colours
};

// Makes the brushes and colour_text anew from kelbo_colour.
void make_kelbo_brushes(KelboBrushes& brushes);

// The pixels one kelbo can cover, at any projection angle: the bounds of its corners,
// the outline on the last row and column included.
QRect kelbo_pixel_rect(const KelboShape& shape, Point2 origin);

// Draws, in order, the shown kelbos (0..kelbo_countdown) whose pixels meet `update`.
// Nothing while no scene is loaded.
void paint_scene(QPainter& painter, const QRect& update, const Scene& scene, int client_bottom,
                 const KelboBrushes& brushes);

// Takes `count` kelbos away in turn, each the last one shown, and redraws where they
// stood; a take when only the first kelbo was left brings back the full pile instead.
void take_kelbos(Scene& scene, KelboCanvas& canvas, std::uint64_t count);

// At the start of a transmission: a picture down to its first kelbo is made full.
void rearm_picture(Scene& scene, KelboCanvas& canvas);

}  // namespace kelbos
