// SPDX-License-Identifier: Apache-2.0
// A seeded, repeatable flood against a receiver's ports: bursts of connections sending
// junk, partial or bogus SetupRequests or nothing, closing or resetting, with random
// datagrams; it reports what the receiver answered.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "net/sockets.h"

namespace kelbos::floodtest {

enum class FloodKind : int {
    random_bytes,   // 1..300 random bytes, then a close
    partial_setup,  // the first 1..71 bytes of a SetupRequest
    bogus_setup,    // 72 bytes with nonsense in every field
    silent,         // nothing at all
    close_at_once,  // closed right after the connect
    reset,          // a reset (SO_LINGER 1, 0), some after a few bytes
};
inline constexpr int FLOOD_KINDS = 6;

struct FloodPlan {
    std::uint32_t seed = 8;
    int connections = 2000;
    int burst = 250;
    int datagrams_per_burst = 50;
    // Silent connections kept open from before the first burst (sure to be admitted and
    // to time out), then a bogus SetupRequest that is sure to be accepted.
    int openers = 3;
    // ConnIds of links that must survive: no datagram or request of the flood names them.
    std::vector<ConnId> spared{};
    // The address of this host the flood comes from.
    const char* source = "127.0.0.1";
    // Bound of each wait of the flood.
    std::chrono::milliseconds limit{30000};
    // Called on the flood's thread before each burst but the first, to spread them.
    std::function<void()> between_bursts;
};

struct FloodReport {
    std::array<int, FLOOD_KINDS> made{};  // connections per kind
    int connected = 0;                    // handshakes seen to complete
    int not_connected = 0;                // refused or never completed: the listener is gone
    int refused = 0;                      // answered FF 04 01 05
    int accepted = 0;                     // answered with a ConnId
    int acknowledged = 0;                 // a ShutdownAck for a request naming its own ConnId
    int unanswered = 0;                   // a whole SetupRequest that got no reply before the limit
    int odd_replies = 0;                  // any other answer
    int spared_taken = 0;                 // accepted with the ConnId of a link that was live
    int held = 0;                         // kept open after their burst (openers included)
    int held_timed_out = 0;               // closed by the receiver without a word
    int held_refused = 0;                 // refused, then closed
    int held_left_open = 0;               // still open when the limit ran out
    int datagrams = 0;

    std::string describe() const;
};

class ConnectionFlood {
public:
    virtual ~ConnectionFlood() = default;
    // The openers, then every burst with its datagrams; held connections stay open.
    virtual void run_bursts() = 0;
    // Waits (up to the plan's limit) for the receiver to close the held ones; closes the rest.
    virtual void await_held() = 0;
    virtual const FloodReport& report() const = 0;
    virtual int burst_count() const = 0;
};

// The plan against 127.0.0.1 at the given ports.
std::unique_ptr<ConnectionFlood> make_flood(FloodPlan plan, const Ports& ports = {});

}  // namespace kelbos::floodtest
