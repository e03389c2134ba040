// SPDX-License-Identifier: Apache-2.0
#include "core/offered_load.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <utility>

namespace kelbos {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

bool all_digits(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// Nanoseconds that `bits` take at `rate_bps`.
std::int64_t bits_ns(std::uint64_t bits, std::uint64_t rate_bps) {
    return static_cast<std::int64_t>(static_cast<unsigned __int128>(bits) * 1'000'000'000u / rate_bps);
}

}  // namespace

std::optional<std::uint64_t> parse_rate(std::string_view text) {
    text = trimmed(text);
    if (text.empty()) return 0;
    std::uint64_t scale = 1;
    switch (text.back()) {
        case 'k':
        case 'K':
            scale = 1'000;
            break;
        case 'm':
        case 'M':
            scale = 1'000'000;
            break;
        case 'g':
        case 'G':
            scale = 1'000'000'000;
            break;
        default:
            break;
    }
    if (scale != 1) text.remove_suffix(1);
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
    if (whole.empty() || !all_digits(whole) || !all_digits(fraction) ||
        (point != std::string_view::npos && fraction.empty()) || whole.size() > 13 || fraction.size() > 9)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : whole) value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > MAX_RATE_BPS / scale) return std::nullopt;
    value *= scale;
    // The fraction must come to whole bits.
    std::uint64_t part = scale;
    for (char c : fraction) {
        if (part % 10 != 0) return std::nullopt;
        part /= 10;
        value += part * static_cast<unsigned>(c - '0');
    }
    if (value > MAX_RATE_BPS) return std::nullopt;
    return value;
}

std::string rate_field_text(std::uint64_t rate_bps) {
    static constexpr std::array<std::pair<std::uint64_t, char>, 3> units = {
        {{1'000'000'000, 'G'}, {1'000'000, 'M'}, {1'000, 'k'}}};
    for (const auto& [scale, unit] : units)
        if (rate_bps != 0 && rate_bps % scale == 0) return std::to_string(rate_bps / scale) + unit;
    return std::to_string(rate_bps);
}

std::optional<int> parse_dscp(std::string_view text) {
    text = trimmed(text);
    if (!text.empty() && text.size() <= 2 && all_digits(text)) {
        const int value = std::stoi(std::string(text));
        if (value <= 63) return value;
        return std::nullopt;
    }
    std::string name;
    for (char c : text) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static constexpr std::array<std::pair<std::string_view, int>, 3> named = {
        {{"EF", 46}, {"VA", 44}, {"LE", 1}}};
    for (const auto& [word, value] : named)
        if (name == word) return value;
    // CSn: class selector n; AFxy: class x, drop precedence y.
    if (name.size() == 3 && name.starts_with("CS") && name[2] >= '0' && name[2] <= '7')
        return (name[2] - '0') * 8;
    if (name.size() == 4 && name.starts_with("AF") && name[2] >= '1' && name[2] <= '4' && name[3] >= '1' &&
        name[3] <= '3')
        return (name[2] - '0') * 8 + (name[3] - '0') * 2;
    return std::nullopt;
}

PaceSchedule::PaceSchedule(std::uint64_t rate_bps, std::uint32_t message_bytes, std::int64_t start_ns)
    : rate_bps_(std::max<std::uint64_t>(rate_bps, 1)),
      message_bits_(std::max<std::uint64_t>(message_bytes, 1) * 8),
      max_debt_ns_(std::max(DEBT_NS, 2 * bits_ns(message_bits_, rate_bps_))),
      anchor_ns_(start_ns) {}

std::int64_t PaceSchedule::due_ns() const {
    return anchor_ns_ + bits_ns(bits_, rate_bps_);
}

std::uint64_t PaceSchedule::allowed(std::int64_t now_ns) {
    std::int64_t due = due_ns();
    if (now_ns < due) return 0;
    if (now_ns - due > max_debt_ns_) {
        anchor_ns_ = due = now_ns - max_debt_ns_;
        bits_ = 0;
    }
    const auto late_bits = static_cast<unsigned __int128>(now_ns - due) * rate_bps_ / 1'000'000'000u;
    return 1 + static_cast<std::uint64_t>(late_bits / message_bits_);
}

}  // namespace kelbos
