// SPDX-License-Identifier: Apache-2.0
#include "core/bar_scale.h"

#include <gtest/gtest.h>

#include "core/rate.h"
#include "core/rate_history.h"

using namespace kelbos;

TEST(BarScale, WordsLabelsAndBars) {
    EXPECT_EQ(parse_bar_scale("1G"), BarScaleChoice{1});
    EXPECT_EQ(parse_bar_scale("auto"), BarScaleChoice{BarScaleChoice::AUTOMATIC});
    for (const char* bad : {"", "1g", "100", "2G", "auto "}) EXPECT_FALSE(parse_bar_scale(bad)) << bad;
    using L = std::array<std::string, 11>;
    EXPECT_EQ(scale_labels(100), (L{"0", "10", "20", "30", "40", "50", "60", "70", "80", "90", "100"}));
    EXPECT_EQ(scale_labels(1000),
              (L{"0", "100", "200", "300", "400", "500", "600", "700", "800", "900", "1G"}));
    EXPECT_EQ(scale_labels(100000)[9], "90G");
    // 250 Mbits/s is a quarter of a 1 Gbit/s bar, and clips at the end of 100 Mbits/s.
    EXPECT_EQ(bar_end(0, 400, 250.0f, 1000.0f), 100);
    EXPECT_EQ(bar_end(0, 400, 250.0f, 100.0f), 400);
    EXPECT_EQ(bar_end(0, 400, 25.0f), 100);
}

TEST(BarScale, AutomaticHoldsTheLargestRateOfTenSeconds) {
    AutoBarScale scale;
    EXPECT_EQ(scale.tick(1000, 100.0), 100.0);  // exactly full still fits
    EXPECT_EQ(scale.tick(2000, 100.5), 1000.0);
    // Back under 100 for nine seconds: still 1 Gbit/s, no flicker.
    for (std::uint64_t t = 3000; t <= 11000; t += 1000) EXPECT_EQ(scale.tick(t, 50.0), 1000.0) << t;
    EXPECT_EQ(scale.tick(12000, 50.0), 100.0);  // the 100.5 is ten seconds old
    EXPECT_EQ(scale.tick(13000, 20000.0), 100000.0);
    EXPECT_EQ(scale.tick(14000, 1e9), 100000.0);  // beyond every scale: the largest
}

TEST(RateHistory, KeepsSixHundredPointsOfTenMinutesAndWritesThemAsCsv) {
    RateHistory history;
    for (std::int64_t i = 0; i < 700; ++i) history.add(1, "a,\"b\"", 0x800000, i * 1000, double(i));
    ASSERT_EQ(history.series().at(1).points.size(), RateHistory::MAX_POINTS);
    EXPECT_EQ(history.series().at(1).points.front().mbits, 100.0);
    // A line that gets no more points goes when its last point is ten minutes old.
    history.add(0, "TOTAL", 0x808080, 700000, 2.5);
    history.expire(699000 + RateHistory::WINDOW_MS);
    EXPECT_EQ(history.series().count(1), 1u);
    history.expire(699001 + RateHistory::WINDOW_MS);
    EXPECT_EQ(history.series().count(1), 0u);
    EXPECT_EQ(history.largest(), 2.5);
    const std::string csv = history.csv();
    EXPECT_EQ(csv.substr(0, csv.find('\n')), "time,row,mbits_per_s");
    EXPECT_EQ(csv.substr(csv.find(".000,") + 5), "TOTAL,2.5000\n");
    RateHistory quoted;
    quoted.add(1, "a,\"b\"", 0, 1, 1.0);
    EXPECT_NE(quoted.csv().find(",\"a,\"\"b\"\"\",1.0000\n"), std::string::npos) << quoted.csv();
    // Two lines of one name: each takes its first point's time, and a shade of its own.
    quoted.add(2, "a,\"b\"", 0x800000, 2000, 1.0);
    quoted.add(3, "a,\"b\"", 0x800000, 3000, 9.0);
    EXPECT_NE(quoted.label(2), quoted.label(3));
    EXPECT_EQ(quoted.label(2).size(), quoted.label(1).size());  // "name hh:mm:ss" both
    EXPECT_EQ(quoted.series().at(2).rgb, 0x800000u);
    EXPECT_NE(quoted.series().at(3).rgb, 0x800000u);
    EXPECT_EQ(quoted.largest(3000), 9.0);
    EXPECT_EQ(quoted.largest(3001), 0.0);
}

TEST(RateHistory, TimeLabelsAtRoundStepsThatKeepThemApart) {
    // A minute 600 pixels wide: 13 labels of 5 s fit when 46 wide, not when 47.
    EXPECT_EQ(time_label_step_ms(60000, 46, 600), 5000);
    EXPECT_EQ(time_label_step_ms(60000, 47, 600), 10000);
    EXPECT_EQ(time_label_step_ms(600000, 54, 600), 60000);  // 11 labels
    EXPECT_EQ(time_label_step_ms(600000, 300, 600), 300000);
}
