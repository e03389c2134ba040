// SPDX-License-Identifier: Apache-2.0
// The strip of value rows and the link callbacks: admission, set-up, end, rate tick,
// removal on the sixteenth tick, and the rows moving as links come and go.
#include "receiver/app/row_strip.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>

#include "core/clock.h"
#include "core/rate.h"
#include "metrics/metrics.h"
#include "receiver/records/record_figures.h"
#include "receiver_rig.h"
#include "shell/rate_views.h"
#include "shell/row_widget.h"

using namespace kelbos;
using namespace kelbos::test;

namespace {

QColor qcolour(Rgb c) {
    return QColor(c.r, c.g, c.b);
}

}  // namespace

TEST(RowStrip, RowsOfLinksStackAboveTotalInSetUpOrderWithTheirTextsUntilTenFillTheStrip) {
    ReceiverRig rig;
    const int top = rig.header_height();
    const int h = rig.row_height();
    EXPECT_EQ(rig.header()->pos(), QPoint(0, 0));
    EXPECT_EQ(rig.row_y(0), top);

    const ConnId a = rig.link("alpha", TRANSPORT_TCP, 2500000);
    ASSERT_EQ(a, 1);
    EXPECT_EQ(rig.row_y(a), top);
    EXPECT_EQ(rig.row_y(0), top + h);
    const ConnId b = rig.link("beta", TRANSPORT_UDP);
    ASSERT_EQ(b, 2);
    EXPECT_EQ(rig.row_y(a), top);
    EXPECT_EQ(rig.row_y(b), top + h);
    EXPECT_EQ(rig.row_y(0), top + 2 * h);
    EXPECT_EQ(rig.row(b)->x(), 0);
    EXPECT_EQ(rig.row(b)->size(), rig.row(0)->size());

    const RowWidget& row_a = *rig.row(a);
    EXPECT_EQ(row_a.name(), "alpha");
    EXPECT_EQ(row_a.protocol(), "TCP");
    EXPECT_EQ(row_a.kelbo_bits(), "20000000");
    EXPECT_EQ(row_a.rate_text(), "0.0000");
    EXPECT_EQ(rig.row(b)->protocol(), "UDP");
    EXPECT_TRUE(rig.messages.empty());

    const RowWidget& total = *rig.row(0);
    EXPECT_EQ(total.name(), "TOTAL");
    EXPECT_EQ(total.protocol(), "");
    EXPECT_EQ(total.kelbo_bits(), "");
    EXPECT_EQ(total.rate_text(), "0.0000");

    EXPECT_EQ(rig.row(rig.link("a", 3))->protocol(), "DNET");
    EXPECT_EQ(rig.row(rig.link("b", 4))->protocol(), "OSI");
    EXPECT_EQ(rig.row(rig.link("c", 0))->protocol(), "UNKNOWN");
    EXPECT_EQ(rig.row(rig.link("d", 200))->protocol(), "UNKNOWN");
    // Bits per kelbo as an unsigned number that does not wrap.
    EXPECT_EQ(rig.row(rig.link("e", 2, 0xFFFFFFFFu))->kelbo_bits(), "34359738360");
    // A peer name is cut to 40 characters.
    const ConnId f = rig.link(std::string(50, 'n'));
    EXPECT_EQ(rig.row(f)->name(), QString(40, 'n'));
    // A name too long for its field shows its beginning.
    EXPECT_EQ(rig.row(f)->findChild<QLineEdit*>("field201")->cursorPosition(), 0);

    // Ten links fill the strip, and the eleventh is refused silently.
    ASSERT_EQ(f, 8);
    for (int i = 9; i <= 10; ++i) ASSERT_EQ(rig.link("peer" + std::to_string(i)), i);
    EXPECT_EQ(rig.row(10)->name(), "peer10");
    EXPECT_EQ(rig.row_y(10), top + 9 * h);
    EXPECT_EQ(rig.row_y(0), top + 10 * h);
    rig.data(10, 5000);
    EXPECT_EQ(rig.table()[10].bytes_received, 5000u);

    rig.program().shutdown_rcv(3, REASON_NORMAL, "Remote shutdown request");
    rig.program().shutdown_rcv(10, REASON_NORMAL, "Remote shutdown request");
    EXPECT_EQ(rig.program().alloc_conn_id(), CONN_NONE_FREE);
    EXPECT_TRUE(rig.messages.empty());

    // A middle row goes: ConnId 10's row and TOTAL move up with the others.
    rig.ticks(16);
    EXPECT_EQ(rig.row_y(4), top + 2 * h);
    EXPECT_EQ(rig.row_y(9), top + 7 * h);
    EXPECT_EQ(rig.row_y(10), -1);
    EXPECT_EQ(rig.row_y(0), top + 8 * h);
    EXPECT_EQ(rig.program().alloc_conn_id(), 3);
}

