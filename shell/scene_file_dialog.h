// SPDX-License-Identifier: Apache-2.0
// The file dialog that picks a scene file to open.
#pragma once

#include <optional>
#include <string>

class QWidget;

namespace kelbos {

// The "Open ..." file dialog; the chosen path, or nothing when cancelled.
std::optional<std::string> ask_scene_file(QWidget* parent);

}  // namespace kelbos
