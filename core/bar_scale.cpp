// SPDX-License-Identifier: Apache-2.0
#include "core/bar_scale.h"

#include <algorithm>
#include <cmath>

namespace kelbos {

std::optional<BarScaleChoice> parse_bar_scale(const std::string& word) {
    if (word == AUTOMATIC_WORD) return BarScaleChoice{BarScaleChoice::AUTOMATIC};
    for (std::size_t i = 0; i < BAR_SCALES.size(); ++i)
        if (word == BAR_SCALES[i].word) return BarScaleChoice{static_cast<int>(i)};
    return std::nullopt;
}

std::array<std::string, 11> scale_labels(double full_mbits) {
    std::array<std::string, 11> labels;
    for (int i = 0; i <= 10; ++i) {
        const auto mbits = static_cast<std::uint64_t>(std::llround(full_mbits * i / 10.0));
        if (mbits >= 1000 && mbits % 1000 == 0)
            labels[i] = std::to_string(mbits / 1000) + "G";
        else
            labels[i] = std::to_string(mbits);
    }
    return labels;
}

double AutoBarScale::tick(std::uint64_t time_ms, double max_mbits) {
    while (!recent_.empty() && time_ms - recent_.front().first >= WINDOW_MS) recent_.pop_front();
    recent_.emplace_back(time_ms, std::isfinite(max_mbits) ? max_mbits : 0.0);
    double largest = 0;
    for (const auto& [time, rate] : recent_) largest = std::max(largest, rate);
    full_ = BAR_SCALES.back().full_mbits;
    for (const BarScale& scale : BAR_SCALES) {
        if (largest <= scale.full_mbits) {
            full_ = scale.full_mbits;
            break;
        }
    }
    return full_;
}

void AutoBarScale::reset() {
    recent_.clear();
    full_ = DEFAULT_FULL_MBITS;
}

}  // namespace kelbos
