// SPDX-License-Identifier: Apache-2.0
// The transmitter's value row at work: filled from the settings when a transmission
// starts, a rate and bar once a second from the bytes sent, "Stopped" at the end.
#pragma once

#include <QColor>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>

#include "clock.h"

namespace kelbos {

class StatusRow;
struct CommSettings;

// The send counters: bytes not yet turned into a kelbo, bytes sent since Go, and the
// total at the row's last rate sample.
struct ByteCounters {
    std::uint64_t pending_bytes = 0;
    std::uint64_t total_bytes = 0;
    std::uint64_t rate_mark_bytes = 0;
};

class ValueRow : public QObject {
    Q_OBJECT
public:
    ValueRow(StatusRow& row, ByteCounters& counters,
             std::chrono::milliseconds period = std::chrono::seconds(1), QObject* parent = nullptr);

    // Starts the one-second tick (replacing a running one) and shows the settings'
    // receiver name, protocol and kelbo size with a rate of "0.0000". The first rate
    // measures from `now`.
    void start(const CommSettings& settings, std::uint64_t now = now_ms());
    // One rate sample: the bytes since the last sample over the time since then.
    // Returns the rate in Mbits/s.
    double tick(std::uint64_t now = now_ms());
    // Stops the tick and shows "Stopped"; the rate and bar stay as they are.
    void stop();
    // Stops the tick and shows nothing new: the row keeps its last values.
    void hold() { timer_.stop(); }

    // The bar's colour, on ticks and on repaints from the rate text.
    void set_bar_colour(QColor colour);
    // Called after every tick with its rate.
    void set_tick_listener(std::function<void(double)> listener) { tick_listener_ = std::move(listener); }

    bool ticking() const { return timer_.isActive(); }
    StatusRow& row() const { return row_; }

private:
    StatusRow& row_;
    ByteCounters& counters_;
    QTimer timer_;
    std::uint64_t tick_time_ = 0;
    QColor bar_colour_;
    std::function<void(double)> tick_listener_;
};

}  // namespace kelbos
