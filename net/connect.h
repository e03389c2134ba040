// SPDX-License-Identifier: Apache-2.0
// Connecting a stream socket to a host name within a bound: the name is looked up, and
// its addresses are tried in turn until one answers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/address.h"
#include "net/resolve.h"
#include "net/sockets.h"

namespace kelbos {

// Connects a non-blocking stream socket to the first of a host's addresses that
// answers, and never waits itself. While it is `resolving`, its caller watches
// waiting_fd() for readability (the name's lookup) and then calls resolved(); while it
// is `waiting`, its caller watches waiting_fd() for writability for at most share() and
// then calls writable() or timed_out(). The bound starts once the name is known. Each
// address gets an equal share of what is left of the whole bound, so one that never
// answers leaves time for the next; one that fails at once (refused, unreachable)
// hands on at once; one of a family this system lacks (or that Prepare refuses with
// EAFNOSUPPORT) is passed over.
class StreamConnector {
public:
    // Sets up each new socket before its connect: 0, EAFNOSUPPORT to pass the address
    // over, or another error number that ends the whole attempt (`stopped`).
    using Prepare = std::function<int(const SocketAddress& address, const Socket& socket)>;
    enum class State { idle, resolving, waiting, connected, unresolved, failed, stopped };

    StreamConnector() = default;
    StreamConnector(const StreamConnector&) = delete;
    StreamConnector& operator=(const StreamConnector&) = delete;

    // Connects to `host` on `port`; `unresolved` when the name has no address.
    State start(const std::string& host, std::uint16_t port, std::chrono::milliseconds bound,
                Prepare prepare);
    // Connects to the first of `addresses` that answers, as for a name that gave them.
    State start(std::vector<SocketAddress> addresses, std::chrono::milliseconds bound, Prepare prepare);
    // The lookup's waiting_fd() was reported readable: its answer is there.
    State resolved();
    // waiting_fd() was reported writable (or in error).
    State writable();
    // The current address's share ran out.
    State timed_out();
    // Gives up: drops the lookup and closes the socket being connected.
    void cancel();

    State state() const { return state_; }
    int waiting_fd() const;
    // What is left of the current address's share (at least 1 ms while waiting).
    std::chrono::milliseconds share() const;
    // connected: the connected socket, and the address it reached.
    Socket take_socket();
    const SocketAddress& address() const { return addresses_[index_]; }
    // failed: the error of the last address's connect (ETIMEDOUT for one that did not
    // answer in its share), 0 when no address had a family of this system;
    // stopped: the error that ended the attempt.
    int error() const { return error_; }

private:
    void reset(std::chrono::milliseconds bound, Prepare prepare);
    State begin(std::vector<SocketAddress> addresses);
    State next();
    // The connect of the current socket is over: connected, or on to the next address.
    State settle();
    State stop(int error);

    std::unique_ptr<HostLookup> lookup_;
    std::chrono::milliseconds bound_{};
    std::vector<SocketAddress> addresses_;
    std::size_t index_ = 0;
    Prepare prepare_;
    std::chrono::steady_clock::time_point deadline_{};
    std::chrono::steady_clock::time_point share_end_{};
    Socket socket_;
    int error_ = 0;
    State state_ = State::idle;
};

}  // namespace kelbos
