#include "net.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
    auto addr = resolve_ipv4("127.0.0.1");
    ASSERT_TRUE(addr);
    EXPECT_EQ(dotted_decimal(*addr), "127.0.0.1");
    EXPECT_FALSE(resolve_ipv4("no-such-host.invalid"));
    const auto a = make_address(*addr, 54276);
    EXPECT_EQ(ntohs(a.sin_port), 54276);

    // A lookup given no time at all falls back to dotted decimal.
    in_addr unroutable{};
    ::inet_pton(AF_INET, "192.0.2.1", &unroutable);
    EXPECT_EQ(reverse_name(unroutable, 0ms), "192.0.2.1");
}
