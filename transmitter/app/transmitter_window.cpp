// SPDX-License-Identifier: Apache-2.0
#include "transmitter/app/transmitter_window.h"

#include <QCloseEvent>
#include <QMenuBar>
#include <algorithm>

#include "core/rate.h"
#include "shell/dialog_units.h"
#include "shell/kelbo_canvas.h"
#include "shell/row_widget.h"

namespace kelbos {

TransmitterWindow::TransmitterWindow(std::function<void(int)> on_command, std::function<void()> on_close)
    : on_close_(std::move(on_close)) {
    setWindowTitle("Kelbos Transmitter");
    menu_ = std::make_unique<CommandMenu>(menuBar(), TRANSMITTER_MENU, std::move(on_command));
    menu_->set_enabled(ID_SAVE_SETTINGS, false);

    canvas_ = new KelboCanvas(this);
    setCentralWidget(canvas_);

    // The rows sit on the picture at its top: the header at (0, 0), the value row
    // right under it. They take the window's width; the window is never made so small
    // that they are cut.
    const DialogUnits units(fontMetrics());
    header_ = new HeaderRow(canvas_, units, {"Receiver", "Kelbos/Bit"});
    header_->move(0, 0);
    value_ = new RowWidget(canvas_, units);
    value_->move(0, header_->height());
    menu_->set_enabled(ID_HALT, false);

    const QSize row = row_size(units);
    canvas_->setMinimumSize(row.width(), 2 * row.height());
    canvas_->set_scene_bottom(2 * row.height() + INITIAL_PICTURE_HEIGHT);
    setAttribute(Qt::WA_AlwaysShowToolTips);
    resize(std::max(row.width(), INITIAL_MIN_WIDTH),
           menuBar()->sizeHint().height() + 2 * row.height() + INITIAL_PICTURE_HEIGHT);
}

TransmitterWindow::~TransmitterWindow() = default;

void TransmitterWindow::show_transmission(const std::string& name, const char* protocol,
                                          std::uint32_t kelbo_bits) {
    value_->set_name(QString::fromStdString(name));
    value_->set_protocol(protocol);
    value_->set_kelbo_bits(QString::number(kelbo_bits));
    value_->set_rate_text("0.0000");
}

void TransmitterWindow::show_rate(double rate) {
    value_->set_rate_text(QString::fromStdString(rate_text(rate)));
    value_->bar()->draw_for_tick(static_cast<float>(rate), bar_colour_);
}

void TransmitterWindow::show_stopped() {
    value_->set_protocol("Stopped");
    value_->update();
}

void TransmitterWindow::set_bar_colour(QColor colour) {
    bar_colour_ = colour;
    value_->bar()->set_repaint_colour(colour);
}

void TransmitterWindow::closeEvent(QCloseEvent* event) {
    // Closing ends the program; the window stays until the program object goes.
    event->ignore();
    if (on_close_) on_close_();
}

}  // namespace kelbos
