// SPDX-License-Identifier: Apache-2.0
#include "flood_script.h"

#include <algorithm>
#include <random>
#include <string>

#include "protocol.h"

namespace kelbos::floodtest {

namespace {

class Draw {
public:
    explicit Draw(std::uint32_t seed) : rng_(seed) {}
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }
    Bytes bytes(int n) {
        Bytes out(static_cast<std::size_t>(n));
        for (std::uint8_t& b : out) b = byte();
        return out;
    }
    // Bytes that hold no 2: read as data they can never end in a ShutdownRequest,
    // which could name a link that must survive.
    Bytes data_bytes(int n) {
        Bytes out(static_cast<std::size_t>(n));
        for (std::uint8_t& b : out) {
            do b = byte();
            while (b == MSG_SHUTDOWN_REQUEST);
        }
        return out;
    }
    // Random bytes that may run past a SetupRequest: the part past its 72 bytes is data.
    Bytes stream_bytes(int n) {
        Bytes out = bytes(std::min<int>(n, static_cast<int>(SETUP_REQUEST_LEN)));
        if (n > static_cast<int>(SETUP_REQUEST_LEN)) {
            const Bytes tail = data_bytes(n - static_cast<int>(SETUP_REQUEST_LEN));
            out.insert(out.end(), tail.begin(), tail.end());
        }
        return out;
    }

private:
    std::mt19937 rng_;
};

Bytes valid_request() {
    const SetupRequestBytes bytes =
        encode_setup_request(SetupRequest{2500000, 32700, "flood", "#123456", TRANSPORT_TCP});
    return Bytes(bytes.begin(), bytes.end());
}

// 72 bytes of nonsense where the receiver looks: kelbo sizes 0, 1 or 2^32 - 1, bad or
// unended colours, transports outside 1..2.
Bytes bogus_request(Draw& d) {
    Bytes b = d.bytes(static_cast<int>(SETUP_REQUEST_LEN));
    static constexpr std::uint32_t kelbo_sizes[] = {0, 1, 0xFFFFFFFFu};
    if (d.below(2) == 0) {
        const std::uint32_t k = kelbo_sizes[d.below(3)];
        for (int i = 0; i < 4; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(k >> (8 * i));
    }
    static constexpr const char* colours[] = {"#GGHHII", "#12345", "red", "#FFFFFFFFFFFFFFFFFFFF", ""};
    if (d.below(2) == 0) {
        const std::string colour = colours[d.below(5)];
        std::fill(b.begin() + 48, b.begin() + 68, 0);
        std::copy(colour.begin(), colour.end(), b.begin() + 48);
    }
    static constexpr std::uint8_t transports[] = {0, 1, 2, 3, 4, 255};
    if (d.below(2) == 0) b[68] = transports[d.below(6)];
    return b;
}

PlannedConnection plan_one(Draw& d) {
    PlannedConnection p;
    p.kind = static_cast<FloodKind>(d.below(FLOOD_KINDS));
    p.to_stream = d.below(2) == 0;
    switch (p.kind) {
        case FloodKind::random_bytes:
            p.bytes = d.stream_bytes(1 + d.below(300));
            break;
        case FloodKind::partial_setup: {
            const Bytes whole = valid_request();
            p.bytes.assign(whole.begin(),
                           whole.begin() + 1 + d.below(static_cast<int>(SETUP_REQUEST_LEN) - 1));
            p.hold = d.below(2) == 0;
            break;
        }
        case FloodKind::bogus_setup:
            p.bytes = bogus_request(d);
            p.split = d.below(3) == 0;
            p.reason = d.byte();
            p.foreign_id = d.below(2) == 0 ? 0 : static_cast<std::uint8_t>(CONN_LAST + 1 + d.below(245));
            p.after_bytes = d.data_bytes(1 + d.below(2000));
            break;
        case FloodKind::silent:
            p.hold = d.below(2) == 0;
            break;
        case FloodKind::close_at_once:
            break;
        case FloodKind::reset:
            if (d.below(2) == 0) p.bytes = d.stream_bytes(1 + d.below(100));
            break;
    }
    return p;
}

Bytes plan_datagram(Draw& d, const std::vector<ConnId>& spared) {
    int size;
    switch (d.below(10)) {
        case 0:
            size = 0;
            break;
        case 1:
            size = 1 + d.below(3);
            break;
        case 2:
            size = static_cast<int>(UDP_MAX_MESSAGE);
            break;
        case 3:
            size = 60000;
            break;
        default:
            size = 1 + d.below(1500);
            break;
    }
    Bytes b = d.bytes(size);
    if (!b.empty())
        while (std::find(spared.begin(), spared.end(), b[0]) != spared.end()) b[0] = d.byte();
    return b;
}

}  // namespace

FloodScript draw_flood(const FloodPlan& plan) {
    Draw d(plan.seed);
    FloodScript script;
    script.prologue = static_cast<std::size_t>(std::max(plan.openers, 0)) + 1;
    script.connections.reserve(static_cast<std::size_t>(std::max(plan.connections, 0)));
    for (int i = 0; i < plan.connections; ++i) {
        PlannedConnection p = plan_one(d);
        if (i < plan.openers) {
            p = PlannedConnection{};
            p.kind = FloodKind::silent;
            p.hold = true;
            p.to_stream = i % 2 == 0;
        } else if (i == plan.openers && p.kind != FloodKind::bogus_setup) {
            p = PlannedConnection{};
            p.kind = FloodKind::bogus_setup;
            p.bytes = bogus_request(d);
        }
        script.connections.push_back(std::move(p));
    }
    const std::size_t rest = script.connections.size() - std::min(script.connections.size(), script.prologue);
    const auto burst = static_cast<std::size_t>(std::max(plan.burst, 1));
    script.bursts = static_cast<int>((rest + burst - 1) / burst);
    for (int b = 0; b < script.bursts; ++b) {
        script.datagrams.emplace_back();
        for (int i = 0; i < plan.datagrams_per_burst; ++i)
            script.datagrams.back().push_back(plan_datagram(d, plan.spared));
    }
    return script;
}

}  // namespace kelbos::floodtest
