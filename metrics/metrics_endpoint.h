// SPDX-License-Identifier: Apache-2.0
// What --metrics and --metrics-allow ask for, read from the command line's texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/address_list.h"

namespace kelbos {

// Where --metrics listens: an address (empty: every address) and a port.
struct MetricsEndpoint {
    std::string address;
    std::uint16_t port = 0;
};

// "PORT", "ADDRESS:PORT" or "[IPV6]:PORT" (the address without its brackets); nullopt
// unless the port is 1..65535.
std::optional<MetricsEndpoint> parse_metrics_endpoint(const std::string& text);

struct MetricsOptions {
    std::optional<MetricsEndpoint> endpoint;  // --metrics
    std::vector<AddressPrefix> allow;         // --metrics-allow: who may scrape (empty: everyone)
};

// --metrics and --metrics-allow as given (nullopt: not given); nullopt, with `error`
// saying why, when --metrics names no port or (checked next) --metrics-allow no list.
std::optional<MetricsOptions> read_metrics_options(const std::optional<std::string>& endpoint,
                                                   const std::optional<std::string>& allow, std::string& error);

}  // namespace kelbos
