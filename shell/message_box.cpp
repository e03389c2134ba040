// SPDX-License-Identifier: Apache-2.0
#include "shell/message_box.h"

#include <QApplication>
#include <QMessageBox>

namespace kelbos {

void present_in_box(const std::string& text, QWidget* owner) {
    QMessageBox box(owner ? owner->window() : QApplication::activeWindow());
    box.setIcon(QMessageBox::Warning);
    box.setText(QString::fromStdString(text));
    box.setTextFormat(Qt::PlainText);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

}  // namespace kelbos
