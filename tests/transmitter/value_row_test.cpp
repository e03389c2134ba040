// SPDX-License-Identifier: Apache-2.0
// The value row: texts at start, the rate and bar of a tick, "Stopped".
#include "value_row.h"

#include <gtest/gtest.h>

#include <QTest>

#include "dialog_units.h"
#include "settings.h"
#include "status_row.h"

namespace kelbos {
namespace {

class ValueRowTest : public ::testing::Test {
protected:
    ValueRowTest() : row(&parent, DialogUnits(2.0, 2.0)), value(row, counters) {
        parent.resize(800, 40);
        parent.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&parent));
        value.set_bar_colour(QColor(128, 0, 0));
    }
    QWidget parent;
    StatusRow row;
    ByteCounters counters;
    ValueRow value;
};

TEST_F(ValueRowTest, StartShowsTheSettingsThenTicksGiveRateAndBar) {
    const auto texts = [&] {
        return std::array{row.name(), row.protocol(), row.kelbo_bits(), row.rate_text()};
    };
    CommSettings s = init_defaults();
    value.start(s, 5000);
    EXPECT_TRUE(value.ticking());
    EXPECT_EQ(texts(), (std::array<QString, 4>{"localhost", "UDP", "20000000", "0.0000"}));
    s.transport = TRANSPORT_DECNET;
    s.kelbo_size = 4294967295u;
    s.receiver_name = "rx.example";
    value.start(s, 6000);  // a second start refills the row
    EXPECT_EQ(texts(), (std::array<QString, 4>{"rx.example", "DNET", "4294967295", "0.0000"}));
    s.transport = 0;
    value.start(s, 6000);
    EXPECT_EQ(row.protocol(), "UNKNOWN");

    value.start(init_defaults(), 1000);
    std::vector<double> heard;
    value.set_tick_listener([&](double r) { heard.push_back(r); });

    counters.total_bytes = 2500000;
    EXPECT_DOUBLE_EQ(value.tick(2000), 20.0);
    EXPECT_EQ(row.rate_text(), "20.0000");
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width() / 5);
    EXPECT_EQ(row.bar()->bar_colour(), QColor(128, 0, 0));
    EXPECT_EQ(counters.rate_mark_bytes, 2500000u);

    // The next tick measures from the previous one.
    counters.total_bytes += 12500000;
    value.tick(3000);
    EXPECT_EQ(row.rate_text(), "100.0000");
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width());

    // More than 100 Mbits/s is clipped at the control's edge; the text is not.
    counters.total_bytes += 25000000;
    value.tick(4000);
    EXPECT_EQ(row.rate_text(), "200.0000");
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width());

    // Counters past 32 bits, and an interval of no time.
    counters.total_bytes = counters.rate_mark_bytes = 0xFFFFFFF0ull;
    counters.total_bytes += 5000000000ull;
    value.tick(14000);
    EXPECT_EQ(row.rate_text(), "4000.0000");  // 32 bits would give 564.0262
    value.tick(14000);
    EXPECT_EQ(row.rate_text(), "0.0000");
    EXPECT_EQ(row.bar()->bar_right(), 0);
    EXPECT_EQ(heard.size(), 5u);
    EXPECT_DOUBLE_EQ(heard[0], 20.0);
}

TEST_F(ValueRowTest, StopKeepsRateAndBarAndRepaintsInTheBaseColour) {
    value.start(init_defaults(), 0);
    counters.total_bytes = 5000000;
    value.tick(1000);
    value.stop();
    EXPECT_FALSE(value.ticking());
    EXPECT_EQ(row.protocol(), "Stopped");
    EXPECT_EQ(row.rate_text(), "40.0000");
    // Uncovered again, the bar is drawn from the text in the base colour.
    value.set_bar_colour(QColor(0, 0, 200));
    row.bar()->repaint();
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width() * 2 / 5);
    EXPECT_EQ(row.bar()->bar_colour(), QColor(0, 0, 200));
}

}  // namespace
}  // namespace kelbos
