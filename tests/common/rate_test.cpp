// SPDX-License-Identifier: Apache-2.0
#include "core/rate.h"

#include <gtest/gtest.h>

#include "core/offered_load.h"

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

TEST(RateMeter, EachSampleMeasuresFromThePreviousOne) {
    RateMeter meter;
    meter.start(1000, 0);
    EXPECT_DOUBLE_EQ(meter.sample(2000, 2500000), 20.0);
    EXPECT_EQ(rate_text(meter.sample(3000, 15000000)), "100.0000");
    // Totals past 32 bits, and a sample over no time.
    meter.start(4000, 0xFFFFFFF0ull);
    EXPECT_EQ(rate_text(meter.sample(14000, 0xFFFFFFF0ull + 5000000000ull)), "4000.0000");  // 32 bits: 564.0262
    EXPECT_EQ(meter.sample(14000, 0xFFFFFFF0ull + 5000000000ull), 0.0);
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

// Rates and DSCP values on both sides of each boundary; a rate as the dialog shows it.
TEST(OfferedLoad, RatesAndDscpValuesReadAsWrittenAndNothingElse) {
    const std::pair<const char*, std::uint64_t> rates[] = {
        {"", 0}, {"1", 1}, {"1.5k", 1500}, {"0.001k", 1}, {" 2.5G ", 2500000000}, {"1000G", MAX_RATE_BPS}};
    for (const auto& [text, bps] : rates) EXPECT_EQ(parse_rate(text), bps) << text;
    for (const char* bad :
         {"1.5", "0.0001k", "1000000000001", "1000.000000001G", "k", "-1", "5x", ".5M", "1e6"})
        EXPECT_FALSE(parse_rate(bad)) << bad;
    for (std::uint64_t bps : {0ull, 1500ull, 1500000ull, 500000000ull})
        EXPECT_EQ(parse_rate(rate_field_text(bps)), bps);
    const std::pair<const char*, int> dscps[] = {{"0", 0},    {"63", 63},   {"ef", 46},
                                                 {"VA", 44},  {"LE", 1},    {"CS0", 0},
                                                 {"cs7", 56}, {"AF11", 10}, {"af43", 38}};
    for (const auto& [text, dscp] : dscps) EXPECT_EQ(parse_dscp(text), dscp) << text;
    for (const char* bad : {"", "64", "-1", "063", "CS8", "AF10", "AF44", "AF51", "BE"})
        EXPECT_FALSE(parse_dscp(bad)) << bad;
}

// 1250-byte messages at 100 Mbit/s: one every 100 us, against a clock the test moves.
TEST(OfferedLoad, PaceScheduleSpacesEvenlyAndBoundsItsDebtAfterAStall) {
    constexpr std::int64_t START = 5'000'000'000, GAP = 100'000, DEBT = PaceSchedule::DEBT_NS;
    PaceSchedule pace(100'000'000, 1250, START);
    for (int n = 0; n < 1000; ++n, pace.sent(1250))
        ASSERT_EQ((std::tuple{pace.due_ns(), pace.allowed(pace.due_ns() - 1), pace.allowed(pace.due_ns())}),
                  (std::tuple{START + n * GAP, 0u, 1u}));
    pace.sent(625);  // a message cut short moves the schedule by what went
    EXPECT_EQ(pace.due_ns(), START + 1000 * GAP + GAP / 2);
    const std::int64_t due = pace.due_ns();
    // Late by just under and exactly the bound: what is due; after a 10 ms stall no more.
    for (const auto& [late, n] : {std::pair<std::int64_t, unsigned>{DEBT - 1, 5}, {DEBT, 6}, {10'000'000, 6}})
        EXPECT_EQ(pace.allowed(due + late), n) << late;
    pace.sent(6 * 1250);
    EXPECT_EQ(pace.allowed(due + 10'000'000), 0u);
    EXPECT_EQ(pace.due_ns(), due + 10'000'000 + GAP);
    PaceSchedule slow(1'000'000, 1250, START);  // 10 ms apart: may fall two messages behind
    slow.sent(1250);
    EXPECT_EQ(slow.allowed(START + 1'000'000'000), 3u);
}
