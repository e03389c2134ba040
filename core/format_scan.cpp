// SPDX-License-Identifier: Apache-2.0
#include "core/format_scan.h"

#include <climits>
#include <cstdint>

namespace kelbos {

bool is_format_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void FormatScanner::skip_space() {
    while (pos_ < text_.size() && is_format_space(text_[pos_])) ++pos_;
}

bool FormatScanner::literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
}

bool FormatScanner::integer(int& value) {
    skip_space();
    std::size_t p = pos_;
    bool negative = false;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) negative = text_[p++] == '-';
    if (p >= text_.size() || text_[p] < '0' || text_[p] > '9') return false;

    // Accumulate the magnitude, stopping just beyond the int range so that any run
    // of digits stays within 64 bits.
    constexpr std::int64_t limit = static_cast<std::int64_t>(INT_MAX) + 1;
    std::int64_t magnitude = 0;
    while (p < text_.size() && text_[p] >= '0' && text_[p] <= '9') {
        if (magnitude <= limit) magnitude = magnitude * 10 + (text_[p] - '0');
        ++p;
    }
    if (magnitude > limit) magnitude = limit;
    const std::int64_t signed_value = negative ? -magnitude : magnitude;
    value = signed_value > INT_MAX ? INT_MAX : static_cast<int>(signed_value);
    pos_ = p;
    return true;
}

bool FormatScanner::word(std::string_view& value) {
    skip_space();
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !is_format_space(text_[pos_])) ++pos_;
    value = text_.substr(start, pos_ - start);
    return pos_ > start;
}

int FormatScanner::integer_list(int* values, int max_count) {
    int count = 0;
    while (count < max_count) {
        if (count > 0) {
            if (!literal(",")) break;
            skip_space();
        }
        if (!integer(values[count])) break;
        ++count;
    }
    return count;
}

std::optional<std::uint32_t> read_whole_number(std::string_view text) {
    FormatScanner scan(text);
    scan.skip_space();
    std::string_view digits = scan.rest();
    digits = digits.substr(0, digits.find_first_not_of("0123456789"));
    if (digits.empty()) return std::nullopt;
    FormatScanner after(scan.rest().substr(digits.size()));
    after.skip_space();
    if (!after.rest().empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char digit : digits) {
        value = value * 10 + static_cast<unsigned>(digit - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace kelbos
