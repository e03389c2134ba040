// SPDX-License-Identifier: Apache-2.0
#include "rate_history.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace kelbos {

void RateHistory::add(std::uint64_t key, const std::string& name, std::uint32_t rgb, std::int64_t time_ms,
                      double mbits) {
    RateSeries& s = series_[key];
    if (s.points.empty()) {
        s.name = name;
        s.rgb = rgb;
    }
    s.points.push_back({time_ms, mbits});
    if (s.points.size() > MAX_POINTS) s.points.pop_front();
    expire(time_ms);
}

void RateHistory::expire(std::int64_t time_ms) {
    for (auto it = series_.begin(); it != series_.end();) {
        auto& points = it->second.points;
        while (!points.empty() && time_ms - points.front().time_ms > WINDOW_MS) points.pop_front();
        it = points.empty() ? series_.erase(it) : std::next(it);
    }
}

double RateHistory::largest() const {
    double most = 0;
    for (const auto& [key, s] : series_)
        for (const RatePoint& p : s.points) most = std::max(most, p.mbits);
    return most;
}

namespace {
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string iso_time(std::int64_t time_ms) {
    const std::time_t seconds = static_cast<std::time_t>(time_ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char buf[48];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
    std::snprintf(buf + n, sizeof buf - n, ".%03d", static_cast<int>(time_ms % 1000));
    return buf;
}
}  // namespace

std::string RateHistory::csv() const {
    std::string out = "time,row,mbits_per_s\n";
    char rate[64];
    for (const auto& [key, s] : series_) {
        for (const RatePoint& p : s.points) {
            std::snprintf(rate, sizeof rate, "%.4f", p.mbits);
            out += iso_time(p.time_ms) + "," + csv_field(s.name) + "," + rate + "\n";
        }
    }
    return out;
}

}  // namespace kelbos
