// SPDX-License-Identifier: Apache-2.0
// The menu bar both windows build from a table of command ids.
#pragma once

#include <functional>
#include <map>
#include <span>

class QAction;
class QMenuBar;

namespace kelbos {

// One menu entry: its popup's label, its command id and its label. A null label is a
// separator.
struct MenuItem {
    const char* popup;
    int id;
    const char* label;
};

// A menu bar built from a table; choosing an item calls the handler with its id.
class CommandMenu {
public:
    CommandMenu(QMenuBar* bar, std::span<const MenuItem> items, std::function<void(int)> on_command);

    void set_enabled(int id, bool enabled);
    bool is_enabled(int id) const;
    QAction* action(int id) const;

private:
    std::map<int, QAction*> actions_;
};

}  // namespace kelbos
