// SPDX-License-Identifier: Apache-2.0
// The scene: where the kelbos of the picture stand. A small text file (the "init
// file" of every message) gives the projection angles, the size and spacing of the
// kelbos and lines of positions; the reader projects every position to screen
// offsets while reading and stores them in file order, which is also the order in
// which the kelbos are drawn.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace kelbos {

inline constexpr int MAX_PTS = 1000;

// Screen extents of the three edges of one kelbo; x grows to the right, the dy values
// grow upwards. A value outside the 16-bit range keeps its low 16 bits.
struct KelboShape {
    std::int16_t width_dx = 0;
    std::int16_t width_dy = 0;
    std::int16_t depth_dx = 0;
    std::int16_t depth_dy = 0;
    std::int16_t height_dy = 0;
};

// One kelbo: its reference corner as offsets from the left and (upwards) from the
// bottom edge of the drawing area, and in the receiver the colour slot it was drawn
// in (never written by the reader).
struct ScenePoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t slot = 0;
};

struct Scene {
    double rot_a = 0.0;  // radians
    double rot_b = 0.0;
    double rot_c = 0.0;
    KelboShape shape;
    std::int32_t space_width = 0;
    std::int32_t space_depth = 0;
    std::int32_t space_height = 0;
    std::array<ScenePoint, MAX_PTS> points{};
    std::int32_t point_count = 0;
    bool scene_loaded = false;
    std::int32_t kelbo_countdown = 0;  // transmitter: index of the last kelbo shown
    std::int32_t next_point = 0;       // receiver: kelbos drawn so far; the reader leaves it
};

// Degrees to radians as the scene file's angles are converted.
inline constexpr double DEGREES_TO_RADIANS = 0.017453292519943278;

enum class ReadOutcome {
    ok,
    failed,             // reported with show_message
    fatal_point_error,  // a malformed point line: fatal_text went to standard output
};

struct ReadResult {
    ReadOutcome outcome = ReadOutcome::failed;
    // For fatal_point_error: "Problem reading point #N\n", N the number of points
    // stored before the bad line plus one. At start-up the program ends with status
    // -1 after it; from the Open command the same text is shown in a box.
    std::string fatal_text;

    bool ok() const { return outcome == ReadOutcome::ok; }
};

// The scene file name for the words of a command line (program name excluded):
// none gives "kelbostx.init"; one gives the word up to, not including, its last full
// stop, followed by ".init"; two or more give the second word unchanged. Empty words
// count as absent.
std::string scene_file_name(const std::vector<std::string>& words);

// The same for a command line given as one text, split at white space (quotes have
// no meaning).
std::string scene_file_name_from_command_line(const std::string& text);

// Reads a scene file into the scene. Every failure has been reported before it
// returns; the caller stores ok() into scene_loaded. Values stored by the lines
// accepted before a failure stay; a failure in the five header lines leaves the
// points, point_count and kelbo_countdown untouched.
ReadResult read_init_file(Scene& scene, const std::string& path);

// The same parse for scene text from a stream or from memory (any bytes).
ReadResult read_init_stream(Scene& scene, std::istream& in);
ReadResult read_init_bytes(Scene& scene, std::string_view bytes);

// Resolves the file name from the command-line words, reads it and stores the result
// in scene_loaded.
ReadResult open_init_file(Scene& scene, const std::vector<std::string>& words);

}  // namespace kelbos
