// SPDX-License-Identifier: Apache-2.0
// The longest time this test process went without being scheduled, measured on a
// thread of its own that wakes every 5 ms: when the whole machine stalls, every
// program's event loop does too, and that is not theirs to answer for.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace kelbos::testing {

class StallMeter {
public:
    StallMeter()
        : thread_([this](std::stop_token stop) {
              auto last = std::chrono::steady_clock::now();
              while (!stop.stop_requested()) {
                  ::poll(nullptr, 0, 5);
                  const auto now = std::chrono::steady_clock::now();
                  const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
                  if (gap > max_gap_ms_.load()) max_gap_ms_ = gap;
                  last = now;
              }
          }) {}
    std::int64_t max_gap_ms() const { return max_gap_ms_.load(); }

private:
    std::atomic<std::int64_t> max_gap_ms_{0};
    std::jthread thread_;
};

}  // namespace kelbos::testing
