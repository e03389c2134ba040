// SPDX-License-Identifier: Apache-2.0
#include "core/clock.h"

#include <chrono>
#include <cstring>

namespace kelbos {

std::uint64_t now_ms() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string error_text(int errnum) { return std::strerror(errnum); }

}  // namespace kelbos
