// SPDX-License-Identifier: Apache-2.0
// The receiver's main window, "Kelbos Receiver": the picture fills the client area,
// the value rows sit on top of it, and the menu offers File ("&Open ...", "&Save
// settings", "&Exit") and Control ("&Stop", grayed for good).
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>

#include "shell/command_menu.h"

namespace kelbos {

class KelboCanvas;

// Menu command ids.
inline constexpr int CMD_OPEN = 100;
inline constexpr int CMD_SAVE_SETTINGS = 101;
inline constexpr int CMD_EXIT = 102;
inline constexpr int CMD_STOP = 113;

inline constexpr MenuItem RECEIVER_MENU[] = {
    {"&File", CMD_OPEN, "&Open ..."},
    {"&File", CMD_SAVE_SETTINGS, "&Save settings"},
    {"&File", CMD_EXIT, "&Exit"},
    {"&Control", CMD_STOP, "&Stop"},
};

inline constexpr const char* RECEIVER_TITLE = "Kelbos Receiver";

// Height of the picture below the rows when the window first opens.
inline constexpr int INITIAL_PICTURE_HEIGHT = 480;

class ReceiverWindow : public QMainWindow {
    Q_OBJECT
public:
    // `on_command` gets every menu id chosen; `on_close` runs when the window is
    // closed by the user or the window system.
    ReceiverWindow(std::function<void(int)> on_command, std::function<void()> on_close);
    ~ReceiverWindow() override;

    KelboCanvas* canvas() const { return canvas_; }
    CommandMenu& menu() { return *menu_; }

    // Sizes the window for rows of `rows_size` with the picture below them.
    void fit_to_rows(QSize rows_size);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    KelboCanvas* canvas_;
    std::unique_ptr<CommandMenu> menu_;
    std::function<void()> on_close_;
};

}  // namespace kelbos
