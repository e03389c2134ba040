// SPDX-License-Identifier: Apache-2.0
#include "shell/command_menu.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace kelbos {

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

}  // namespace kelbos
