// SPDX-License-Identifier: Apache-2.0
// The bar scales a window's rate bars can be drawn to: the full bar stands for 100
// Mbit/s (the default), 1, 10 or 100 Gbit/s, or, in the automatic choice, the smallest
// of those that holds the largest rate shown in the last ten seconds. Toolkit-free.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace kelbos {

// A scale's full-bar rate in Mbit/s, its command-line word and its menu label.
struct BarScale {
    double full_mbits;
    const char* word;
    const char* label;
};

inline constexpr std::array<BarScale, 4> BAR_SCALES = {{
    {100.0, "100M", "100 &Mbit/s"},
    {1000.0, "1G", "&1 Gbit/s"},
    {10000.0, "10G", "1&0 Gbit/s"},
    {100000.0, "100G", "100 &Gbit/s"},
}};
inline constexpr double DEFAULT_FULL_MBITS = 100.0;
inline constexpr const char* AUTOMATIC_WORD = "auto";
inline constexpr const char* AUTOMATIC_LABEL = "&Automatic";

// What the user chose: one of BAR_SCALES by index, or the automatic choice.
struct BarScaleChoice {
    static constexpr int AUTOMATIC = -1;
    int index = 0;
    bool automatic() const { return index == AUTOMATIC; }
    friend bool operator==(BarScaleChoice, BarScaleChoice) = default;
};

// "100M", "1G", "10G", "100G" or "auto"; nothing for any other word.
std::optional<BarScaleChoice> parse_bar_scale(const std::string& word);

// The eleven header labels of a scale, at 0, 1/10, ..., 10/10 of the bar: bare
// numbers are Mbit/s, as in the rate column; from 1000 on they are written in Gbit/s
// with a "G" ("0", "100", ..., "900", "1G").
std::array<std::string, 11> scale_labels(double full_mbits);

// The automatic scale: fed the largest rate of each tick, it keeps the ticks of the
// last ten seconds and answers the smallest scale holding their largest rate. A rate
// above the largest scale gets the largest scale.
class AutoBarScale {
public:
    static constexpr std::uint64_t WINDOW_MS = 10000;

    // One tick at time_ms whose rows showed at most max_mbits. Returns the scale's
    // full-bar rate after it.
    double tick(std::uint64_t time_ms, double max_mbits);
    double full_mbits() const { return full_; }
    void reset();

private:
    std::deque<std::pair<std::uint64_t, double>> recent_;  // (time, largest rate), oldest first
    double full_ = DEFAULT_FULL_MBITS;
};

}  // namespace kelbos
