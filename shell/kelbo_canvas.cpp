// SPDX-License-Identifier: Apache-2.0
#include "shell/kelbo_canvas.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

namespace kelbos {

namespace {
constexpr int FRAME_MS = 16;
}  // namespace

KelboCanvas::KelboCanvas(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    // One frame: changes that come faster are drawn together.
    frame_timer_.setSingleShot(true);
    frame_timer_.setInterval(FRAME_MS);
    connect(&frame_timer_, &QTimer::timeout, this, &KelboCanvas::show_changes);
}

void KelboCanvas::draw_quad(QPainter& painter, const std::array<QPoint, 4>& corners, const QColor& fill) {
    painter.setBrush(fill);
    painter.drawPolygon(corners.data(), 4);
}

void KelboCanvas::fit_image() {
    if (size().expandedTo(QSize(1, 1)) == image_.size()) return;
    image_ = QImage(size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    image_.fill(Qt::black);
    // A new image: draw it all again.
    dirty_[0] = image_.rect();
    dirty_count_ = 1;
    update();
}

void KelboCanvas::draw_faces(QPainter& painter, const KelboFaces& faces, const QColor& dark, const QColor& base,
                             const QColor& light) {
    const auto quad = [](const std::array<Point2, 4>& c) {
        return std::array<QPoint, 4>{QPoint(c[0].x, c[0].y), QPoint(c[1].x, c[1].y), QPoint(c[2].x, c[2].y),
                                     QPoint(c[3].x, c[3].y)};
    };
    draw_quad(painter, quad(faces.depth_side), dark);
    draw_quad(painter, quad(faces.width_side), base);
    draw_quad(painter, quad(faces.top), light);
}

void KelboCanvas::invalidate(const QRect& rect) {
    fit_image();
    const QRect r = rect.intersected(image_.rect());
    if (r.isEmpty()) return;
    if (dirty_count_ == MAX_DIRTY_RECTS) {
        // Past this many separate rectangles one redraw of their bounding box is cheaper.
        QRect all = r;
        for (const QRect& d : dirty_) all |= d;
        dirty_[0] = all;
        dirty_count_ = 1;
    } else if (dirty_count_ == 0 || !dirty_[dirty_count_ - 1].contains(r)) {
        dirty_[dirty_count_++] = r;
    }
    unshown_ |= r;
    if (!frame_timer_.isActive()) frame_timer_.start();
}

QRegion KelboCanvas::uncovered(const QRect& area) const {
    QRegion visible(area);
    for (const QObject* child : children()) {
        const auto* w = qobject_cast<const QWidget*>(child);
        if (w && w->isVisible()) visible -= w->geometry();
    }
    return visible;
}

void KelboCanvas::show_changes() {
    if (unshown_.isEmpty()) return;
    // The rows on top of the picture hide what lies under them: leave them out, so a
    // change to the picture does not repaint them.
    const QRegion visible = uncovered(unshown_);
    unshown_ = QRect();
    // Painted now, not at some later paint: changes made in between would be drawn
    // into the image but shown only where this region reaches.
    if (!visible.isEmpty()) repaint(visible);
}

void KelboCanvas::draw_at_once(const QRect& area, const std::function<void(QPainter&)>& draw) {
    flush();  // what was changed before comes first
    const QRect r = area.intersected(image_.rect());
    if (r.isEmpty()) return;
    QPainter p(&image_);
    p.setClipRect(r);
    p.setPen(QPen(Qt::black, 0));
    draw(p);
    p.end();
    unshown_ |= r;
    if (!frame_timer_.isActive()) frame_timer_.start();
}

void KelboCanvas::flush() {
    fit_image();
    if (dirty_count_ == 0 || image_.isNull()) return;
    // Copy first: the paint handler may not, but a re-entrant change could, add more.
    const std::array<QRect, MAX_DIRTY_RECTS> dirty = dirty_;
    const int count = dirty_count_;
    dirty_count_ = 0;
    QPainter p(&image_);
    for (int i = 0; i < count; ++i) {
        const QRect& r = dirty[i];
        p.setClipRect(r);
        p.fillRect(r, Qt::black);
        p.setPen(QPen(Qt::black, 0));
        if (paint_handler_) paint_handler_(p, r);
    }
}

void KelboCanvas::paintEvent(QPaintEvent* event) {
    // A frame shows one state of the picture. The image is brought up to date only
    // when this paint reaches every area that changes; otherwise (an exposure between
    // two frames) it shows the image as the last frame left it, and the changes wait
    // for their own frame.
    if (unshown_.isEmpty() || (uncovered(unshown_) - event->region()).isEmpty()) flush();
    QPainter p(this);
    for (const QRect& r : event->region()) p.drawImage(r, image_, r);
}

void KelboCanvas::resizeEvent(QResizeEvent*) {
    // The rows on top take the area's width, never less than their own layout's.
    for (QObject* child : children())
        if (auto* row = qobject_cast<QWidget*>(child))
            row->resize(std::max(width(), row->minimumWidth()), row->height());
    fit_image();
}

}  // namespace kelbos
