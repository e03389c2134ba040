// SPDX-License-Identifier: Apache-2.0
#include "metrics/metrics_endpoint.h"

#include <charconv>

namespace kelbos {

std::optional<MetricsEndpoint> parse_metrics_endpoint(const std::string& text) {
    MetricsEndpoint endpoint;
    std::string port = text;
    if (text.starts_with('[')) {
        // An IPv6 address in brackets, its port after them.
        const auto close = text.find("]:");
        if (close == std::string::npos || close == 1) return std::nullopt;
        endpoint.address = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        endpoint.address = text.substr(0, colon);
        port = text.substr(colon + 1);
        // An IPv6 address without brackets cannot be told from its port.
        if (endpoint.address.empty() || endpoint.address.find(':') != std::string::npos) return std::nullopt;
    }
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || error != std::errc{} || end != port.data() + port.size() || value < 1 ||
        value > 65535)
        return std::nullopt;
    endpoint.port = static_cast<std::uint16_t>(value);
    return endpoint;
}

std::optional<MetricsOptions> read_metrics_options(const std::optional<std::string>& endpoint,
                                                   const std::optional<std::string>& allow, std::string& error) {
    MetricsOptions o;
    if (endpoint && !(o.endpoint = parse_metrics_endpoint(*endpoint))) {
        error = "metrics must be [ADDRESS:]PORT with a port of 1 to 65535";
        return std::nullopt;
    }
    if (!allow) return o;
    std::string refused;
    auto list = parse_address_list(*allow, &refused);
    if (!list) {
        error = !refused.empty() ? "metrics-allow entry " + refused
                                 : std::string("metrics-allow must be ") + ADDRESS_LIST_FORM;
        return std::nullopt;
    }
    o.allow = std::move(*list);
    return o;
}

}  // namespace kelbos
