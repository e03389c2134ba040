// SPDX-License-Identifier: Apache-2.0
#include "core/rate.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kelbos {

double rate_mbits(std::uint64_t bytes, std::uint64_t elapsed_ms) {
    if (elapsed_ms == 0) return 0.0;
    return static_cast<double>(bytes) / static_cast<double>(elapsed_ms * 125u);
}

double RateMeter::sample(std::uint64_t now_ms, std::uint64_t bytes) {
    const double rate = rate_mbits(bytes - mark_bytes_, now_ms - mark_ms_);
    start(now_ms, bytes);
    return rate;
}

std::string rate_text(double rate) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%5.4f", rate);
    return buf;
}

double parse_rate_text(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(start, &end);
    if (end == start || !std::isfinite(v)) return 0.0;
    return v;
}

int bar_end(int left, int right, float rate, float full_mbits) {
    const float width = static_cast<float>(right - left);
    // On the 100 Mbits/s scale the factor is exactly 1 and the bar is as it always was.
    const float share = full_mbits == 100.0f ? rate : rate * (100.0f / full_mbits);
    const float x = static_cast<float>(left) + width * share * 0.01f;
    if (!(x < static_cast<float>(right))) return right;  // also catches NaN
    if (x < static_cast<float>(left)) return left;
    return static_cast<int>(std::trunc(x));
}

}  // namespace kelbos
