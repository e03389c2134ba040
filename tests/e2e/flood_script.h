// SPDX-License-Identifier: Apache-2.0
// What a flood sends, drawn from its seed: each connection's kind, port and bytes, and
// each burst's datagrams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "connection_flood.h"

namespace kelbos::floodtest {

using Bytes = std::vector<std::uint8_t>;

// One connection of the flood.
struct PlannedConnection {
    FloodKind kind = FloodKind::silent;
    bool to_stream = true;  // the stream port, else the control port
    Bytes bytes;            // sent once connected
    bool split = false;     // the bytes go in two sends
    bool hold = false;      // kept open until the receiver closes it
    std::uint8_t reason = 0;
    std::uint8_t foreign_id = 0;  // the ConnId a request_for_no_link names
    Bytes after_bytes;            // the data of AfterAccept::data
};

struct FloodScript {
    // The prologue (the openers, then one bogus SetupRequest), then the bursts' connections.
    std::vector<PlannedConnection> connections;
    std::size_t prologue = 0;
    int bursts = 0;
    std::vector<std::vector<Bytes>> datagrams;  // those of each burst
};

FloodScript draw_flood(const FloodPlan& plan);

}  // namespace kelbos::floodtest
