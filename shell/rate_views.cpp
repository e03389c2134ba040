// SPDX-License-Identifier: Apache-2.0
#include "shell/rate_views.h"

#include <QActionGroup>
#include <QDateTime>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <algorithm>

#include "core/clock.h"
#include "shell/history_window.h"

namespace kelbos {

RateViews::RateViews(QMainWindow* window, BarScaleChoice choice, std::function<void(double)> apply_scale)
    : QObject(window), window_(window), choice_(choice), apply_scale_(std::move(apply_scale)) {
    steady_ms = [] { return now_ms(); };
    wall_ms = [] { return QDateTime::currentMSecsSinceEpoch(); };

    QMenu* menu = window->menuBar()->addMenu("&View");
    QMenu* scales = menu->addMenu("&Bar Scale");
    auto* group = new QActionGroup(menu);
    for (std::size_t i = 0; i < scale_actions_.size(); ++i) {
        const bool automatic = i == BAR_SCALES.size();
        QAction* action = scales->addAction(automatic ? AUTOMATIC_LABEL : BAR_SCALES[i].label);
        if (automatic) scales->insertSeparator(action);
        action->setCheckable(true);
        group->addAction(action);
        const BarScaleChoice c{automatic ? BarScaleChoice::AUTOMATIC : static_cast<int>(i)};
        connect(action, &QAction::triggered, this, [this, c] { choose(c); });
        scale_actions_[i] = action;
    }
    QAction* history = menu->addAction("Rate &History...");
    connect(history, &QAction::triggered, this, &RateViews::open_history);
    choose(choice);
}

RateViews::~RateViews() = default;

void RateViews::choose(BarScaleChoice choice) {
    choice_ = choice;
    scale_actions_[choice.automatic() ? BAR_SCALES.size() : static_cast<std::size_t>(choice.index)]
        ->setChecked(true);
    set_full(choice.automatic() ? auto_.full_mbits() : BAR_SCALES[choice.index].full_mbits);
}

void RateViews::set_full(double full) {
    if (full == full_) return;
    full_ = full;
    if (apply_scale_) apply_scale_(full);
}

void RateViews::ticked(const std::vector<RowRate>& rows) {
    double largest = 0;
    const std::int64_t wall = wall_ms();
    for (const RowRate& row : rows) {
        largest = std::max(largest, row.mbits);
        const std::uint32_t rgb = (std::uint32_t{row.colour.r} << 16) | (std::uint32_t{row.colour.g} << 8) | row.colour.b;
        history_.add(row.series, row.name, rgb, wall, row.mbits);
    }
    history_.expire(wall);
    // The automatic scale follows the ticks whatever is chosen, so choosing it takes
    // the last ten seconds into account at once.
    const double automatic = auto_.tick(steady_ms(), largest);
    if (choice_.automatic()) set_full(automatic);
    if (history_window_ && history_window_->isVisible()) history_window_->refresh();
}

void RateViews::open_history() {
    if (!history_window_) history_window_ = new HistoryWindow(history_, window_);
    history_window_->show();
    history_window_->raise();
    history_window_->activateWindow();
    history_window_->refresh();
}

}  // namespace kelbos
