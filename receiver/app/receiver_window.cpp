// SPDX-License-Identifier: Apache-2.0
#include "receiver/app/receiver_window.h"

#include <QCloseEvent>
#include <QMenuBar>

#include "shell/kelbo_canvas.h"

namespace kelbos {

ReceiverWindow::ReceiverWindow(std::function<void(int)> on_command, std::function<void()> on_close)
    : canvas_(new KelboCanvas(this)), on_close_(std::move(on_close)) {
    setWindowTitle(RECEIVER_TITLE);
    setCentralWidget(canvas_);
    setAttribute(Qt::WA_AlwaysShowToolTips);
    menu_ = std::make_unique<CommandMenu>(menuBar(), RECEIVER_MENU, std::move(on_command));
}

ReceiverWindow::~ReceiverWindow() = default;

void ReceiverWindow::fit_to_rows(QSize rows_size) {
    // The rows, header and TOTAL, are never cut; the picture keeps its place.
    canvas_->setMinimumSize(rows_size);
    canvas_->set_scene_bottom(rows_size.height() + INITIAL_PICTURE_HEIGHT);
    resize(rows_size.width(), menuBar()->sizeHint().height() + rows_size.height() + INITIAL_PICTURE_HEIGHT);
}

void ReceiverWindow::closeEvent(QCloseEvent* event) {
    if (on_close_) on_close_();
    event->accept();
}

}  // namespace kelbos
