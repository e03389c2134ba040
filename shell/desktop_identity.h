// SPDX-License-Identifier: Apache-2.0
// How a program shows itself to the desktop: the kelbo icon on its windows, and the
// name of its desktop entry, by which a desktop matches the running windows to the
// entry that started them.
#pragma once

#include <QString>

namespace kelbos {

// The program icon, from the resources built into the program.
inline constexpr const char* PROGRAM_ICON = ":/kelbos/kelbos.png";

// Gives every window of the application the program icon and names its desktop
// entry ("kelbostx" or "kelbosrx"). Call once, after the application object exists.
void apply_desktop_identity(const QString& desktop_entry);

}  // namespace kelbos
