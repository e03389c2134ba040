// SPDX-License-Identifier: Apache-2.0
// What the Rate History window costs the event loop at each tick, with ten links and
// the TOTAL (11 lines) of 600 points each: the new points added and the plot drawn
// again. The same for a Qt Charts line chart, when Qt Charts is installed, for
// comparison: that is why the plot is drawn with QPainter.
//   build with -DKELBOS_BUILD_BENCH=ON, run build/bench/history_bench
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QMainWindow>
#include <QPainter>
#include <cmath>

#include "shell/history_window.h"
#include "shell/rate_views.h"

#ifdef KELBOS_HAVE_QT_CHARTS
#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QValueAxis>
#endif

namespace kelbos {
namespace {

constexpr int LINES = 11;
constexpr int POINTS = 600;
constexpr QSize PLOT(720, 380);

double rate_at(int line, std::int64_t tick) {
    return 400 + 300 * std::sin(0.05 * static_cast<double>(tick) + line);
}

std::vector<RowRate> rates(std::int64_t tick) {
    std::vector<RowRate> rows;
    for (int line = 0; line < LINES; ++line) {
        const QColor colour = QColor::fromHsv(line * 30, 255, 160);
        const Rgb rgb{static_cast<std::uint8_t>(colour.red()), static_cast<std::uint8_t>(colour.green()),
                      static_cast<std::uint8_t>(colour.blue())};
        rows.push_back(RowRate{static_cast<std::uint64_t>(line), "link " + std::to_string(line), rgb,
                               rate_at(line, tick)});
    }
    return rows;
}

// One tick into the views with the history window open, and the plot's repaint.
void BM_HistoryTick(benchmark::State& state) {
    QMainWindow window;
    std::int64_t tick = 0;
    RateViews views(&window, BarScaleChoice{}, [](double) {});
    views.wall_ms = [&] { return tick * 1000; };
    views.steady_ms = [&] { return static_cast<std::uint64_t>(tick * 1000); };
    for (; tick < POINTS; ++tick) views.ticked(rates(tick));
    views.open_history();
    RatePlot* plot = views.history_window()->plot();
    plot->resize(PLOT);
    QImage image(PLOT, QImage::Format_RGB32);
    for (auto _ : state) {
        views.ticked(rates(tick++));
        plot->render(&image);
    }
}
BENCHMARK(BM_HistoryTick)->Unit(benchmark::kMillisecond);

#ifdef KELBOS_HAVE_QT_CHARTS
// The same lines in a Qt Charts line chart: each tick drops the oldest point of every
// series and appends a new one, and the chart is drawn.
void BM_HistoryTickQtCharts(benchmark::State& state) {
    auto* chart = new QChart;
    auto* x = new QValueAxis;
    auto* y = new QValueAxis;
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    std::vector<QLineSeries*> series;
    for (int line = 0; line < LINES; ++line) {
        auto* s = new QLineSeries;
        chart->addSeries(s);
        s->attachAxis(x);
        s->attachAxis(y);
        QList<QPointF> points;
        for (int t = 0; t < POINTS; ++t) points.append(QPointF(t, rate_at(line, t)));
        s->replace(points);
        series.push_back(s);
    }
    y->setRange(0, 1000);
    QChartView view(chart);
    view.resize(PLOT);
    QImage image(PLOT, QImage::Format_RGB32);
    int tick = POINTS;
    for (auto _ : state) {
        for (int line = 0; line < LINES; ++line) {
            series[line]->remove(0);
            series[line]->append(tick, rate_at(line, tick));
        }
        x->setRange(tick - POINTS + 1, tick);
        ++tick;
        QPainter painter(&image);
        view.render(&painter);
    }
}
BENCHMARK(BM_HistoryTickQtCharts)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
}  // namespace kelbos

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
