// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the scene tests: a message recorder, a scratch folder and the
// header of the standard test scene.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/scene.h"
#include "core/show_message.h"

namespace kelbos::testing {

// The header of the worked example: 30/150/60 degrees, size 20x20x10, spacing 22x22x12.
inline const std::string HEADER =
    "set kelbo\nrot 30, 150, 60\nsize 20, 20, 10\nspace 22, 22, 12\nset points\n";

// Records every message shown while it lives.
struct MessageRecorder {
    std::vector<std::string> messages;
    ScopedMessagePresenter presenter{[this](const std::string& text) { messages.push_back(text); }};
};

// A scratch folder removed with its contents at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelbos-scene-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes the bytes unchanged to a file of the folder and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string file = (path_ / name).string();
        std::ofstream out(file, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return file;
    }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// The five edge extents of the scene's kelbo shape, in declaration order.
inline std::array<int, 5> shape_of(const Scene& s) {
    return {s.shape.width_dx, s.shape.width_dy, s.shape.depth_dx, s.shape.depth_dy, s.shape.height_dy};
}

// A scene whose points, counters and angles are set to recognisable values, to see
// which of them a read changes.
inline Scene marked_scene() {
    Scene scene;
    scene.rot_a = 1.0;
    scene.rot_b = 2.0;
    scene.rot_c = 3.0;
    scene.shape = {1, 2, 3, 4, 5};
    scene.space_width = 7;
    scene.space_depth = 8;
    scene.space_height = 9;
    for (int i = 0; i < MAX_PTS; ++i) scene.points[i] = {i, -i, 3};
    scene.point_count = 42;
    scene.kelbo_countdown = 17;
    scene.next_point = 5;
    return scene;
}

}  // namespace kelbos::testing
