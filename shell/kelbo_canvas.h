// SPDX-License-Identifier: Apache-2.0
// The drawing area of both main windows: a backing image of the client area, black
// where nothing is drawn. The programs say which areas changed; the image is brought
// up to date for each frame that shows it, by erasing those areas and drawing what of
// the picture meets them, in order. So a picture that changes many times between two
// frames costs one redraw, and comes out exactly as if every change had been drawn.
// The value rows sit on top of the area, so updates leave their place out; they take
// the area's width (never less than their own layout's).
#pragma once

#include <QImage>
#include <QRegion>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>

#include "core/kelbo_geometry.h"

namespace kelbos {

// A colour of the geometry as Qt's.
inline QColor to_qcolor(Rgb c) { return QColor(c.r, c.g, c.b); }

class KelboCanvas : public QWidget {
    Q_OBJECT
public:
    explicit KelboCanvas(QWidget* parent = nullptr);

    // Draws whatever of the picture meets the rectangle into the image (which is
    // already black there, and clipped to it). Set by the program that owns the
    // picture.
    void set_paint_handler(std::function<void(QPainter&, const QRect&)> handler) {
        paint_handler_ = std::move(handler);
    }

    // Marks an area as changed: "invalidate, erase and repaint". The redraw happens
    // before the next frame, or at flush().
    void invalidate(const QRect& rect);
    void invalidate_all() { invalidate(rect()); }

    // Draws into the image at once, over what it holds (brought up to date first),
    // clipped to `area`; the area is shown at the next frame. A later redraw of the
    // area does not keep what was drawn so.
    void draw_at_once(const QRect& area, const std::function<void(QPainter&)>& draw);

    // Brings the image up to date now.
    void flush();

    // The y from which scene positions count upwards: the bottom of the area as it
    // first opened, so that the picture keeps its place when the window grows or
    // shrinks; the bottom of the area itself until that is set.
    int client_bottom() const { return scene_bottom_ > 0 ? scene_bottom_ : height(); }
    void set_scene_bottom(int y) { scene_bottom_ = y; }

    // The picture as it stands after all changes so far.
    const QImage& image() {
        flush();
        return image_;
    }

    // One filled, black-outlined four-corner polygon.
    static void draw_quad(QPainter& painter, const std::array<QPoint, 4>& corners, const QColor& fill);
    // One kelbo: its depth side, width side and top, in that order, with the pen that
    // is set on the painter.
    static void draw_faces(QPainter& painter, const KelboFaces& faces, const QColor& dark, const QColor& base,
                           const QColor& light);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Makes the image the size of the area (a hidden widget is resized without events).
    void fit_image();

    // Tells the window system which areas changed and has them painted; at most once
    // a frame.
    void show_changes();
    // The part of `area` that the rows on top leave to be seen.
    QRegion uncovered(const QRect& area) const;

    QImage image_;
    int scene_bottom_ = 0;
    // Areas changed since the last redraw: a few rectangles, or once there are more
    // than fit, their bounding box. Kept without allocation, since every placed or
    // taken kelbo adds one.
    static constexpr int MAX_DIRTY_RECTS = 16;
    std::array<QRect, MAX_DIRTY_RECTS> dirty_{};
    int dirty_count_ = 0;
    // Changes not yet passed on to the window system, and whether that is scheduled.
    QRect unshown_;
    QTimer frame_timer_;
    std::function<void(QPainter&, const QRect&)> paint_handler_;
};

}  // namespace kelbos
