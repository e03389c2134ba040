// SPDX-License-Identifier: Apache-2.0
// A plain colour, one byte per component, for the toolkit-free code; widgets convert it.
#pragma once

#include <cstdint>

namespace kelbos {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

}  // namespace kelbos
