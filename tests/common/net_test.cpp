// SPDX-License-Identifier: Apache-2.0
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>

#include "metrics/metrics_endpoint.h"
#include "net/address.h"
#include "net/address_list.h"
#include "net/connect.h"
#include "net/resolve.h"
#include "net/reverse_name.h"
#include "net/sockets.h"
#include "open_fds.h"

using namespace kelbos;
using namespace std::chrono_literals;

TEST(Net, SocketClosesItselfAndMoves) {
    const int before = count_open_fds();
    {
        Socket a = make_socket(SOCK_STREAM);
        ASSERT_TRUE(a);
        Socket b = std::move(a);
        EXPECT_FALSE(a);
        EXPECT_TRUE(b);
        EXPECT_EQ(count_open_fds(), before + 1);
        Socket c;
        c = std::move(b);
        EXPECT_EQ(count_open_fds(), before + 1);
    }
    EXPECT_EQ(count_open_fds(), before);
}

TEST(Net, BoundedWaits) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Socket a(fds[0]), b(fds[1]);
    EXPECT_EQ(wait_readable(a.fd(), 20ms), WaitResult::timeout);
    EXPECT_EQ(wait_writable(a.fd(), 20ms), WaitResult::ready);
    // A wait that runs out has lasted its whole bound, however short the bound.
    for (const auto limit : {1ms, 2ms, 3ms}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(wait_readable(a.fd(), limit), WaitResult::timeout);
        EXPECT_GE(std::chrono::steady_clock::now() - start, limit) << limit.count() << " ms";
    }
    ASSERT_EQ(::write(b.fd(), "x", 1), 1);
    EXPECT_EQ(wait_readable(a.fd(), 1000ms), WaitResult::ready);
    EXPECT_EQ(wait_readable(-1, 10ms), WaitResult::timeout);  // poll ignores negative fds
}

TEST(Net, ResolvesAndNamesLoopback) {
    const auto found = resolve_host("127.0.0.1", 54276);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].family(), AF_INET);
    EXPECT_EQ(address_text(found[0]), "127.0.0.1");
    EXPECT_EQ(port_of(found[0]), 54276);
    EXPECT_TRUE(resolve_host("no-such-host.invalid", 1).empty());

    // A lookup given no time at all falls back to dotted decimal.
    EXPECT_EQ(reverse_name(resolve_host("192.0.2.1", 0).at(0), 0ms), "192.0.2.1");
}

namespace {
kelbos::SocketAddress address_of(const char* text, std::uint16_t port) {
    kelbos::SocketAddress a;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    EXPECT_EQ(::getaddrinfo(text, std::to_string(port).c_str(), &hints, &found), 0) << text;
    std::memcpy(&a.storage, found->ai_addr, a.length = found->ai_addrlen);
    ::freeaddrinfo(found);
    return a;
}
}  // namespace

TEST(Net, SameHostComparesAddressesNotPortsAcrossIpv4AndMappedForms) {
    using kelbos::same_host, kelbos::same_share_host;
    const auto v4 = address_of("192.0.2.7", 53764);
    EXPECT_TRUE(same_host(v4, address_of("192.0.2.7", 40000)));
    EXPECT_FALSE(same_host(v4, address_of("192.0.2.8", 53764)));
    EXPECT_FALSE(same_host(address_of("127.0.0.1", 1), address_of("127.0.0.2", 1)));
    EXPECT_TRUE(same_host(v4, address_of("::ffff:192.0.2.7", 1)));
    EXPECT_TRUE(same_host(address_of("::ffff:192.0.2.7", 1), v4));
    EXPECT_FALSE(same_host(v4, address_of("::ffff:192.0.2.8", 1)));
    // Other IPv6 addresses compare all sixteen bytes; ::192.0.2.7 is not the IPv4 host.
    EXPECT_TRUE(same_host(address_of("2001:db8::1", 1), address_of("2001:db8::1", 2)));
    EXPECT_FALSE(same_host(address_of("2001:db8::1", 1), address_of("2001:db8::1:0", 1)));
    EXPECT_FALSE(same_host(v4, address_of("::192.0.2.7", 1)));
    // Nothing, or an address cut short, names no host, not even the same one.
    kelbos::SocketAddress none;
    EXPECT_FALSE(same_host(none, none));
    auto cut = v4;
    cut.length = 4;
    EXPECT_FALSE(same_host(cut, v4));
    const auto v6 = address_of("2001:db8:0:1::1", 1);  // a host's share: one IPv6 /64 is one host
    EXPECT_TRUE(same_share_host(v6, address_of("2001:db8:0:1:f::2", 1)));
    EXPECT_FALSE(same_share_host(v6, address_of("2001:db8:0:2::1", 1)));
    EXPECT_EQ(kelbos::ipv4_of(address_of("::ffff:192.0.2.7", 1))->s_addr, inet_addr("192.0.2.7"));
    EXPECT_FALSE(kelbos::ipv4_of(address_of("2001:db8::1", 1)));
}