TEST(RowStrip, NormalEndShowsStoppedAndGoesOnTheSixteenthTick) {
    ReceiverRig rig;
    const int top = rig.header_height();
    const int h = rig.row_height();
    const ConnId a = rig.link("a");
    const ConnId b = rig.link("b");
    const ConnId c = rig.link("c");
    rig.data(b, 2500000);
    rig.ticks(1);
    ASSERT_EQ(rig.row(b)->rate_text(), "20.0000");
    rig.program().shutdown_rcv(0, REASON_ABORTED, "x");
    EXPECT_EQ(rig.row(0)->protocol(), "");

    rig.program().shutdown_rcv(b, REASON_NORMAL, "Remote shutdown request");
    EXPECT_TRUE(rig.messages.empty());
    EXPECT_EQ(rig.row(b)->protocol(), "Stopped");
    EXPECT_EQ(rig.row(b)->rate_text(), "20.0000");  // rate and bar stay
    rig.data(b, 1000000);
    rig.ticks(15);
    ASSERT_NE(rig.row(b), nullptr);
    EXPECT_EQ(rig.row(b)->rate_text(), "20.0000");

    rig.ticks(1);
    EXPECT_EQ(rig.row(b), nullptr);
    // The rows below move up, TOTAL included; the row above stays.
    EXPECT_EQ(rig.row_y(a), top);
    EXPECT_EQ(rig.row_y(c), top + h);
    EXPECT_EQ(rig.row_y(0), top + 2 * h);
    // Now the ConnId is handed out again, and its new row goes above TOTAL.
    EXPECT_EQ(rig.link("again"), b);
    EXPECT_EQ(rig.row_y(b), top + 2 * h);
    EXPECT_EQ(rig.row_y(0), top + 3 * h);
    rig.ticks(20);
    EXPECT_EQ(rig.row(0)->protocol(), "");
    EXPECT_TRUE(rig.messages.empty());
}

// The box's loop runs on: the row can go, and its ConnId serve a new link, before the
// box is closed; the new link's row is not marked stopped. The box comes once the row
// is dirty, and marked stopped; one box is open at a time.
TEST(RowStrip, AbortedLinksShowTheirBoxesOnceDirtyOneAtATimeAndARowMayGoMeanwhile) {
    ReceiverRig rig;
    const ConnId a = rig.link("a");
    rig.on_message = [&](const std::string&) {
        rig.on_message = nullptr;
        rig.ticks(16);
        EXPECT_EQ(rig.row(a), nullptr);
        EXPECT_EQ(rig.link("successor"), a);
    };
    rig.program().shutdown_rcv(a, REASON_ABORTED, "gone");
    ASSERT_NE(rig.row(a), nullptr);
    EXPECT_EQ(rig.row(a)->name(), "successor");
    EXPECT_EQ(rig.row(a)->protocol(), "TCP");
    EXPECT_EQ(rig.table()[a].row_state, RowState::live);

    const ConnId b = rig.link("far.example", TRANSPORT_UDP, 1000, "#0000FF");
    const int slot = rig.table()[b].colour_slot;
    ASSERT_TRUE(rig.ledger().colour_slots()[slot].held);
    bool seen = false;
    rig.on_message = [&](const std::string&) {
        seen = true;
        EXPECT_EQ(rig.table()[b].row_state, RowState::dirty);
        EXPECT_EQ(rig.table()[b].removal_countdown, 15);
        EXPECT_FALSE(rig.ledger().colour_slots()[slot].held);
        EXPECT_TRUE(rig.ledger().colour_slots()[slot].in_use);
        EXPECT_EQ(rig.row(b)->protocol(), "Stopped");  // at once, not once the box is closed
    };
    rig.program().shutdown_rcv(b, REASON_ABORTED, "Connection reset by peer");
    EXPECT_TRUE(seen);
    EXPECT_EQ(rig.messages,
              (std::vector<std::string>{"connection to a failed\ngone",
                                        "connection to far.example failed\nConnection reset by peer"}));
    EXPECT_EQ(rig.row(b)->protocol(), "Stopped");

    // While a box is open, later ones wait, ten at most (beyond that the oldest waiting
    // goes to standard error), and follow in order.
    rig.messages.clear();
    const ConnId first = rig.link("l");
    rig.on_message = [&](const std::string& text) {
        for (int i = 0; text == "connection to l failed\nx" && i < 12; ++i, rig.ticks(16))
            rig.program().shutdown_rcv(rig.link(std::to_string(i)), REASON_ABORTED, "x");
    };
    ::testing::internal::CaptureStderr();
    rig.program().shutdown_rcv(first, REASON_ABORTED, "x");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "connection to 0 failed\nx\nconnection to 1 failed\nx\n");
    std::vector<std::string> shown{"connection to l failed\nx"};
    for (int i = 2; i < 12; ++i) shown.push_back("connection to " + std::to_string(i) + " failed\nx");
    EXPECT_EQ(rig.messages, shown);
}

