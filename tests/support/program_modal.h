// SPDX-License-Identifier: Apache-2.0
// Working the modal dialogs that a program's commands open and run.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QTimer>
#include <chrono>
#include <string>

namespace kelbos::testing {

// Runs `act` on the modal dialog of type D as soon as it is up. Whatever modal window
// is still open after five seconds is closed instead, so a test cannot hang.
template <typename D, typename F>
void when_modal(F act) {
    auto* timer = new QTimer(QCoreApplication::instance());  // goes with the application at the latest
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    QObject::connect(timer, &QTimer::timeout, [timer, act, deadline] {
        QWidget* modal = QApplication::activeModalWidget();
        auto* dialog = qobject_cast<D*>(modal);
        if (!dialog && std::chrono::steady_clock::now() < deadline) return;
        timer->stop();
        timer->deleteLater();
        if (dialog) return act(*dialog);
        if (modal) modal->close();
        ADD_FAILURE() << "no " << D::staticMetaObject.className() << " came up";
    });
    timer->start(2);
}

// Chooses `path` in the file dialog once it is up; its title into `title`.
inline void when_file_dialog_choose(const std::string& path, QString* title = nullptr) {
    when_modal<QFileDialog>([path, title](QFileDialog& d) {
        if (title) *title = d.windowTitle();
        d.selectFile(QString::fromStdString(path));
        static_cast<QDialog&>(d).accept();
    });
}

}  // namespace kelbos::testing
