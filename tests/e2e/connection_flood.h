// SPDX-License-Identifier: Apache-2.0
// A seeded flood against a receiver's well-known ports: bursts of connections to the
// stream and control ports that send random bytes, part of a SetupRequest, a complete
// but bogus one, or nothing, that close at once or reset, and random datagrams to the
// datagram port. Every choice is drawn from the seed before anything is sent, so a
// run can be repeated. It reports what the receiver answered.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sockets.h"
#include "protocol.h"

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
const char* kind_name(FloodKind kind);

// What a bogus setup that was accepted does next.
enum class AfterAccept : int {
    shut_down,            // a ShutdownRequest naming its own ConnId, any reason
    request_for_no_link,  // a ShutdownRequest naming 0 or a ConnId above 10
    data,                 // some bytes of data, then a close
    nothing,              // a close
};

struct FloodPlan {
    std::uint32_t seed = 8;
    int connections = 2000;
    int burst = 250;
    int datagrams_per_burst = 50;
    // Silent connections made before the first burst and kept open: they are sure to
    // be admitted, so the receiver's wait for their SetupRequest must run out. A bogus
    // SetupRequest follows them, and is sure to be accepted.
    int openers = 3;
    // ConnIds of links that must survive the flood: no datagram and no request of the
    // flood names them (the protocol lets a datagram or a ShutdownRequest from anyone
    // reach any link by its ConnId).
    std::vector<ConnId> spared{};
    // The address of this host the flood comes from.
    const char* source = "127.0.0.1";
    // Bound of each wait of the flood.
    std::chrono::milliseconds limit{30000};
    // Called on the flood's thread before each burst but the first: a test spreads
    // the bursts over time with it.
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

// The plan against 127.0.0.1 at the given ports.
class ConnectionFlood {
public:
    explicit ConnectionFlood(FloodPlan plan, const Ports& ports = {});
    ~ConnectionFlood();
    ConnectionFlood(const ConnectionFlood&) = delete;
    ConnectionFlood& operator=(const ConnectionFlood&) = delete;

    // The openers, then every burst with its datagrams. The connections to be held
    // stay open.
    void run_bursts();
    // Waits for the receiver to close every connection held open (until the plan's
    // limit), then closes what is left.
    void await_held();
    const FloodReport& report() const;
    int burst_count() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelbos::floodtest
