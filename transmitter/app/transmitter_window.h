// SPDX-License-Identifier: Apache-2.0
// The transmitter's main window: "Kelbos Transmitter" with its menu, the kelbo
// picture filling the client area, and the header and value rows at its top.
#pragma once

#include <QColor>
#include <QMainWindow>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "shell/command_menu.h"

namespace kelbos {

class HeaderRow;
class KelboCanvas;
class RowWidget;

// Menu command ids.
inline constexpr int ID_OPEN = 100;
inline constexpr int ID_SAVE_SETTINGS = 101;
inline constexpr int ID_EXIT = 102;
inline constexpr int ID_COLOR = 110;
inline constexpr int ID_SETTINGS = 111;
inline constexpr int ID_GO = 112;
inline constexpr int ID_HALT = 113;

inline constexpr std::array<MenuItem, 9> TRANSMITTER_MENU = {{
    {"&File", ID_OPEN, "&Open ..."},
    {"&File", ID_SAVE_SETTINGS, "&Save settings"},
    {"&File", ID_EXIT, "&Exit"},
    {"&Control", ID_COLOR, "&Color ..."},
    {"&Control", ID_SETTINGS, "&Settings..."},
    {"&Control", 0, nullptr},
    {"&Control", ID_GO, "&Go"},
    {"&Control", ID_HALT, "&Halt tx"},
    {"&Control", 0, nullptr},
}};

// Height of the picture below the rows when the window opens.
inline constexpr int INITIAL_PICTURE_HEIGHT = 480;
// The narrowest the window opens, whatever the font.
inline constexpr int INITIAL_MIN_WIDTH = 640;

class TransmitterWindow : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window, its menu (commands go to on_command) and its two rows.
    // on_close runs when the window is closed.
    TransmitterWindow(std::function<void(int)> on_command, std::function<void()> on_close);
    ~TransmitterWindow() override;

    KelboCanvas& canvas() const { return *canvas_; }
    HeaderRow& header_row() const { return *header_; }
    RowWidget& value_row() const { return *value_; }
    CommandMenu& menu() const { return *menu_; }

    // The value row shows a transmission: the receiver's name, the protocol and the
    // kelbo size with a rate of "0.0000"; then each tick's rate and bar; then
    // "Stopped", the rate and bar staying as they are.
    void show_transmission(const std::string& name, const char* protocol, std::uint32_t kelbo_bits);
    void show_rate(double rate);
    void show_stopped();
    // The bar's colour, on ticks and on repaints from the rate text.
    void set_bar_colour(QColor colour);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    KelboCanvas* canvas_;
    HeaderRow* header_;
    RowWidget* value_;
    std::unique_ptr<CommandMenu> menu_;
    std::function<void()> on_close_;
    QColor bar_colour_;
};

}  // namespace kelbos
