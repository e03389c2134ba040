// The drawing area of both main windows: a backing image of the client area, black
// where nothing is drawn. Kelbos are drawn into the image; the widget shows it. The
// status rows sit on top of it, so updates leave their area out.
#pragma once

#include <QImage>
#include <QRegion>
#include <QWidget>
#include <array>
#include <functional>

namespace kelbos {

class KelboCanvas : public QWidget {
    Q_OBJECT
public:
    explicit KelboCanvas(QWidget* parent = nullptr);

    // Draws whatever of the picture meets the rectangle into the image (which is
    // already black there). Set by the program that owns the picture.
    void set_paint_handler(std::function<void(QPainter&, const QRect&)> handler) {
        paint_handler_ = std::move(handler);
    }

    // Erases the rectangle (clipped to the area), repaints what meets it at once and
    // shows the result: "invalidate, erase and repaint".
    void repaint_area(const QRect& rect);
    void repaint_all() { repaint_area(rect()); }

    // Runs `draw` with a painter on the image, then shows `changed`.
    void draw_now(const QRect& changed, const std::function<void(QPainter&)>& draw);

    // Bottom of the client area: the y from which scene positions count upwards.
    int client_bottom() const { return height(); }

    const QImage& image() const { return image_; }

    // One filled, black-outlined four-corner polygon.
    static void draw_quad(QPainter& painter, const std::array<QPoint, 4>& corners, const QColor& fill);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void show_rect(const QRect& rect);

    QImage image_;
    std::function<void(QPainter&, const QRect&)> paint_handler_;
};

}  // namespace kelbos
