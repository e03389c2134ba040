// SPDX-License-Identifier: Apache-2.0
// Pieces of the main-window shell that both programs share: the message box, the
// menu built from an id table, and the scene file dialog.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>

class QAction;
class QMenuBar;
class QWidget;

namespace kelbos {

// The presenter of the windowed programs: a modal box with the text, an OK button and
// the warning icon, owned by `owner`'s window and centred over it (without an owner,
// by the active window: none before the main window exists).
void present_in_box(const std::string& text, QWidget* owner = nullptr);

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

// The "Open ..." file dialog; the chosen path, or nothing when cancelled.
std::optional<std::string> ask_scene_file(QWidget* parent);

}  // namespace kelbos
