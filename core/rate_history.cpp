// SPDX-License-Identifier: Apache-2.0
#include "core/rate_history.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace kelbos {

namespace {
// The k-th shade of a colour: 0 the colour, then by turns lighter and darker.
std::uint32_t shade(std::uint32_t rgb, int k) {
    if (k == 0) return rgb;
    const double f = std::min(0.8, 0.35 * ((k + 1) / 2));
    const int towards = k % 2 ? 255 : 0;
    std::uint32_t out = 0;
    for (int bits : {16, 8, 0}) {
        const int c = static_cast<int>((rgb >> bits) & 0xFFu);
        out |= static_cast<std::uint32_t>(c + static_cast<int>((towards - c) * f)) << bits;
    }
    return out;
}
}  // namespace

void RateHistory::add(std::uint64_t key, const std::string& name, std::uint32_t rgb, std::int64_t time_ms,
                      double mbits) {
    RateSeries& s = series_[key];
    if (s.points.empty()) {
        int same = 0;
        for (const auto& [k, other] : series_) same += k != key && other.row_rgb == rgb;
        s.name = name;
        s.row_rgb = rgb;
        s.rgb = shade(rgb, same);
        s.started_ms = time_ms;
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

double RateHistory::largest(std::int64_t since_ms) const {
    double most = 0;
    for (const auto& [key, s] : series_)
        for (const RatePoint& p : s.points)
            if (p.time_ms >= since_ms) most = std::max(most, p.mbits);
    return most;
}

std::int64_t time_label_step_ms(std::int64_t span_ms, int label_px, int width_px) {
    for (std::int64_t step_s : {5, 10, 15, 30, 60, 120, 300}) {
        const std::int64_t labels = span_ms / (step_s * 1000) + 1;
        if (labels * label_px <= width_px) return step_s * 1000;
    }
    return 300000;
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

std::string RateHistory::label(std::uint64_t key) const {
    const auto it = series_.find(key);
    if (it == series_.end()) return {};
    for (const auto& [k, other] : series_)
        if (k != key && other.name == it->second.name)
            return it->second.name + " " + iso_time(it->second.started_ms).substr(11, 8);
    return it->second.name;
}

std::string RateHistory::csv() const {
    std::string out = "time,row,mbits_per_s\n";
    char rate[64];
    for (const auto& [key, s] : series_) {
        const std::string row = csv_field(label(key));
        for (const RatePoint& p : s.points) {
            std::snprintf(rate, sizeof rate, "%.4f", p.mbits);
            out += iso_time(p.time_ms) + "," + row + "," + rate + "\n";
        }
    }
    return out;
}

}  // namespace kelbos
