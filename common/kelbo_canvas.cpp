#include "kelbo_canvas.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPolygon>

namespace kelbos {

KelboCanvas::KelboCanvas(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
}

void KelboCanvas::draw_quad(QPainter& painter, const std::array<QPoint, 4>& corners, const QColor& fill) {
    painter.setBrush(fill);
    painter.drawPolygon(corners.data(), 4);
}

void KelboCanvas::repaint_area(const QRect& rect) {
    const QRect r = rect.intersected(image_.rect());
    if (r.isEmpty()) return;
    {
        QPainter p(&image_);
        p.setClipRect(r);
        p.fillRect(r, Qt::black);
        p.setPen(QPen(Qt::black, 0));
        if (paint_handler_) paint_handler_(p, r);
    }
    show_rect(r);
}

void KelboCanvas::draw_now(const QRect& changed, const std::function<void(QPainter&)>& draw) {
    if (image_.isNull()) return;
    {
        QPainter p(&image_);
        p.setPen(QPen(Qt::black, 0));
        draw(p);
    }
    show_rect(changed.intersected(image_.rect()));
}

void KelboCanvas::show_rect(const QRect& rect) {
    if (rect.isEmpty()) return;
    // The rows on top of the picture hide what lies under them: leave them out, so
    // that a change to the picture does not repaint them.
    QRegion region(rect);
    for (const QObject* child : children()) {
        const auto* w = qobject_cast<const QWidget*>(child);
        if (w && w->isVisible()) region -= w->geometry();
    }
    if (!region.isEmpty()) update(region);
}

void KelboCanvas::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    for (const QRect& r : event->region()) p.drawImage(r, image_, r);
}

void KelboCanvas::resizeEvent(QResizeEvent*) {
    if (size() == image_.size()) return;
    image_ = QImage(size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    image_.fill(Qt::black);
    // Positions count from the bottom edge, so everything moves: draw it all again.
    repaint_all();
}

}  // namespace kelbos
