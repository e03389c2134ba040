// SPDX-License-Identifier: Apache-2.0
#include "shell/kelbo_sprite.h"

#include <QPainter>
#include <algorithm>

#include "shell/kelbo_canvas.h"

namespace kelbos {

namespace {

bool same_shape(const KelboShape& a, const KelboShape& b) {
    return a.width_dx == b.width_dx && a.width_dy == b.width_dy && a.depth_dx == b.depth_dx &&
           a.depth_dy == b.depth_dy && a.height_dy == b.height_dy;
}

// The corners' bounding box around a reference corner at (0, 0) (which it holds),
// grown by one pixel on every side: the outline lies on the corners, and the margin
// leaves room for any pixel the rasteriser gives a line through them.
QRect corner_cover(const KelboFaces& faces) {
    const KelboBox box = corner_bounds(faces);
    return QRect(QPoint(box.left - 1, box.top - 1), QPoint(box.right + 1, box.bottom + 1));
}

}  // namespace

KelboSprite::KelboSprite(const KelboShape& shape, const QColor& dark, const QColor& base, const QColor& light)
    : shape_(shape), dark_(dark), base_(base), light_(light) {
    const KelboFaces at_zero = kelbo_faces(shape, Point2{0, 0});
    cover_ = corner_cover(at_zero);
    if (static_cast<long long>(cover_.width()) * cover_.height() > MAX_PIXELS) return;
    image_ = QImage(cover_.size(), QImage::Format_ARGB32_Premultiplied);
    image_.fill(Qt::transparent);
    QPainter painter(&image_);
    painter.setPen(QPen(Qt::black, 0));
    // Whole-pixel moves keep the rasterised pixels the same: draw with the image's
    // top-left corner where the cover's is.
    KelboCanvas::draw_faces(painter, kelbo_faces(shape, Point2{-cover_.left(), -cover_.top()}), dark, base,
                            light);
}

void KelboSprite::draw(QPainter& painter, Point2 origin) const {
    const QRect at = extent(origin);
    // Far off the picture (reference corners reach a billion pixels) nothing shows.
    if (!at.isValid()) return;
    if (image_.isNull()) {
        painter.setPen(QPen(Qt::black, 0));
        KelboCanvas::draw_faces(painter, kelbo_faces(shape_, origin), dark_, base_, light_);
        return;
    }
    painter.drawImage(at.topLeft(), image_);
}

bool KelboSprite::is_for(const KelboShape& shape, QRgb dark, QRgb base, QRgb light) const {
    return same_shape(shape_, shape) && dark_.rgb() == dark && base_.rgb() == base && light_.rgb() == light;
}

std::shared_ptr<const KelboSprite> KelboSprites::get(const KelboShape& shape, const QColor& dark,
                                                     const QColor& base, const QColor& light) const {
    const QRgb d = dark.rgb(), b = base.rgb(), l = light.rgb();
    for (auto it = sprites_.begin(); it != sprites_.end(); ++it) {
        if (!(*it)->is_for(shape, d, b, l)) continue;
        if (it + 1 != sprites_.end()) std::rotate(it, it + 1, sprites_.end());
        return sprites_.back();
    }
    if (sprites_.size() >= LIMIT) sprites_.erase(sprites_.begin());
    sprites_.push_back(std::make_shared<const KelboSprite>(shape, dark, base, light));
    return sprites_.back();
}

}  // namespace kelbos
