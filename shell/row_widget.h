// SPDX-License-Identifier: Apache-2.0
// The row widget: name, protocol, kelbo size, Mbits/s and a bar from 0 to 100 Mbits/s
// with a scale mark every 10. The value row under the header of both programs.
// A row made wider than its layout keeps its columns and stretches its bar, with the
// scale's marks and labels spread along it.
#pragma once

#include <QColor>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <vector>

#include "shell/dialog_units.h"

class QLineEdit;
class QLabel;

namespace kelbos {

// The bar control: a rectangle from the left edge to the rate's point. A rate beyond
// the scale fills the bar and ends it in an arrow head, white with a black outline;
// the tool tip gives the rate and the scale.
class RateBar : public QWidget {
    Q_OBJECT
public:
    explicit RateBar(QWidget* parent);

    // A rate tick: draws the bar for `rate` in `colour` at once.
    void draw_for_tick(float rate, QColor colour);
    // The colour used when the bar is repainted from the row's rate text (exposure).
    void set_repaint_colour(QColor colour) { repaint_colour_ = colour; }
    void set_rate_source(std::function<float()> source) { rate_source_ = std::move(source); }
    // The rate the whole bar stands for (the bar scale); the bar is drawn again.
    void set_full_scale(float mbits);
    float full_scale() const { return full_mbits_; }

    // Right end of the bar as last drawn, relative to the control (for tests).
    int bar_right() const { return drawn_end_; }
    QColor bar_colour() const { return drawn_colour_; }
    float drawn_rate() const { return drawn_rate_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool tick_fresh_ = false;  // the next paint shows the tick's bar, not the repaint's
    float tick_rate_ = 0;
    QColor tick_colour_;
    QColor repaint_colour_{Qt::gray};
    std::function<float()> rate_source_;
    float full_mbits_ = 100.0f;
    int drawn_end_ = 0;
    float drawn_rate_ = 0;
    QColor drawn_colour_;
};

class RowWidget : public QWidget {
    Q_OBJECT
public:
    RowWidget(QWidget* parent, const DialogUnits& units);

    void set_name(const QString& text);
    void set_protocol(const QString& text);
    void set_kelbo_bits(const QString& text);
    void set_rate_text(const QString& text);
    QString name() const;
    QString protocol() const;
    QString kelbo_bits() const;
    QString rate_text() const;

    // The rate read back from the Mbits/s field (0 when it is not a number).
    float rate_from_text() const;

    RateBar* bar() const { return bar_; }

    // Ids of the row's controls, as the layout names them.
    static constexpr int NAME_ID = 201, PROTOCOL_ID = 202, KELBO_ID = 216, RATE_ID = 217, BAR_ID = 1001;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // What a screen reader says of the row: "name, protocol, rate Mbit/s".
    void update_accessible_name();

    DialogUnits units_;
    QLineEdit* name_;
    QLineEdit* protocol_;
    QLineEdit* kelbo_bits_;
    QLineEdit* rate_;
    RateBar* bar_;
    std::array<QLabel*, 11> marks_{};
};

// The header row above the value rows: column titles and the 0..100 scale.
struct HeaderTitles {
    const char* first;  // "Receiver" or "Transmitter"
    const char* kelbo;  // "Kelbos/Bit" or "Bits/Kelbo"
};

class HeaderRow : public QWidget {
    Q_OBJECT
public:
    HeaderRow(QWidget* parent, const DialogUnits& units, HeaderTitles titles);
    // The labels at 0, 1/10, ..., 10/10 of the bar for a scale of `full_mbits`.
    void set_scale(double full_mbits);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // Each label centred on its mark; where the widest would crowd its neighbours,
    // only every second (or fifth, or the first and last) is shown.
    void place_scale_labels();

    DialogUnits units_;
    std::array<QLabel*, 4> titles_{};
    std::array<QLabel*, 11> scale_{};
};

// The bar scale a window shows: the header's scale labels and every bar drawn to a
// full bar of `full_mbits`. Both programs' rows follow the View menu's scale through
// this one call; without a header (the window is going) only the bars follow.
void show_bar_scale(double full_mbits, HeaderRow* header, const std::vector<RateBar*>& bars);

// Size of one row (both kinds), 385 by 10 dialog units.
QSize row_size(const DialogUnits& units);

// Where the scale's mark i (0 to 10) stands in a row `extra` pixels wider than its
// layout: the marks of 0 and 100 at 165 and 365 dialog units, moved apart by `extra`.
int scale_mark_x(const DialogUnits& units, int extra, int i);

}  // namespace kelbos
