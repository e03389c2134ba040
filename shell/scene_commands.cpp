// SPDX-License-Identifier: Apache-2.0
#include "shell/scene_commands.h"

#include <cstdlib>

#include "core/show_message.h"
#include "shell/scene_file_dialog.h"

namespace kelbos {

void load_startup_scene(Scene& scene, const std::vector<std::string>& words) {
    const ReadResult result = open_init_file(scene, words);
    if (result.outcome == ReadOutcome::fatal_point_error) std::exit(-1);
}

bool load_chosen_scene(Scene& scene, const std::string& path) {
    const ReadResult result = read_init_file(scene, path);
    if (result.outcome == ReadOutcome::fatal_point_error) show_message({result.fatal_text.c_str()});
    scene.scene_loaded = result.ok();
    return scene.scene_loaded;
}

void open_scene_file(QWidget* parent, Scene& scene, const std::function<void()>& redraw) {
    const std::optional<std::string> path = ask_scene_file(parent);
    if (!path) return;
    load_chosen_scene(scene, *path);
    if (redraw) redraw();
}

}  // namespace kelbos
