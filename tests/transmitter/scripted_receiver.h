// SPDX-License-Identifier: Apache-2.0
// A receiver played by the tests with raw sockets: the three endpoints on loopback
// ports chosen by the system, and the peer's side of the handshakes, run on a helper
// thread while the link blocks in link_open or link_shutdown.
#pragma once

#include <chrono>
#include <cstdint>
#include <future>
#include <vector>

#include "core/protocol.h"
#include "net/sockets.h"
#include "pump.h"

namespace kelbos::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds PEER_WAIT = 5s;

struct ScriptedReceiver {
    ScriptedReceiver();
    Ports ports;      // the ports the system gave the sockets below
    Socket control;   // TCP listener: control connections of UDP links
    Socket stream;    // TCP listener: TCP links
    Socket datagram;  // UDP, bound: data of UDP links

    const Socket& listener(int transport) const { return transport == TRANSPORT_UDP ? control : stream; }
    // True when a connection waits on a listener or a datagram on the datagram socket.
    bool any_traffic() const;
};

// A socket of `type` bound to a loopback port the system picks, that port in `port`;
// a TCP one listens unless told not to. Throws on failure. With no listener a TCP one
// refuses connections, and holding it keeps the port ours.
Socket bound_loopback(int type, std::uint16_t& port, bool listening = true);

// The peer's side of one setup: the accepted connection and the bytes of the
// SetupRequest as they arrived.
struct SetupPeer {
    Socket connection;
    Bytes request;
};

// Accepts one connection on `listener`, reads the 72-byte SetupRequest and sends
// `reply` (nothing when empty), on a thread; with close_after it then closes the
// connection. get() on the result joins it.
std::future<SetupPeer> play_setup(const Socket& listener, Bytes reply, bool close_after = false);

// The peer's side of a shutdown on connection fd, on a thread: reads the 3-byte
// ShutdownRequest and answers `ack` (nothing when empty); with end_after it then
// ends its side of the connection. get() gives the request as it arrived.
std::future<Bytes> play_shutdown(int fd, Bytes ack, bool end_after = false);

// Reads exactly n bytes (fewer on end of stream or after PEER_WAIT).
Bytes read_bytes(int fd, std::size_t n);
// Reads until the other side closes; false if it did not within PEER_WAIT.
bool read_to_end(int fd, Bytes& got);
// True when the other side closes within PEER_WAIT having sent nothing more.
bool closed_silently(int fd);
// Reads whatever is there now, without waiting.
std::size_t drain(int fd, Bytes* got = nullptr);
void send_bytes(int fd, const Bytes& bytes, int flags = 0);
// Closes with a reset instead of an orderly end.
void reset_connection(Socket& socket);

// A data message: the ConnId field (its first min(4, length) bytes), then zeros.
Bytes data_message(const Bytes& field, std::size_t length);
// The stream that sends of `accepted` bytes each give: each starts a data message,
// the last cut where the send ended.
Bytes message_stream(const std::vector<int>& accepted, std::size_t length, const Bytes& field);

using kelbos::testing::pump_until;
// Runs queued invocations posted so far (and the ones they post in turn, once).
void pump_posted();

}  // namespace kelbos::test
