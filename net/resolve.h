// SPDX-License-Identifier: Apache-2.0
// Host names to addresses: the one resolver of both programs, and a lookup that never
// holds its caller. Nothing outside this piece calls getaddrinfo.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/address.h"

namespace kelbos {

// Every address of a host name, IPv6 and IPv4, in the order the resolver prefers and
// without repeats, each with `port`; empty when the name does not resolve. An address
// in its text form (dotted quad, IPv6 with or without brackets) resolves to itself.
std::vector<SocketAddress> resolve_host(const std::string& host, std::uint16_t port);

// A host-name lookup that never holds its caller: a name in its text form, or an empty
// one, is answered at once; any other name is looked up by resolve_host on a helper
// thread of its own, and fd() becomes readable when the answer is there. Dropping the
// object abandons a lookup still running: its thread ends by itself when the resolver
// answers, and nothing waits for it.
class HostLookup {
public:
    HostLookup(const std::string& host, std::uint16_t port);
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;
    ~HostLookup();

    bool done() const;
    // Readable once done(); -1 when the answer was there at once.
    int fd() const;
    // What resolve_host gives, once done().
    std::vector<SocketAddress> take();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace kelbos
