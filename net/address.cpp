// SPDX-License-Identifier: Apache-2.0
#include "net/address.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstring>

namespace kelbos {

namespace {
// The bytes that name the host of an address: 4 for IPv4 (also when mapped into
// IPv6), 16 for other IPv6 addresses; empty for anything else.
struct HostBytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

HostBytes host_bytes(const SocketAddress& address) {
    if (address.family() == AF_INET && address.length >= sizeof(sockaddr_in)) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address.storage);
        return {reinterpret_cast<const std::uint8_t*>(&in->sin_addr), 4};
    }
    if (address.family() == AF_INET6 && address.length >= sizeof(sockaddr_in6)) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address.storage);
        const auto* bytes = in6->sin6_addr.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) return {bytes + 12, 4};
        return {bytes, 16};
    }
    return {};
}

// The hosts of a and b are one, comparing the first `ipv6_bytes` of IPv6 addresses.
bool hosts_match(const SocketAddress& a, const SocketAddress& b, std::size_t ipv6_bytes) {
    const HostBytes x = host_bytes(a);
    const HostBytes y = host_bytes(b);
    const std::size_t compared = x.size == 16 ? ipv6_bytes : x.size;
    return x.size != 0 && x.size == y.size && std::memcmp(x.data, y.data, compared) == 0;
}
}  // namespace

bool same_host(const SocketAddress& a, const SocketAddress& b) {
    return hosts_match(a, b, 16);
}

bool same_share_host(const SocketAddress& a, const SocketAddress& b) {
    return hosts_match(a, b, 8);
}

std::optional<in_addr> ipv4_of(const SocketAddress& address) {
    const HostBytes bytes = host_bytes(address);
    if (bytes.size != 4) return std::nullopt;
    in_addr a{};
    std::memcpy(&a, bytes.data, 4);
    return a;
}

std::uint16_t port_of(const SocketAddress& address) {
    if (address.family() == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_port);
    if (address.family() == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_port);
    return 0;
}

SocketAddress with_port(SocketAddress address, std::uint16_t port) {
    if (address.family() == AF_INET) reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(port);
    if (address.family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(port);
    return address;
}

std::optional<SocketAddress> numeric_address(const std::string& text) {
    SocketAddress a;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&a.storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
    const bool bracketed = text.size() > 2 && text.front() == '[' && text.back() == ']';
    const std::string bare = bracketed ? text.substr(1, text.size() - 2) : text;
    if (!bracketed && ::inet_pton(AF_INET, bare.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        a.length = sizeof(sockaddr_in);
        return a;
    }
    if (::inet_pton(AF_INET6, bare.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        a.length = sizeof(sockaddr_in6);
        return a;
    }
    return std::nullopt;
}

SocketAddress local_address(int fd) {
    SocketAddress a;
    if (::getsockname(fd, a.get(), &a.length) != 0) a = SocketAddress{};
    return a;
}

std::string address_text(const SocketAddress& address) {
    if (const auto v4 = ipv4_of(address)) {
        char buf[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &*v4, buf, sizeof buf);
        return buf;
    }
    char buf[INET6_ADDRSTRLEN] = {};
    if (address.family() == AF_INET6 && address.length >= sizeof(sockaddr_in6))
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_addr, buf,
                    sizeof buf);
    return buf;
}

WildcardSocket make_wildcard_socket(int type, std::uint16_t port) {
    WildcardSocket w;
    w.socket = make_socket(type, AF_INET6);
    if (w.socket && set_int_option(w.socket.fd(), IPPROTO_IPV6, IPV6_V6ONLY, 0)) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&w.any.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_any;
        in6->sin6_port = htons(port);
        w.any.length = sizeof(sockaddr_in6);
        return w;
    }
    // No IPv6 in this system (or no dual stack): IPv4 alone.
    w.socket = make_socket(type, AF_INET);
    auto* in = reinterpret_cast<sockaddr_in*>(&w.any.storage);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_ANY);
    in->sin_port = htons(port);
    w.any.length = sizeof(sockaddr_in);
    return w;
}

}  // namespace kelbos
