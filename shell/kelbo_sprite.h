// SPDX-License-Identifier: Apache-2.0
// A kelbo drawn once into a small transparent image and copied wherever a kelbo of
// that shape and those colours stands. Filling three outlined polygons costs several
// microseconds a kelbo; copying the image costs well under one, which is what lets a
// full picture be redrawn every frame while tens of thousands of kelbos a second come
// and go. The copy gives exactly the pixels that drawing the faces there would.
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <memory>
#include <vector>

#include "core/kelbo_geometry.h"

class QPainter;

namespace kelbos {

class KelboSprite {
public:
    KelboSprite(const KelboShape& shape, const QColor& dark, const QColor& base, const QColor& light);

    // Draws the kelbo whose reference corner is `origin`: its depth side, width side
    // and top, each filled and outlined in black, as KelboCanvas::draw_faces does.
    void draw(QPainter& painter, Point2 origin) const;

    // Every pixel the kelbo at `origin` can touch lies in this rectangle.
    QRect extent(Point2 origin) const { return cover_.translated(origin.x, origin.y); }

    bool is_for(const KelboShape& shape, QRgb dark, QRgb base, QRgb light) const;

    // Kelbos larger than this many pixels are drawn face by face instead: their image
    // would cost more memory than copying it saves time.
    static constexpr int MAX_PIXELS = 256 * 256;

private:
    KelboShape shape_;
    QColor dark_, base_, light_;
    QRect cover_;   // relative to the reference corner
    QImage image_;  // null for a kelbo drawn face by face
};

// The sprites a picture uses, made when first asked for. A picture uses a handful
// (one per colour in use); past a few dozen the least recently used is dropped. A
// sprite handed out stays valid for as long as its holder keeps it.
class KelboSprites {
public:
    std::shared_ptr<const KelboSprite> get(const KelboShape& shape, const QColor& dark, const QColor& base,
                                           const QColor& light) const;
    std::size_t size() const { return sprites_.size(); }

private:
    static constexpr std::size_t LIMIT = 32;
    // Most recently used last.
    mutable std::vector<std::shared_ptr<const KelboSprite>> sprites_;
};

}  // namespace kelbos
