// SPDX-License-Identifier: Apache-2.0
#include "shell/history_window.h"

#include <QDateTime>
#include <QFileDialog>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QToolTip>
#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "core/rate_history.h"
#include "core/show_message.h"

namespace kelbos {

namespace {

constexpr std::int64_t MIN_SPAN_MS = 60000;  // the x axis spans at least a minute
// The y axis holds the rates of the last minute: a peak that is older no longer
// flattens what came after it (it is drawn at the axis' top).
constexpr std::int64_t PEAK_WINDOW_MS = 60000;
constexpr int GRID_STEPS = 5;
constexpr int HOVER_PIXELS = 6;

// The smallest of 1, 2, 5 times a power of ten that is at least `value`.
double nice_ceiling(double value) {
    if (!(value > 0)) return 1.0;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (double step : {1.0, 2.0, 5.0, 10.0})
        if (step * power >= value * (1 - 1e-12)) return step * power;
    return 10.0 * power;
}

QString number_text(double v) {
    return QString::number(v, 'g', 6);
}

}  // namespace

struct RatePlot::Frame {
    QRect area;
    std::int64_t t0, t1;
    double top;     // the y axis' top, in Mbit/s
    double divide;  // 1 for Mbit/s, 1000 for Gbit/s
    const char* unit;

