// SPDX-License-Identifier: Apache-2.0
// The one address type of both programs, IPv6 and IPv4 alike, what is read from it,
// and the socket that takes every address of this host. Nothing outside the network
// layer chooses an address family.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

#include "net/sockets.h"

namespace kelbos {

// A socket address of any family, with its length: what accept and recvfrom fill in.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = sizeof(sockaddr_storage);

    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sa_family_t family() const { return storage.ss_family; }
};

// True when two addresses name the same host: the ports are not compared, and an
// IPv4-mapped IPv6 address is the same host as the plain IPv4 address it holds. An
// address of another family, or too short for its family, names no host.
bool same_host(const SocketAddress& a, const SocketAddress& b);
// As same_host, except that every address of one IPv6 /64 (a network one machine is
// commonly given whole) counts as one host.
bool same_share_host(const SocketAddress& a, const SocketAddress& b);

// The IPv4 address of an AF_INET address, or of an IPv4-mapped IPv6 one.
std::optional<in_addr> ipv4_of(const SocketAddress& address);

// The port of an IPv4 or IPv6 address (0 for others); the same address on another port.
std::uint16_t port_of(const SocketAddress& address);
SocketAddress with_port(SocketAddress address, std::uint16_t port);

// A literal IPv4 or IPv6 address (an IPv6 one may be in brackets) with port 0;
// nothing for names and anything else.
std::optional<SocketAddress> numeric_address(const std::string& text);

// The address of a socket's own end (getsockname).
SocketAddress local_address(int fd);

// The host of an address in its usual text: a dotted quad for IPv4, also when it
// reaches an IPv6 socket mapped into IPv6; the compressed form for other IPv6.
std::string address_text(const SocketAddress& address);

// A socket for every address of this host: one dual-stack IPv6 socket that takes IPv4
// as well, or an IPv4 one where the system has no IPv6. `any` is its wildcard address
// with `port`, to bind to. Invalid on failure, errno set.
struct WildcardSocket {
    Socket socket;
    SocketAddress any;
};
WildcardSocket make_wildcard_socket(int type, std::uint16_t port);

}  // namespace kelbos
