// SPDX-License-Identifier: Apache-2.0
// Millisecond tick count (64-bit, steady) and the runtime's error texts.
#pragma once

#include <cstdint>
#include <string>

namespace kelbos {

std::uint64_t now_ms();

// The runtime library's text for an error number (its generic text for numbers it
// does not know).
std::string error_text(int errnum);

}  // namespace kelbos
