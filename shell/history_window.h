// SPDX-License-Identifier: Apache-2.0
// The Rate History window: the rows' rates of the last ten minutes as lines, time
// along x and Mbit/s (or Gbit/s) along y, each line in its row's colour. Hovering
// over a point shows its row, time and rate; File > Save As... writes the plot as a
// PNG image or its points as CSV.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QWidget>
#include <optional>

namespace kelbos {

class RateHistory;

// The plot, painted from the history at each repaint.
class RatePlot : public QWidget {
    Q_OBJECT
public:
    RatePlot(const RateHistory& history, QWidget* parent);

    // The text shown for the point nearest `at` (within a few pixels), if any.
    std::optional<QString> point_text(QPoint at) const;
    // The area inside the axes.
    QRect plot_area() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    struct Frame;
    Frame frame() const;

    const RateHistory& history_;
};

class HistoryWindow : public QMainWindow {
    Q_OBJECT
public:
    HistoryWindow(const RateHistory& history, QWidget* owner);

    // Draws the plot again (after a tick).
    void refresh();
    // Writes the plot or its points: CSV when the name ends in ".csv", else PNG.
    // Returns false after telling the user why it could not.
    bool save_to(const QString& path);
    RatePlot* plot() const { return plot_; }

private:
    void save_as();

    const RateHistory& history_;
    RatePlot* plot_;
};

}  // namespace kelbos
