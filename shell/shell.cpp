// SPDX-License-Identifier: Apache-2.0
#include "shell.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>
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

CommandMenu::CommandMenu(QMenuBar* bar, std::span<const MenuItem> items, std::function<void(int)> on_command) {
    std::map<QString, QMenu*> popups;
    for (const MenuItem& item : items) {
        const QString popup_label = item.popup;
        QMenu*& menu = popups[popup_label];
        if (!menu) menu = bar->addMenu(popup_label);
        if (!item.label) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(item.label);
        const int id = item.id;
        QObject::connect(action, &QAction::triggered, action, [on_command, id] { on_command(id); });
        actions_[id] = action;
    }
}

void CommandMenu::set_enabled(int id, bool enabled) {
    if (QAction* a = action(id)) a->setEnabled(enabled);
}

bool CommandMenu::is_enabled(int id) const {
    const QAction* a = action(id);
    return a && a->isEnabled();
}

QAction* CommandMenu::action(int id) const {
    const auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

std::optional<std::string> ask_scene_file(QWidget* parent) {
    QFileDialog dialog(parent, "Open kelbos file");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters({"Kelbos file (*.klx *.kelx)", "All files (*)"});
    dialog.setDefaultSuffix("klx");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

}  // namespace kelbos
