// SPDX-License-Identifier: Apache-2.0
// The window's value row: texts at start, the rate and bar of a tick, "Stopped".
#include <gtest/gtest.h>

#include <QTest>

#include "shell/row_widget.h"
#include "transmitter/app/transmitter_window.h"

namespace kelbos {
namespace {

class WindowRowTest : public ::testing::Test {
protected:
    WindowRowTest() : window([](int) {}, [] {}), row(window.value_row()) {
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
        window.set_bar_colour(QColor(128, 0, 0));
    }
    TransmitterWindow window;
    RowWidget& row;
};

TEST_F(WindowRowTest, StartShowsTheTransmissionThenTicksGiveRateAndBar) {
    const auto texts = [&] {
        return std::array{row.name(), row.protocol(), row.kelbo_bits(), row.rate_text()};
    };
    window.show_transmission("localhost", "UDP", 20000000);
    EXPECT_EQ(texts(), (std::array<QString, 4>{"localhost", "UDP", "20000000", "0.0000"}));
    window.show_rate(20.0);
    window.show_transmission("rx.example", "DNET", 4294967295u);  // a second start refills the row
    EXPECT_EQ(texts(), (std::array<QString, 4>{"rx.example", "DNET", "4294967295", "0.0000"}));

    window.show_rate(20.0);
    EXPECT_EQ(row.rate_text(), "20.0000");
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width() / 5);
    EXPECT_EQ(row.bar()->bar_colour(), QColor(128, 0, 0));
    window.show_rate(100.0);
    EXPECT_EQ(row.rate_text(), "100.0000");
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width());
    // More than 100 Mbits/s is clipped at the control's edge; the text is not.
    window.show_rate(4000.0);
    EXPECT_EQ(row.rate_text(), "4000.0000");
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width());
    window.show_rate(0.0);
    EXPECT_EQ(row.rate_text(), "0.0000");
    EXPECT_EQ(row.bar()->bar_right(), 0);
}

TEST_F(WindowRowTest, StopKeepsRateAndBarAndRepaintsInTheBaseColour) {
    window.show_transmission("localhost", "UDP", 20000000);
    window.show_rate(40.0);
    window.show_stopped();
    EXPECT_EQ(row.protocol(), "Stopped");
    EXPECT_EQ(row.rate_text(), "40.0000");
    // Uncovered again, the bar is drawn from the text in the base colour.
    window.set_bar_colour(QColor(0, 0, 200));
    row.bar()->repaint();
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width() * 2 / 5);
    EXPECT_EQ(row.bar()->bar_colour(), QColor(0, 0, 200));
}

}  // namespace
}  // namespace kelbos