TEST(RowStrip, RateTickTextAndBars) {
    ReceiverRig rig;
    const ConnId a = rig.link("a", TRANSPORT_TCP, 1000, "#0000FF");
    const QColor link_colour =
        qcolour(rig.ledger().colour_slots().colours_of(rig.table()[a].colour_slot).base);
    ASSERT_EQ(link_colour, QColor(0, 0, 255));
    rig.data(a, 2500000);
    rig.ticks(1, 1000);

    const RowWidget& row = *rig.row(a);
    const RowWidget& total = *rig.row(0);
    EXPECT_EQ(row.rate_text(), "20.0000");
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width() / 5);
    EXPECT_EQ(row.bar()->bar_colour(), link_colour);
    EXPECT_EQ(total.rate_text(), "20.0000");
    EXPECT_EQ(total.bar()->bar_right(), total.bar()->width() / 5);
    EXPECT_EQ(total.bar()->bar_colour(), QColor(128, 128, 128));

    // Repainted (uncovered) bars show the tick's rate, TOTAL's in the default green; the
    // rate itself, not read back from its text.
    rig.row(0)->set_rate_text("junk");
    total.bar()->repaint();
    row.bar()->repaint();
    EXPECT_EQ(total.bar()->bar_colour(), QColor(0, 128, 0));
    EXPECT_EQ(total.bar()->bar_right(), total.bar()->width() / 5);
    EXPECT_EQ(row.bar()->bar_colour(), link_colour);
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width() / 5);

    // A new link repaints every row: TOTAL's bar, grey since the tick, turns green. Its
    // kelbo size of a hundred million bits shows whole.
    rig.ticks(1, 1000);
    ASSERT_EQ(total.bar()->bar_colour(), QColor(128, 128, 128));
    const ConnId big = rig.link("b", TRANSPORT_TCP, 12500000);
    EXPECT_EQ(total.bar()->bar_colour(), QColor(0, 128, 0));
    const auto* bits = rig.row(big)->findChild<QLineEdit*>("field216");
    EXPECT_EQ(bits->text(), "100000000");
    EXPECT_LE(QFontMetrics(bits->font()).horizontalAdvance(bits->text()), bits->contentsRect().width());

    // Only the bytes since the previous tick count.
    rig.data(a, 1250000);
    rig.ticks(1, 2000);
    EXPECT_EQ(row.rate_text(), "5.0000");
    rig.ticks(1, 0);
    EXPECT_EQ(row.rate_text(), "0.0000");

    // 64-bit counts: more than 2^32 bytes between two ticks.
    for (int i = 0; i < 3; ++i) rig.data(a, 0xFFFFFFFFu);
    rig.ticks(1, 1000);
    EXPECT_EQ(row.rate_text(),
              QString::fromStdString(rate_text(static_cast<float>(3 * 4294967295.0 / 125000))));
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width());

    // Numbered datagrams 0, 1, 1 and 3: four sent, one lost; the copy is not one more.
    for (const std::uint64_t n : {0, 1, 1, 3}) rig.table()[a].datagrams.add(n, 0, 0);
    rig.ticks(1, 1000);
    EXPECT_TRUE(row.toolTip().startsWith("Loss 25.00 % (1 of 4 datagrams)")) << row.toolTip().toStdString();

    // Scrapes before and after a late datagram, 2: the loss, a gauge, falls; no counter does.
    std::map<std::string, std::vector<double>> scraped;  // by name and type
    ReceiverFigures figures;
    for (const bool late : {false, true}) {
        if (late) rig.table()[a].datagrams.add(2, 0, 0);
        figures.links = {{a, "a", "TCP", 0, 0, datagram_figures(rig.table()[a])}};
        for (const auto& f : metric_families(figures))
            for (const auto& m : f.metric)
                scraped[f.name + (f.type == prometheus::MetricType::Gauge ? " gauge" : "")].push_back(
                    m.counter.value + m.gauge.value);
    }
    EXPECT_EQ(scraped["kelbos_datagrams_received_total"], (std::vector<double>{4, 5}));
    EXPECT_EQ(scraped["kelbos_datagrams_expected_total"], (std::vector<double>{4, 4}));
    EXPECT_EQ(scraped["kelbos_datagrams_lost gauge"], (std::vector<double>{1, 0}));
}

