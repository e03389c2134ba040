// SPDX-License-Identifier: Apache-2.0
#include "rate.h"

#include <gtest/gtest.h>

using namespace kelbos;

TEST(Rate, TwentyMbitsIsAFifthOfTheBar) {
    const double rate = rate_mbits(2500000, 1000);
    EXPECT_EQ(rate_text(rate), "20.0000");
    for (int width : {100, 201, 302, 335, 400, 1000})
        EXPECT_EQ(bar_end(0, width, static_cast<float>(rate)), width / 5) << width;
    EXPECT_EQ(bar_end(10, 110, static_cast<float>(rate)), 30);
}

TEST(Rate, LargeCountsAndLongIntervalsDoNotWrapZeroIntervalsGiveZero) {
    // 40 Gbit/s for one second: beyond what 32 bits can hold.
    EXPECT_EQ(rate_text(rate_mbits(5000000000ull, 1000)), "40000.0000");
    // Ten hours at 10 Mbit/s: the millisecond product is beyond 32 bits.
    const std::uint64_t ms = 10ull * 3600 * 1000;
    EXPECT_EQ(rate_text(rate_mbits(ms * 1250, ms)), "10.0000");
    // No interval, and the formatting.
    EXPECT_EQ(rate_mbits(12345, 0), 0.0);
    EXPECT_EQ(rate_text(0.0), "0.0000");
    EXPECT_EQ(rate_text(rate_mbits(125, 1000)), "0.0010");
    EXPECT_EQ(rate_text(1234.56789), "1234.5679");
}

TEST(Rate, BarIsClippedAndReadBackFromText) {
    EXPECT_EQ(bar_end(0, 200, 100.0f), 200);
    EXPECT_EQ(bar_end(0, 200, 40000.0f), 200);  // larger rates clip at the edge
    EXPECT_EQ(bar_end(0, 200, 0.0f), 0);
    EXPECT_EQ(bar_end(0, 200, -5.0f), 0);
    EXPECT_EQ(bar_end(5, 205, 50.0f), 105);

    EXPECT_DOUBLE_EQ(parse_rate_text("20.0000"), 20.0);
    EXPECT_DOUBLE_EQ(parse_rate_text(" 3.5000"), 3.5);
    EXPECT_EQ(parse_rate_text(""), 0.0);
    EXPECT_EQ(parse_rate_text("abc"), 0.0);
}
