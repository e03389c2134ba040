// SPDX-License-Identifier: Apache-2.0
// Where --metrics listens, as the command line gives it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelbos {

// Where --metrics listens: an address (empty: every address) and a port.
struct MetricsEndpoint {
    std::string address;
    std::uint16_t port = 0;
};

// "PORT", "ADDRESS:PORT" or "[IPV6]:PORT" (the address without its brackets); nullopt
// unless the port is 1..65535.
std::optional<MetricsEndpoint> parse_metrics_endpoint(const std::string& text);

}  // namespace kelbos
