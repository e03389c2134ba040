#include "kelbo_canvas.h"

#include <QPaintEvent>
#include <QPainter>

namespace kelbos {

namespace {
// Past this many separate rectangles one redraw of their bounding box is cheaper.
constexpr int MAX_DIRTY_RECTS = 16;
}  // namespace

KelboCanvas::KelboCanvas(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
}

void KelboCanvas::draw_quad(QPainter& painter, const std::array<QPoint, 4>& corners, const QColor& fill) {
    painter.setBrush(fill);
    painter.drawPolygon(corners.data(), 4);
}

void KelboCanvas::fit_image() {
    if (size().expandedTo(QSize(1, 1)) == image_.size()) return;
    image_ = QImage(size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    image_.fill(Qt::black);
    // Positions count from the bottom edge, so everything moves: draw it all again.
    dirty_ = QRegion(image_.rect());
    update();
}

void KelboCanvas::invalidate(const QRect& rect) {
    fit_image();
    const QRect r = rect.intersected(image_.rect());
    if (r.isEmpty()) return;
    dirty_ += r;
    // The rows on top of the picture hide what lies under them: leave them out, so a
    // change to the picture does not repaint them.
    QRegion visible(r);
    for (const QObject* child : children()) {
        const auto* w = qobject_cast<const QWidget*>(child);
        if (w && w->isVisible()) visible -= w->geometry();
    }
    if (!visible.isEmpty()) update(visible);
}

void KelboCanvas::flush() {
    fit_image();
    if (dirty_.isEmpty() || image_.isNull()) return;
    const QRegion dirty = dirty_.rectCount() > MAX_DIRTY_RECTS ? QRegion(dirty_.boundingRect()) : dirty_;
    dirty_ = QRegion();
    QPainter p(&image_);
    for (const QRect& r : dirty) {
        p.setClipRect(r);
        p.fillRect(r, Qt::black);
        p.setPen(QPen(Qt::black, 0));
        if (paint_handler_) paint_handler_(p, r);
    }
}

void KelboCanvas::paintEvent(QPaintEvent* event) {
    flush();
    QPainter p(this);
    for (const QRect& r : event->region()) p.drawImage(r, image_, r);
}

void KelboCanvas::resizeEvent(QResizeEvent*) { fit_image(); }

}  // namespace kelbos
