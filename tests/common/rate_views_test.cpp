// SPDX-License-Identifier: Apache-2.0
#include "shell/rate_views.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include "shell/dialog_units.h"
#include "shell/history_window.h"
#include "shell/row_widget.h"

using namespace kelbos;

namespace {
QAction* find_action(QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions())
        if (a->text() == text) return a;
    return nullptr;
}
// A header's column title, read from its label as the layout names it.
QString title(const HeaderRow& header, int column) {
    static const char* const names[] = {"label0", "label202", "label203", "label204"};
    return header.findChild<QLabel*>(names[column])->text();
}
}  // namespace

TEST(RateViews, ViewMenuScalesAutomaticAndHistory) {
    QMainWindow window;
    window.setWindowTitle("Main");
    window.menuBar()->addMenu("&Control");
    std::vector<double> applied;
    std::uint64_t now = 50000;
    RateViews views(&window, BarScaleChoice{}, [&](double full) { applied.push_back(full); });
    views.steady_ms = [&] { return now; };
    views.wall_ms = [&] { return std::int64_t(now); };

    const QList<QAction*> menus = window.menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[1]->text(), "&View");
    QMenu* view = menus[1]->menu();
    ASSERT_EQ(view->actions().size(), 2);
    EXPECT_EQ(view->actions()[1]->text(), "Rate &History...");
    QMenu* scales = view->actions()[0]->menu();
    ASSERT_TRUE(scales);
    EXPECT_EQ(view->actions()[0]->text(), "&Bar Scale");
    EXPECT_TRUE(find_action(scales, "100 &Mbit/s")->isChecked());
    EXPECT_TRUE(applied.empty());  // the default scale changes nothing

    find_action(scales, "&1 Gbit/s")->trigger();
    find_action(scales, "100 &Gbit/s")->trigger();
    EXPECT_EQ(applied, (std::vector<double>{1000, 100000}));
    // Automatic takes the ticks seen while another scale was chosen into account.
    views.ticked({RowRate{1, "a", Rgb{128, 0, 0}, 250.0}});
    find_action(scales, "&Automatic")->trigger();
    EXPECT_EQ(views.full_mbits(), 1000);
    now += 10000;
    views.ticked({RowRate{1, "a", Rgb{128, 0, 0}, 5.0}});
    EXPECT_EQ(applied, (std::vector<double>{1000, 100000, 1000, 100}));

    // The history window shows the points; hovering names the row, time and rate.
    views.open_history();
    HistoryWindow* history = views.history_window();
    ASSERT_TRUE(history);
    EXPECT_EQ(history->windowTitle(), "Main - Rate History");
    EXPECT_EQ(views.history().series().at(1).points.size(), 2u);
    RatePlot* plot = history->plot();
    plot->resize(600, 300);
    const QRect area = plot->plot_area();
    // The axis spans the last minute, to 60 s; 250 Mbit/s is half of a 0..500 axis.
    const auto text = plot->point_text(QPoint(area.left() + area.width() * 5 / 6, area.center().y()));
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->startsWith("a\n")) << text->toStdString();
    EXPECT_TRUE(text->endsWith("\n250.0000 Mbit/s")) << text->toStdString();
    EXPECT_FALSE(plot->point_text(area.topLeft() + QPoint(5, 5)));
}

TEST(HeaderRow, TitlesOfBothProgramsAndScaleLabelsThatFitTheirPlaces) {
    QWidget parent;
    HeaderRow tx(&parent, DialogUnits(2.0, 2.0), {"Receiver", "Kelbos/Bit"});
    HeaderRow rx(&parent, DialogUnits(2.0, 2.0), {"Transmitter", "Bits/Kelbo"});
    EXPECT_EQ((std::array{title(tx, 0), title(tx, 2)}), (std::array<QString, 2>{"Receiver", "Kelbos/Bit"}));
    EXPECT_EQ((std::array{title(rx, 0), title(rx, 1), title(rx, 2), title(rx, 3)}),
              (std::array<QString, 4>{"Transmitter", "Protocol", "Bits/Kelbo", "Mbits/s"}));
    EXPECT_EQ(rx.findChild<QLabel*>("label205")->text(), "100");

    const DialogUnits units(parent.fontMetrics());
    HeaderRow header(&parent, units, {"Receiver", "Kelbos/Bit"});
    for (const BarScale& scale : BAR_SCALES) {
        show_bar_scale(scale.full_mbits, &header, {});
        // The labels shown, each centred on its place, keep apart ("90G100G" does not).
        int right = -1;
        for (int i = 0; i <= 10; ++i) {
            const auto* label = header.findChild<QLabel*>(QString("label%1").arg(i < 10 ? 206 + i : 205));
            if (label->isHidden()) continue;
            const int half = label->fontMetrics().horizontalAdvance(label->text()) / 2;
            EXPECT_LT(right, label->geometry().center().x() - half) << scale.word << " label " << i;
            right = label->geometry().center().x() + half;
        }
    }
}
