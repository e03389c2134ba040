// SPDX-License-Identifier: Apache-2.0
// The rows' rates over the last ten minutes, one point per tick: one series per row
// (a receiver link, its TOTAL, a transmission). A series that gets no more points
// keeps those it has until they are older than the window. Series 0, when there is
// one, is the sum of the others (the receiver's TOTAL). Toolkit-free.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace kelbos {

struct RatePoint {
    std::int64_t time_ms;  // wall-clock milliseconds since the epoch
    double mbits;
};

struct RateSeries {
    std::string name;
    std::uint32_t rgb = 0;        // 0xRRGGBB: its row's colour, in a shade of its own
    std::uint32_t row_rgb = 0;    // its row's colour
    std::int64_t started_ms = 0;  // the time of its first point
    std::deque<RatePoint> points;
};

class RateHistory {
public:
    static constexpr std::uint64_t TOTAL_SERIES = 0;
    static constexpr std::size_t MAX_POINTS = 600;
    static constexpr std::int64_t WINDOW_MS = 600000;

    // A tick's rate for the series `key` (created with `name` and `rgb` at its first
    // point, in a lighter or darker shade of `rgb` when series already held have that
    // colour); points older than the window before `time_ms` go, and so do series left
    // without points.
    void add(std::uint64_t key, const std::string& name, std::uint32_t rgb, std::int64_t time_ms,
             double mbits);
    // Drops what is older than the window before time_ms.
    void expire(std::int64_t time_ms);

    const std::map<std::uint64_t, RateSeries>& series() const { return series_; }
    bool empty() const { return series_.empty(); }
    // The largest rate held from `since_ms` on, 0 when there is none.
    double largest(std::int64_t since_ms = INT64_MIN) const;
    // The series' name, and when another series has the same name, the local time of
    // its first point ("localhost #1 18:41:39").
    std::string label(std::uint64_t key) const;

    // Every point as "time,row,mbits_per_s" lines under that header, series by series;
    // the time as local ISO 8601 with milliseconds.
    std::string csv() const;

private:
    std::map<std::uint64_t, RateSeries> series_;
};

// The step between time labels along a span of `span_ms` drawn `width_px` wide, with
// labels `label_px` wide: the smallest of 5, 10, 15 and 30 seconds, 1, 2 and 5 minutes
// that keeps the labels apart (5 minutes when none does).
std::int64_t time_label_step_ms(std::int64_t span_ms, int label_px, int width_px);

}  // namespace kelbos