TEST(Net, AllowListsAndMetricsEndpointsTakeWhatTheyNameAndRefuseWhatDoesNotRead) {
    const auto list = parse_address_list("127.0.0.1, 10.0.0.0/8,::1,[2001:db8::]/32,::ffff:192.0.2.0/120");
    for (const char* in : {"::ffff:127.0.0.1", "10.255.0.9", "::1", "2001:db8:ffff::7", "192.0.2.99"})
        EXPECT_TRUE(list && list_holds(*list, address_of(in, 1))) << in;
    for (const char* out : {"127.0.0.2", "11.0.0.1", "::2", "2001:db9::", "192.0.3.1", "::ffff:0b00:1"})
        EXPECT_FALSE(list_holds(*list, address_of(out, 1))) << out;
    EXPECT_FALSE(list_holds(*parse_address_list("::/0"), address_of("::ffff:10.0.0.1", 1)));  // IPv6 only
    const auto b12 = parse_address_list("172.16.0.0/12");  // not on a byte boundary
    EXPECT_TRUE(list_holds(*b12, address_of("172.24.0.1", 1)));
    EXPECT_FALSE(list_holds(*b12, address_of("172.32.0.1", 1)));
    for (const char* bad : {"", "10.0.0.0/33", "::1/129", "10.0.0.0/", "localhost", "1.2.3.4,", "10.1.0.0/15",
                            "::1/127", "::ffff:0:0/95"})
        EXPECT_FALSE(parse_address_list(bad)) << bad;
    // A metrics endpoint: a port alone, an address and port, or an IPv6 address in brackets.
    std::string endpoints;  // of those taken, in order
    for (const char* text : {"9464", "127.0.0.1:1", "[::1]:9464", "[::]:65535", "0", "65536", "[::1]",
                             "[]:9464", "[::1]:", "[::1]:0", ":9464", "::1"})
        if (const auto e = parse_metrics_endpoint(text))
            endpoints += e->address + " " + std::to_string(e->port) + ",";
    EXPECT_EQ(endpoints, " 9464,127.0.0.1 1,::1 9464,:: 65535,");
    // Both options read together: the endpoint's complaint before the list's.
    using Texts = std::optional<std::string>;
    for (const auto& [endpoint, allow, complaint] :
         {std::tuple{Texts(), Texts(), ""}, {"[::1]:9464", "::1,10.0.0.0/8", ""},
          {"::1", "10.0.0.0/33", "metrics must be [ADDRESS:]PORT with a port of 1 to 65535"},
          {"9464", "10.1.2.3/8", "metrics-allow entry 10.1.2.3/8 has host bits set beyond its /8"}}) {
        std::string error;
        const auto read = read_metrics_options(endpoint, allow, error);
        EXPECT_EQ(error, complaint);
        EXPECT_EQ(read && read->endpoint.has_value() == endpoint.has_value() &&
                      read->allow.size() == (allow ? 2u : 0u),
                  error.empty());
    }
}

// A name's first address that never answers (a listener whose queue is full drops new
// attempts) gets its share of the bound, not all of it, leaving time for the next one.
TEST(Net, ConnectorLeavesTheNextAddressItsShareOfTheBound) {
    Socket full = make_socket(SOCK_STREAM), open = make_socket(SOCK_STREAM),
           queued = make_socket(SOCK_STREAM);
    const SocketAddress any = address_of("127.0.0.1", 0);
    for (const Socket* s : {&full, &open})
        ASSERT_TRUE(::bind(s->fd(), any.get(), any.length) == 0 && ::listen(s->fd(), s == &open) == 0);
    const SocketAddress silent = local_address(full.fd()), answering = local_address(open.fd());
    ASSERT_EQ(::connect(queued.fd(), silent.get(), silent.length), 0);
    StreamConnector connector;
    ASSERT_EQ(connector.start({silent, answering}, 1000ms, nullptr), StreamConnector::State::waiting);
    EXPECT_LE(connector.share(), 500ms);
    ASSERT_EQ(connector.timed_out(), StreamConnector::State::connected);  // the silent one's share ran out
    EXPECT_EQ(port_of(connector.address()), port_of(answering));
}