TEST(RowStrip, FirstTimerTickMeasuresFromTheWindow) {
    const std::uint64_t before = now_ms();
    ReceiverRig rig;
    const ConnId a = rig.link("a");
    rig.data(a, 10'000'000);
    // At least a millisecond since the window was made, so the interval is not 0.
    const std::uint64_t made = now_ms();
    while (now_ms() <= made) {
    }
    rig.program().tick_rows();
    const std::uint64_t after = now_ms();
    const double floor = rate_mbits(10'000'000, after - before + 1);
    EXPECT_GE(rig.row(a)->rate_from_text(), floor * 0.999);
    EXPECT_GE(rig.row(0)->rate_from_text(), floor * 0.999);

    // The rate views get the rows' ticks: TOTAL's line and the link's, not a stopped row's.
    const auto& series = ReceiverProgramPeer::views(rig.program())->history().series();
    ASSERT_EQ(series.size(), 2u);
    EXPECT_EQ(series.at(0).name, "TOTAL");
    EXPECT_EQ(series.at(1).name, "a #1");
    EXPECT_EQ(series.at(1).points.back().mbits, rig.ledger().ticks()[a]->rate);
    rig.program().shutdown_rcv(a, REASON_NORMAL, "Remote shutdown request");
    rig.program().tick_rows();
    EXPECT_EQ(series.at(0).points.size(), 2u);
    EXPECT_EQ(series.at(1).points.size(), 1u);
}

TEST(RefusalJournal, OneLinePerPeerAndReasonEachTenSecondsThenTheCountHeldBack) {
    RefusalJournal journal;
    std::vector<std::string> lines;
    journal.write = [&](const std::string& line) { lines.push_back(line); };
    for (int i = 0; i <= 100; ++i) journal.refused("192.0.2.7", "full", 1000 + 89 * i);
    journal.refused("192.0.2.7", "host limit", 2000);  // another reason, another peer: lines of their own
    journal.refused("2001:db8::1", "full", 2000);
    journal.flush(10999);  // 192.0.2.7's quiet time is not over
    journal.flush(11000);
    // The count restarts the quiet time; a refusal after it is written with what was held.
    journal.refused("192.0.2.7", "full", 20999);
    journal.refused("192.0.2.7", "full", 21000);
    journal.flush(40000);  // nothing held: the pairs are forgotten
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "refused a link from 192.0.2.7: full", "refused a link from 192.0.2.7: host limit",
                         "refused a link from 2001:db8::1: full",
                         "refused 100 more links from 192.0.2.7: full (not written one by one)",
                         "refused 1 more link from 192.0.2.7: full (not written one by one)",
                         "refused a link from 192.0.2.7: full"}));
}
