// SPDX-License-Identifier: Apache-2.0
#include "core/kelbo_geometry.h"

#include <algorithm>
#include <cstdio>

#include "core/format_scan.h"

namespace kelbos {

Point2 kelbo_origin(const ScenePoint& point, int client_bottom) {
    auto clamp = [](long long v) {
        if (v > KELBO_ORIGIN_LIMIT) return KELBO_ORIGIN_LIMIT;
        if (v < -KELBO_ORIGIN_LIMIT) return -KELBO_ORIGIN_LIMIT;
        return static_cast<int>(v);
    };
    return {clamp(point.x), clamp(static_cast<long long>(client_bottom) - point.y)};
}

KelboFaces kelbo_faces(const KelboShape& shape, Point2 o) {
    const int d_dx = shape.depth_dx, d_dy = shape.depth_dy;
    const int w_dx = shape.width_dx, w_dy = shape.width_dy;
    const int h = shape.height_dy;
    KelboFaces faces;
    faces.depth_side = {{{o.x, o.y}, {o.x + d_dx, o.y - d_dy}, {o.x + d_dx, o.y + h - d_dy}, {o.x, o.y + h}}};
    faces.width_side = {{{o.x, o.y}, {o.x + w_dx, o.y - w_dy}, {o.x + w_dx, o.y + h - w_dy}, {o.x, o.y + h}}};
    faces.top = {{{o.x, o.y},
                  {o.x + d_dx, o.y - d_dy},
                  {o.x + d_dx + w_dx, o.y - d_dy - w_dy},
                  {o.x + w_dx, o.y - w_dy}}};
    return faces;
}

KelboBox kelbo_box(const KelboShape& shape, Point2 o) {
    return {o.x + shape.depth_dx, o.x + shape.width_dx, o.y - shape.depth_dy - shape.width_dy,
            o.y + shape.height_dy};
}

KelboBox corner_bounds(const KelboFaces& faces) {
    KelboBox box{faces.top[0].x, faces.top[0].x, faces.top[0].y, faces.top[0].y};
    for (const auto* face : {&faces.depth_side, &faces.width_side, &faces.top}) {
        for (const Point2& p : *face) {
            box.left = std::min(box.left, p.x);
            box.right = std::max(box.right, p.x);
            box.top = std::min(box.top, p.y);
            box.bottom = std::max(box.bottom, p.y);
        }
    }
    return box;
}

bool box_meets(const KelboBox& box, int left, int top, int right, int bottom) {
    return box.left < right && box.right > left && box.top < bottom && box.bottom > top;
}

std::string colour_text(Rgb colour) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", colour.r, colour.g, colour.b);
    return text;
}

std::optional<Rgb> parse_colour_text(const std::string& text) {
    auto hex_digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::size_t p = 0;
    if (text.empty() || text[0] != '#') return std::nullopt;
    ++p;
    std::uint8_t values[3];
    for (std::uint8_t& value : values) {
        while (p < text.size() && is_format_space(text[p])) ++p;
        int v = 0, digits = 0;
        while (digits < 2 && p < text.size() && hex_digit(text[p]) >= 0) {
            v = v * 16 + hex_digit(text[p++]);
            ++digits;
        }
        if (digits == 0) return std::nullopt;
        value = static_cast<std::uint8_t>(v);
    }
    return Rgb{values[0], values[1], values[2]};
}

}  // namespace kelbos
