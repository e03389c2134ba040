// SPDX-License-Identifier: Apache-2.0
// Rates in megabits per second (1 Mbit = 1,000,000 bits): bytes / (ms * 125).
// Byte counts and the product are 64-bit, so neither a fast link nor a long interval
// wraps.
#pragma once

#include <cstdint>
#include <string>

namespace kelbos {

// Rate of `bytes` over `elapsed_ms`; 0 when the interval is 0.
double rate_mbits(std::uint64_t bytes, std::uint64_t elapsed_ms);

// The rate as the rows show it: "%5.4f".
std::string rate_text(double rate);

// A rate measured tick by tick from a running byte total: each sample is the bytes
// since the previous sample over the time since then.
class RateMeter {
public:
    // The first sample measures from `now_ms` and the total `bytes`.
    void start(std::uint64_t now_ms, std::uint64_t bytes) {
        mark_ms_ = now_ms;
        mark_bytes_ = bytes;
    }
    // The rate in Mbits/s since the previous sample (or the start); 0 over no time.
    double sample(std::uint64_t now_ms, std::uint64_t bytes);

private:
    std::uint64_t mark_ms_ = 0;
    std::uint64_t mark_bytes_ = 0;
};

// Reads the text of a rate field back as a number; 0 when it is not one.
double parse_rate_text(const std::string& text);

// Right end of a rate bar drawn from `left` in a control spanning left..right, the
// whole control standing for `full_mbits` (100 Mbits/s unless a larger bar scale is
// chosen). Single-precision arithmetic, truncated toward zero; clipped to the control.
int bar_end(int left, int right, float rate, float full_mbits = 100.0f);

}  // namespace kelbos
