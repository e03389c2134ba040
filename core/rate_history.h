// SPDX-License-Identifier: Apache-2.0
// The rows' rates over the last ten minutes, one point per tick: one series per row
// (a receiver link, its TOTAL, a transmission). A series that gets no more points
// keeps those it has until they are older than the window. Series 0, when there is
// one, is the sum of the others (the receiver's TOTAL). Toolkit-free.
#pragma once

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
    std::uint32_t rgb = 0;  // 0xRRGGBB
    std::deque<RatePoint> points;
};

class RateHistory {
public:
    static constexpr std::uint64_t TOTAL_SERIES = 0;
    static constexpr std::size_t MAX_POINTS = 600;
    static constexpr std::int64_t WINDOW_MS = 600000;

    // A tick's rate for the series `key` (created with `name` and `rgb` at its first
    // point); points older than the window before `time_ms` go, and so do series left
    // without points.
    void add(std::uint64_t key, const std::string& name, std::uint32_t rgb, std::int64_t time_ms,
             double mbits);
    // Drops what is older than the window before time_ms.
    void expire(std::int64_t time_ms);

    const std::map<std::uint64_t, RateSeries>& series() const { return series_; }
    bool empty() const { return series_.empty(); }
    // The largest rate held, 0 when there is none.
    double largest() const;

    // Every point as "time,row,mbits_per_s" lines under that header, series by series;
    // the time as local ISO 8601 with milliseconds.
    std::string csv() const;

private:
    std::map<std::uint64_t, RateSeries> series_;
};

}  // namespace kelbos
