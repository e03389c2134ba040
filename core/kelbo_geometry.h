// SPDX-License-Identifier: Apache-2.0
// One kelbo on screen: where it stands, its three faces, the box it covers, and the
// colours its faces are filled with. Screen coordinates: x to the right, y down.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/rgb.h"
#include "core/scene.h"

namespace kelbos {

struct Point2 {
    int x = 0;
    int y = 0;
    friend bool operator==(const Point2&, const Point2&) = default;
};

// Reference corner of a kelbo in client coordinates: (x, client_bottom - y). Kept
// within +-KELBO_ORIGIN_LIMIT so that corners derived from it never overflow; a kelbo
// that far away is off any screen.
inline constexpr int KELBO_ORIGIN_LIMIT = 1'000'000'000;
Point2 kelbo_origin(const ScenePoint& point, int client_bottom);

// The three faces, each a closed four-corner polygon, in drawing order: the depth
// side (dark), the width side (base) and the top (light).
struct KelboFaces {
    std::array<Point2, 4> depth_side;
    std::array<Point2, 4> width_side;
    std::array<Point2, 4> top;
};
KelboFaces kelbo_faces(const KelboShape& shape, Point2 origin);

// The box used for culling and for repainting a taken kelbo: left origin + depth_dx,
// right origin + width_dx, top origin - depth_dy - width_dy, bottom origin + height_dy.
struct KelboBox {
    int left = 0;
    int right = 0;
    int top = 0;
    int bottom = 0;
    friend bool operator==(const KelboBox&, const KelboBox&) = default;
};
KelboBox kelbo_box(const KelboShape& shape, Point2 origin);

// The smallest box that holds every corner of the three faces, edges included.
KelboBox corner_bounds(const KelboFaces& faces);

// Whether the box meets an update rectangle: all four tests strict.
bool box_meets(const KelboBox& box, int left, int top, int right, int bottom);

// Light: each component c becomes c + (255 - c) / 5. Dark: c / 2.
constexpr std::uint8_t light_component(std::uint8_t c) {
    return static_cast<std::uint8_t>(c + (255 - c) / 5);
}
constexpr std::uint8_t dark_component(std::uint8_t c) {
    return static_cast<std::uint8_t>(c / 2);
}
constexpr Rgb light_colour(Rgb c) {
    return {light_component(c.r), light_component(c.g), light_component(c.b)};
}
constexpr Rgb dark_colour(Rgb c) {
    return {dark_component(c.r), dark_component(c.g), dark_component(c.b)};
}

struct KelboColours {
    Rgb base;
    Rgb light;
    Rgb dark;
    friend bool operator==(const KelboColours&, const KelboColours&) = default;
};
constexpr KelboColours kelbo_colours(Rgb base) {
    return {base, light_colour(base), dark_colour(base)};
}

// The transmitter's kelbo colour at start-up.
inline constexpr Rgb DEFAULT_KELBO_COLOUR{128, 0, 0};

// The receiver's slot 0, fixed: its light colour keeps red and blue at 0.
inline constexpr KelboColours DEFAULT_SLOT_COLOURS{{0, 128, 0}, {0, 153, 0}, {0, 64, 0}};

// "#RRGGBB", two upper-case hexadecimal digits per component.
std::string colour_text(Rgb colour);

// Reads a colour text as "#%2X%2X%2X": a '#', then three fields of at most two
// hexadecimal digits, white space before each field skipped; anything after the
// third field ignored. nullopt when fewer than three values are read.
std::optional<Rgb> parse_colour_text(const std::string& text);

}  // namespace kelbos
