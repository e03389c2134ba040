// SPDX-License-Identifier: Apache-2.0
// The message box of the windowed programs.
#pragma once

#include <string>

class QWidget;

namespace kelbos {

// The presenter of the windowed programs: a modal box with the text, an OK button and
// the warning icon, owned by `owner`'s window and centred over it (without an owner,
// by the active window: none before the main window exists).
void present_in_box(const std::string& text, QWidget* owner = nullptr);

}  // namespace kelbos
