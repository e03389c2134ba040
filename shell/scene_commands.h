// SPDX-License-Identifier: Apache-2.0
// Loading scenes in the programs: at start-up from the command line, and through the
// "Open ..." command.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/scene.h"

class QWidget;

namespace kelbos {

// Reads the start-up scene named by the command-line words and sets scene_loaded. A
// malformed point line ends the process with status -1, its line already written to
// standard output.
void load_startup_scene(Scene& scene, const std::vector<std::string>& words);

// Reads a scene chosen while the program runs. A malformed point line is written to
// standard output and shown in a box too; the program carries on with no scene.
// Sets scene_loaded from the result; returns it.
bool load_chosen_scene(Scene& scene, const std::string& path);

// The "Open ..." command: asks for a file; when one is chosen, loads it and then
// calls `redraw` whatever the load gave. Nothing changes when the dialog is cancelled.
void open_scene_file(QWidget* parent, Scene& scene, const std::function<void()>& redraw);

}  // namespace kelbos
