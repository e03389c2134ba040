// SPDX-License-Identifier: Apache-2.0
#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAction>
#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenuBar>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include "core/clock.h"
#include "core/rate.h"
#include "core/show_message.h"
#include "pump.h"
#include "shell/command_menu.h"
#include "shell/dialog_units.h"
#include "shell/kelbo_canvas.h"
#include "shell/loop_monitor.h"
#include "shell/program_options.h"
#include "shell/row_widget.h"
#include "shell/scene_commands.h"

using namespace kelbos;

namespace {
DialogUnits test_units() { return DialogUnits(2.0, 2.0); }  // 1 unit = 2 pixels
}  // namespace

TEST(RowWidget, LayoutInDialogUnitsAndTheBarFollowsTheTickThenTheText) {
    QWidget parent;
    RowWidget row(&parent, test_units());
    EXPECT_EQ(row.size(), QSize(770, 20));
    EXPECT_EQ(row.bar()->geometry(), QRect(330, 0, 402, 20));
    auto* rate_field = row.findChild<QWidget*>("field217");
    ASSERT_TRUE(rate_field);
    EXPECT_EQ(rate_field->geometry(), QRect(250, 0, 74, 20));
    auto* mark100 = row.findChild<QWidget*>("label205");
    ASSERT_TRUE(mark100);
    EXPECT_EQ(mark100->geometry().x(), 730);

    // The bar follows the tick, then the text on repaint.
    parent.resize(800, 40);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    const double rate = rate_mbits(2500000, 1000);
    row.set_rate_text(QString::fromStdString(rate_text(rate)));
    EXPECT_EQ(row.rate_text(), "20.0000");
    row.bar()->set_repaint_colour(QColor(0, 128, 0));
    row.bar()->draw_for_tick(static_cast<float>(rate), Qt::gray);
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width() / 5);
    EXPECT_EQ(row.bar()->bar_colour(), QColor(Qt::gray));

    // An exposure repaints from the text, in the repaint colour.
    row.set_rate_text("100.0000");
    row.bar()->repaint();
    EXPECT_EQ(row.bar()->bar_right(), row.bar()->width());
    EXPECT_EQ(row.bar()->bar_colour(), QColor(0, 128, 0));

    row.set_rate_text("junk");
    row.bar()->repaint();
    EXPECT_EQ(row.bar()->bar_right(), 0);

    // Wider than its layout, the row stretches its bar and spreads its marks.
    row.resize(970, 20);
    EXPECT_EQ(row.bar()->geometry(), QRect(330, 0, 602, 20));
    EXPECT_EQ(mark100->x(), 930);
    // A full bar at the scale's end; beyond it, the arrow, and a tool tip that says so.
    for (const float r : {100.0f, 100.01f}) {
        row.bar()->draw_for_tick(r, Qt::gray);
        EXPECT_EQ(row.bar()->drawn_rate() > row.bar()->full_scale(), r > 100.0f);
    }
    EXPECT_TRUE(row.bar()->toolTip().startsWith("100.0100 Mbit/s, beyond the 0 to 100 Mbit/s scale"));
    // What a screen reader reads of the row, and of its bar.
    row.set_name("localhost");
    row.set_protocol("TCP");
    row.set_rate_text("231.9800");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&row)->text(QAccessible::Name),
              "localhost, TCP, 231.98 Mbit/s");
    QAccessibleValueInterface* bar = QAccessible::queryAccessibleInterface(row.bar())->valueInterface();
    ASSERT_TRUE(bar);
    EXPECT_EQ(bar->currentValue().toFloat(), 100.01f);
    EXPECT_EQ(bar->maximumValue().toFloat(), 100.0f);
}

TEST(RowWidget, LongRatesAndKelboSizesShowWhole) {
    QWidget parent;
    RowWidget row(&parent, DialogUnits(QFontMetrics(parent.font())));
    using Setter = void (RowWidget::*)(const QString&);
    struct Field {
        const char* name;
        Setter set;
        QString fits, longest;
    };
    // "%5.4f" of 40 Gbit/s and past it; kelbo sizes of a hundred million bits and more.
    for (const Field& f : {Field{"field217", &RowWidget::set_rate_text, "123.4567", "123456.7890"},
                           Field{"field216", &RowWidget::set_kelbo_bits, "20000000", "4294967295"}}) {
        auto* field = row.findChild<QLineEdit*>(f.name);
        ASSERT_TRUE(field);
        const int room = field->contentsRect().width() - 4;
        // A value that fits keeps the row's font.
        (row.*f.set)(f.fits);
        EXPECT_EQ(field->font(), parent.font()) << f.name;
        for (const QString& text : {QString("40000.0000"), QString("100000000"), f.longest}) {
            (row.*f.set)(text);
            EXPECT_EQ(field->text(), text);
            EXPECT_LE(QFontMetrics(field->font()).horizontalAdvance(text), room) << text.toStdString();
            EXPECT_EQ(field->cursorPosition(), 0);
        }
        // Back to a short value: back to the row's font.
        (row.*f.set)(f.fits);
        EXPECT_EQ(field->font(), parent.font()) << f.name;
    }
}

TEST(ProgramOptions, QtOptionsAreLeftToTheApplication) {
    EXPECT_EQ(without_qt_options({"kelbosrx", "-geometry", "800x300+10+10", "--style=fusion", "-reverse",
                                  "--json", "a", "--", "-display", "b"}),
              (QStringList{"kelbosrx", "--json", "a", "--", "-display", "b"}));
}