    QPointF map(std::int64_t t, double mbits) const {
        const double fx = static_cast<double>(t - t0) / static_cast<double>(t1 - t0);
        const double fy = std::clamp(mbits / top, 0.0, 1.0);
        // Two pixels clear of the frame, so that the widest line stays inside it.
        return QPointF(area.left() + 2 + fx * (area.width() - 4),
                       area.bottom() - 2 - fy * (area.height() - 4));
    }
};

RatePlot::RatePlot(const RateHistory& history, QWidget* parent) : QWidget(parent), history_(history) {
    setMouseTracking(true);
    setMinimumSize(320, 200);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QRect RatePlot::plot_area() const {
    const QFontMetrics fm(font());
    const int left = fm.horizontalAdvance("00000.0") + 10;
    const int top = fm.height() * 2;
    const int bottom = fm.height() + 10;
    return QRect(left, top, std::max(1, width() - left - 16), std::max(1, height() - top - bottom));
}

RatePlot::Frame RatePlot::frame() const {
    Frame f{plot_area(), 0, 0, 1.0, 1.0, "Mbit/s"};
    bool any = false;
    for (const auto& [key, s] : history_.series()) {
        f.t0 = any ? std::min(f.t0, s.points.front().time_ms) : s.points.front().time_ms;
        f.t1 = any ? std::max(f.t1, s.points.back().time_ms) : s.points.back().time_ms;
        any = true;
    }
    if (!any) f.t0 = f.t1 = QDateTime::currentMSecsSinceEpoch();
    if (f.t1 - f.t0 < MIN_SPAN_MS) f.t0 = f.t1 - MIN_SPAN_MS;
    const double largest = history_.largest(f.t1 - PEAK_WINDOW_MS);
    if (largest >= 1000) {
        f.divide = 1000;
        f.unit = "Gbit/s";
    }
    f.top = nice_ceiling(largest / f.divide) * f.divide;
    return f;
}

void RatePlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    const Frame f = frame();
    const QFontMetrics fm(font());

    // Grid and axis labels: rate on the left, time of day along the bottom at round
    // steps of local time, each label whole inside the window.
    const int label_w = fm.horizontalAdvance("00:00:00");
    const std::int64_t step = time_label_step_ms(f.t1 - f.t0, label_w + fm.height(), f.area.width());
    const std::int64_t offset = QDateTime::fromMSecsSinceEpoch(f.t0).offsetFromUtc() * std::int64_t{1000};
    std::vector<std::int64_t> times;
    for (std::int64_t t = f.t0 + step - 1 - (f.t0 + offset + step - 1) % step; t <= f.t1; t += step)
        times.push_back(t);
    p.setPen(QColor(220, 220, 220));
    for (int i = 0; i <= GRID_STEPS; ++i) {
        const int y = f.area.bottom() - f.area.height() * i / GRID_STEPS;
        p.drawLine(f.area.left(), y, f.area.right(), y);
    }
    for (std::int64_t t : times) {
        const int x = static_cast<int>(f.map(t, 0).x());
        p.drawLine(x, f.area.top(), x, f.area.bottom());
    }
    p.setPen(Qt::black);
    p.drawRect(f.area);
    for (int i = 0; i <= GRID_STEPS; ++i) {
        const int y = f.area.bottom() - f.area.height() * i / GRID_STEPS;
        const QString label = number_text(f.top / f.divide * i / GRID_STEPS);
        p.drawText(QRect(0, y - fm.height() / 2, f.area.left() - 6, fm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, label);
    }
    for (std::int64_t t : times) {
        const QString time = QDateTime::fromMSecsSinceEpoch(t).toString("hh:mm:ss");
        const int w = fm.horizontalAdvance(time), x = static_cast<int>(f.map(t, 0).x()) - w / 2;
        if (x >= 0 && x + w <= width()) p.drawText(x, f.area.bottom() + 4 + fm.ascent(), time);
    }
    p.drawText(4, fm.ascent() + 2, f.unit);

    // The legend along the top, then the lines, drawn without smoothing so that each
    // keeps exactly its row's colour.
    int legend_x = f.area.left();
    for (const auto& [key, s] : history_.series()) {
        const QColor colour = QColor::fromRgb(s.rgb);
        const QString name = QString::fromStdString(history_.label(key));
        p.fillRect(legend_x, 4, fm.height() - 4, fm.height() - 4, colour);
        p.setPen(Qt::black);
        p.drawText(legend_x + fm.height(), fm.ascent() + 2, name);
        legend_x += fm.height() + fm.horizontalAdvance(name) + 12;
    }
    // (no clip: every point maps inside the frame, two pixels clear of its edges)
    // Lines are drawn as one-pixel polylines side by side: as thick as a wide pen,
    // at a small part of its cost (a tick repaints every line).
    static constexpr QPoint THIN[] = {{0, 0}, {0, 1}};
    static constexpr QPoint WIDE[] = {{0, -2}, {0, 1}, {0, 1}, {0, 1}, {0, 1}};  // steps from the line
    QPolygon line;
    for (const auto& [key, s] : history_.series()) {
        // The total is drawn first and wider: with one link it lies under the link's
        // line and shows as a grey edge to it.
        const std::span<const QPoint> offsets =
            key == RateHistory::TOTAL_SERIES ? std::span<const QPoint>(WIDE) : std::span<const QPoint>(THIN);
        p.setPen(QPen(QColor::fromRgb(s.rgb), 0));
        line.clear();
        for (const RatePoint& point : s.points) line << f.map(point.time_ms, point.mbits).toPoint();
        if (line.size() == 1) {
            // A series of one point (a transmission halted before its first tick): a dot.
            p.fillRect(QRect(line.front() - QPoint(1, 1), QSize(3, 3)), QColor::fromRgb(s.rgb));
            continue;
        }
        for (const QPoint& step : offsets) {
            line.translate(step);
            p.drawPolyline(line);
        }
    }
}

std::optional<QString> RatePlot::point_text(QPoint at) const {
    const Frame f = frame();
    double best = HOVER_PIXELS * HOVER_PIXELS + 1;
    std::optional<QString> text;
    for (const auto& [key, s] : history_.series()) {
        for (const RatePoint& point : s.points) {
            const QPointF d = f.map(point.time_ms, point.mbits) - QPointF(at);
            const double distance = d.x() * d.x() + d.y() * d.y();
            if (distance >= best) continue;
            best = distance;
            text = QString("%1\n%2\n%3 %4")
                       .arg(QString::fromStdString(history_.label(key)),
                            QDateTime::fromMSecsSinceEpoch(point.time_ms).toString("hh:mm:ss"),
                            QString::number(point.mbits / f.divide, 'f', 4), f.unit);
        }
    }
    return text;
}

void RatePlot::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (const auto text = point_text(at))
        QToolTip::showText(event->globalPosition().toPoint(), *text, this);
    else
        QToolTip::hideText();
}

HistoryWindow::HistoryWindow(const RateHistory& history, QWidget* owner)
    : QMainWindow(owner), history_(history), plot_(new RatePlot(history, this)) {
    setWindowTitle((owner ? owner->windowTitle() + " - " : QString()) + "Rate History");
    setCentralWidget(plot_);
    setAttribute(Qt::WA_AlwaysShowToolTips);  // a point's tip also beside another active window
    QMenu* file = menuBar()->addMenu("&File");
    connect(file->addAction("Save &As..."), &QAction::triggered, this, &HistoryWindow::save_as);
    connect(file->addAction("&Close"), &QAction::triggered, this, &QWidget::close);
    resize(720, 400);
}

void HistoryWindow::refresh() {
    plot_->update();
}

void HistoryWindow::save_as() {
    QFileDialog dialog(this, "Save rate history");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    const QString png = "PNG image (*.png)", csv = "CSV file (*.csv)";
    dialog.setNameFilters({png, csv});
    dialog.setDefaultSuffix("png");
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, csv](const QString& filter) {
        dialog.setDefaultSuffix(filter == csv ? "csv" : "png");
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    save_to(dialog.selectedFiles().first());
}

bool HistoryWindow::save_to(const QString& path) {
    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly);
    if (written) {
        if (path.endsWith(".csv", Qt::CaseInsensitive)) {
            const std::string text = history_.csv();
            written =
                file.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size());
        } else {
            written = plot_->grab().save(&file, "PNG");
        }
        written = written && file.commit();
    }
    if (!written) {
        const std::string name = path.toStdString(), why = file.errorString().toStdString();
        show_message({"Cannot save ", name.c_str(), "\n", why.c_str()});
    }
    return written;
}

}  // namespace kelbos
