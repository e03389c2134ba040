// SPDX-License-Identifier: Apache-2.0
// Watches how well a program's event loop keeps up: the largest gap between two turns
// of the loop (and when it ended), the most processor time the program itself spent
// between two turns, the time from start to the first painted frame, and the peak
// resident memory. Reported in the program's exit line with --json. A gap far longer
// than the time spent in it is the system running something else, not the program.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <string>

class QWidget;

namespace kelbos {

class LoopMonitor : public QObject {
    Q_OBJECT
public:
    // `start_ms` is the program's start on the now_ms() clock.
    explicit LoopMonitor(std::uint64_t start_ms, QObject* parent = nullptr);

    // Notes the first paint of `widget` as the first frame.
    void watch_first_frame(QWidget* widget);

    // The exit line {"event":"exit",...}: the largest gap, its end and the processor time
    // in it, the most processor time between two turns, the first frame (-1: none), the
    // peak memory; then `extra` (the program's own '"name":value' members, comma-joined).
    std::string exit_event(const std::string& extra = {}) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void on_tick();

    std::uint64_t start_ms_;
    QTimer ticker_;
    std::uint64_t last_turn_ms_ = 0;
    std::uint64_t max_gap_ms_ = 0;
    std::uint64_t max_gap_at_ms_ = 0;
    std::uint64_t max_gap_busy_us_ = 0;
    std::uint64_t last_cpu_us_ = 0;
    std::uint64_t max_busy_us_ = 0;
    std::int64_t first_frame_ms_ = -1;
};

// Peak resident memory of this process in kilobytes (VmHWM), 0 when unknown.
std::uint64_t peak_resident_kb();

}  // namespace kelbos