TEST(CommandMenu, DispatchesIdsAndKeepsEnabling) {
    QMenuBar bar;
    const MenuItem items[] = {{"&File", 100, "&Open ..."}, {"&File", 102, "&Exit"},
                              {"&Control", 112, "&Go"},    {"&Control", 0, nullptr},
                              {"&Control", 113, "&Halt tx"}};
    int last = 0;
    CommandMenu menu(&bar, items, [&](int id) { last = id; });
    ASSERT_EQ(bar.actions().size(), 2);
    EXPECT_EQ(bar.actions()[0]->text(), "&File");
    EXPECT_EQ(menu.action(113)->text(), "&Halt tx");
    menu.action(112)->trigger();
    EXPECT_EQ(last, 112);
    menu.set_enabled(113, false);
    EXPECT_FALSE(menu.is_enabled(113));
    EXPECT_TRUE(menu.is_enabled(100));
    EXPECT_FALSE(menu.is_enabled(999));
}

TEST(KelboCanvas, ChangedAreasAreRedrawnInOrderBeforeTheyAreShown) {
    KelboCanvas canvas;
    std::vector<QRect> painted;
    QColor fill = Qt::red;
    canvas.set_paint_handler([&](QPainter& p, const QRect& r) {
        painted.push_back(r);
        KelboCanvas::draw_quad(p, {QPoint(0, 0), QPoint(99, 0), QPoint(99, 99), QPoint(0, 99)}, fill);
    });
    canvas.resize(100, 100);
    EXPECT_EQ(canvas.client_bottom(), 100);
    EXPECT_EQ(canvas.image().pixelColor(50, 50), QColor(Qt::red));  // the resize draws everything
    ASSERT_EQ(painted.size(), 1u);
    EXPECT_EQ(painted[0], QRect(0, 0, 100, 100));

    // Several changes before a frame: one redraw of each area, with the latest picture.
    fill = Qt::blue;
    painted.clear();
    canvas.invalidate(QRect(10, 10, 5, 5));
    canvas.invalidate(QRect(10, 10, 5, 5));
    canvas.invalidate(QRect(200, 200, 5, 5));  // outside: ignored
    EXPECT_TRUE(painted.empty());
    EXPECT_EQ(canvas.image().pixelColor(12, 12), QColor(Qt::blue));
    EXPECT_EQ(canvas.image().pixelColor(50, 50), QColor(Qt::red));  // untouched
    EXPECT_EQ(painted, std::vector<QRect>{QRect(10, 10, 5, 5)});

    // An area whose picture is now empty is erased to black.
    canvas.set_paint_handler([](QPainter&, const QRect&) {});
    canvas.invalidate(QRect(0, 0, 20, 20));
    EXPECT_EQ(canvas.image().pixelColor(12, 12), QColor(Qt::black));
}

TEST(SceneCommands, ChosenSceneWithABadPointLineLeavesNoSceneAndShowsTheLine) {
    std::vector<std::string> shown;
    ScopedMessagePresenter recorder([&](const std::string& t) { shown.push_back(t); });
    const std::string path = ::testing::TempDir() + "bad_points.klx";
    const std::string good =
        "set kelbo\nrot 30, 150, 60\nsize 20, 20, 10\nspace 22, 22, 12\nset points\n1, 2, 3\n";
    std::ofstream(path) << good + "1, 2\n";
    Scene scene;
    scene.scene_loaded = true;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(load_chosen_scene(scene, path));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Problem reading point #2\n");
    EXPECT_FALSE(scene.scene_loaded);
    EXPECT_EQ(shown, std::vector<std::string>{"Problem reading point #2\n"});

    // A good file afterwards loads again.
    std::ofstream(path) << good;
    EXPECT_TRUE(load_chosen_scene(scene, path));
    EXPECT_EQ(scene.point_count, 1);
}

TEST(LoopMonitor, SeesAStalledLoopAndTheFirstFrame) {
    const std::uint64_t start = now_ms();
    LoopMonitor monitor(start);
    QWidget widget;
    widget.resize(50, 50);
    monitor.watch_first_frame(&widget);
    // The monitor's figures, as its exit line gives them.
    const auto exit = [&monitor] {
        return QJsonDocument::fromJson(QByteArray::fromStdString(monitor.exit_event())).object();
    };
    EXPECT_EQ(exit()["first_frame_ms"].toInteger(), -1);
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
    ASSERT_TRUE(kelbos::testing::pump_until([&] { return exit()["first_frame_ms"].toInteger() >= 0; }));

    // Hold the loop for 80 ms without using the processor, well after the start (so its
    // end is not its length): a gap that long, with little time spent in it.
    ASSERT_TRUE(kelbos::testing::pump_until([&] { return now_ms() >= start + 200; }));
    const std::uint64_t held_from = now_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    ASSERT_TRUE(kelbos::testing::pump_until([&] { return exit()["max_loop_gap_ms"].toInteger() >= 80; }));
    EXPECT_GE(static_cast<std::uint64_t>(exit()["max_loop_gap_at_ms"].toInteger()) + start, held_from + 80);
    EXPECT_LT(exit()["max_loop_gap_busy_ms"].toDouble(), 40.0);

    // Hold it with 60 ms of work: the time spent between two turns shows.
    timespec t{};
    const auto cpu_ms = [&t] {
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
    };
    const double work_until = cpu_ms() + 60.0;
    while (cpu_ms() < work_until) {
    }
    ASSERT_TRUE(kelbos::testing::pump_until([&] { return exit()["max_loop_busy_ms"].toDouble() >= 60.0; }));

    EXPECT_EQ(monitor.exit_event().rfind("{\"event\":\"exit\",\"time_ms\":", 0), 0u);
    EXPECT_GT(exit()["peak_rss_kb"].toInteger(), 0);
    EXPECT_GT(peak_resident_kb(), 0u);
}
