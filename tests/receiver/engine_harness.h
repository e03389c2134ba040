// SPDX-License-Identifier: Apache-2.0
// Test support for the receiver link engine: an event pump with a deadline, scripted
// transmitters on raw loopback sockets, and an engine whose callbacks are recorded.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "engine_recorder.h"
#include "net/sockets.h"
#include "receiver/engine/link_engine.h"
#include "receiver/records/connection_records.h"

namespace kelbos::test {

using namespace std::chrono_literals;

// Runs the Qt event loop until done() holds or the deadline passes; returns done().
bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms);
// Deletes notifiers retired by calls made outside any event handler.
void flush_deferred_deletes();

using Bytes = std::vector<std::uint8_t>;

inline Bytes zeros(std::size_t n) {
    return Bytes(n, 0);
}
inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
template <std::size_t N>
Bytes bytes_of(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}
inline Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

// A scripted transmitter's socket, non-blocking; every wait pumps the event loop so
// the engine in the same thread keeps working.
class Peer {
public:
    static Peer tcp(std::uint16_t port, const char* from = "127.0.0.1");  // connected, or invalid
    // A datagram socket connected to the port, sending from `from` (a loopback
    // address).
    static Peer udp(std::uint16_t port, const char* from = "127.0.0.1");

    bool valid() const { return static_cast<bool>(socket_); }
    int fd() const { return socket_.fd(); }
    bool send(const Bytes& bytes);
    // Pumps until n bytes have come, or the connection has ended; returns what came.
    Bytes read(std::size_t n, std::chrono::milliseconds limit = 5000ms);
    // Pumps until the receiver has closed the connection (end of stream or reset).
    bool wait_closed(std::chrono::milliseconds limit = 5000ms);
    // True when nothing at all is waiting to be read and the connection is open.
    bool nothing_to_read();
    // Bytes sent and not yet acknowledged by the other end.
    int unacknowledged() const;
    void close() { socket_.reset(); }
    // Closes with an immediate reset instead of an orderly end.
    void reset();

private:
    Socket socket_;
};

Bytes setup_request(std::uint8_t transport, std::uint32_t kelbo_bytes = 2500000,
                    const std::string& colour = "#800000");

// An engine on free ports whose callbacks are recorded; a call the life of a ConnId
// does not allow fails the test. A link's record is freed as soon as its end is
// reported, so cycles can reuse ConnIds.
class EngineRig {
public:
    explicit EngineRig(EngineOptions options = {});
    EngineRecorder rec;
    std::unique_ptr<LinkEngine> engine;
    Ports ports{0, 0, 0};
    LinkStatus status = LinkStatus::ok;

    struct Link {
        Peer control;
        ConnId conn_id = CONN_NONE;
        Bytes reply;
    };
    // Connects to the control (transport 1) or stream (transport 2) port, sends a
    // SetupRequest and reads the reply.
    Link open(std::uint8_t transport, const char* from = "127.0.0.1");
    // Waits until everything the peer sent has arrived and the engine has taken it
    // from the link socket of conn_id.
    bool drained(ConnId conn_id, const Peer& peer);
    bool table_empty() const;
    // The phase of conn_id's table entry; admitted pumps until it is admitted.
    LinkPhase phase(ConnId conn_id) const { return LinkEnginePeer::link_phase(*engine, conn_id); }
    bool admitted(ConnId c) {
        return pump_until([&] { return phase(c) == LinkPhase::admitted; });
    }
};

}  // namespace kelbos::test
