// SPDX-License-Identifier: Apache-2.0
// The window's views of its rows' rates, built once for both programs: the View menu
// (Bar Scale and Rate History...), the bar scale the rows are drawn to, and the rate
// history. They are fed only by the rows' once-a-second tick (`ticked`), never by the
// data path.
#pragma once

#include <QObject>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/bar_scale.h"
#include "core/figures.h"
#include "core/rate_history.h"

class QAction;
class QMainWindow;

namespace kelbos {

class HistoryWindow;

class RateViews : public QObject {
    Q_OBJECT
public:
    // Adds the View menu to the window's menu bar (after the menus already there).
    // `apply_scale` is given the full-bar rate in Mbit/s whenever it changes, and at
    // once when `choice` is not the default scale.
    RateViews(QMainWindow* window, BarScaleChoice choice, std::function<void(double)> apply_scale);
    ~RateViews() override;

    // The rows' tick: every row that ticked, with the rate it shows.
    void ticked(const std::vector<RowRate>& rows);

    void choose(BarScaleChoice choice);
    BarScaleChoice choice() const { return choice_; }
    double full_mbits() const { return full_; }

    // Opens (or raises) the Rate History window.
    void open_history();
    HistoryWindow* history_window() const { return history_window_; }
    const RateHistory& history() const { return history_; }

    // Clocks: steady milliseconds for the automatic scale, wall-clock milliseconds
    // since the epoch for the history. Tests replace them.
    std::function<std::uint64_t()> steady_ms;
    std::function<std::int64_t()> wall_ms;

private:
    void set_full(double full);

    QMainWindow* window_;
    std::array<QAction*, BAR_SCALES.size() + 1> scale_actions_{};  // the last: Automatic
    BarScaleChoice choice_;
    std::function<void(double)> apply_scale_;
    double full_ = DEFAULT_FULL_MBITS;
    AutoBarScale auto_;
    RateHistory history_;
    HistoryWindow* history_window_ = nullptr;
};

}  // namespace kelbos
