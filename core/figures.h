// SPDX-License-Identifier: Apache-2.0
// The figures the programs measure at each tick, as plain values: what the rows show,
// what the JSON lines, the Rate History and the metrics are made from. Toolkit-free;
// colours are plain Rgb, which widgets convert.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "core/rgb.h"

namespace kelbos {

// A UDP link's datagrams: how many, and for numbered ones what their numbers told.
// Events carry them as members after their own.
struct DatagramFigures {
    std::uint64_t datagrams = 0;
    bool numbered = false;  // lost, out_of_order, duplicates and jitter_ms are reported
    std::uint64_t lost = 0;
    std::uint64_t out_of_order = 0;
    std::uint64_t duplicates = 0;
    double jitter_ms = 0;
    std::uint64_t expected = 0;  // numbers up to the highest seen (the metrics only)
    std::uint64_t strays = 0;    // numbers far ahead of any sent (the metrics only)
};

// Where a receiver's link record stands.
enum class RowState : std::uint8_t {
    live = 0,   // link set up, or being set up between alloc and new_link
    free = 1,   // no link; the ConnId may be handed out
    dirty = 2,  // link ended; the row shows "Stopped" until it is removed
};

// One row of the receiver at one rate tick.
struct RowTick {
    ConnId conn_id = CONN_NONE;
    RowState state = RowState::live;             // live, or dirty: the row shows "Stopped"
    std::uint64_t series = 0;                    // the row's line in the rate views
    std::string name;                            // "TOTAL" or the peer name
    const char* transport = "";                  // the link's protocol text; "" for TOTAL
    std::uint64_t kelbo_bits = 0;                // 0 for TOTAL
    float rate = 0;                              // Mbits/s, single precision, as the row shows it
    std::uint64_t bytes = 0;                     // bytes_received
    Rgb colour;                                  // the bar's colour at a tick
    std::optional<DatagramFigures> datagrams{};  // a link's numbered datagrams
    std::optional<double> rtt_ms{};              // a live TCP link's round trip, once known
};

// One row's rate at a tick. `series` names the line the rate belongs to: a new link
// or a new transmission is a new line.
struct RowRate {
    std::uint64_t series;
    std::string name;
    Rgb colour;
    double mbits;
};

// One link row of the receiver at a tick.
struct LinkFigures {
    int conn_id = 0;
    std::string peer;
    std::string transport;  // "UDP", "TCP", ...
    std::uint64_t bytes = 0;
    double rate_mbits = 0;
    std::optional<DatagramFigures> datagrams{};  // numbered datagrams only
};

struct ReceiverFigures {
    std::vector<LinkFigures> links;  // the rows on show, live and stopped
    std::uint64_t all_bytes = 0;     // TOTAL
    int live = 0;
    int stopped = 0;
    int setting_up = 0;                            // connections admitted that have not finished their set-up
    std::map<std::string, std::uint64_t> refused;  // by reason
    std::map<int, std::uint64_t> ended;  // links ended, by shutdown reason
};

struct TransmitterFigures {
    std::uint64_t sent_bytes = 0;  // of the current (or last) transmission
    double rate_mbits = 0;
    std::uint64_t halted = 0;
    std::uint64_t aborted = 0;
    std::uint64_t halt_failed = 0;
};

}  // namespace kelbos
