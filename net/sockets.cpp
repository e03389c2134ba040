// SPDX-License-Identifier: Apache-2.0
#include "net/sockets.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace kelbos {

void Socket::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        const int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

Socket make_socket(int type, int family) {
    return Socket(::socket(family, type | SOCK_CLOEXEC, 0));
}

bool set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool set_int_option(int fd, int level, int option, int value) {
    return ::setsockopt(fd, level, option, &value, sizeof value) == 0;
}

bool set_dscp(int fd, int family, int dscp) {
    if (family == AF_INET6) return set_int_option(fd, IPPROTO_IPV6, IPV6_TCLASS, dscp << 2);
    return set_int_option(fd, IPPROTO_IP, IP_TOS, dscp << 2);
}

bool set_congestion(int fd, const std::string& name) {
    return ::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name.data(), static_cast<socklen_t>(name.size())) ==
           0;
}

std::string allowed_congestion() {
    // Privileged processes may choose any the system has; others the allowed ones.
    const char* list = ::geteuid() == 0 ? "/proc/sys/net/ipv4/tcp_available_congestion_control"
                                        : "/proc/sys/net/ipv4/tcp_allowed_congestion_control";
    std::string names;
    if (std::FILE* f = std::fopen(list, "r")) {
        char line[256] = {};
        if (std::fgets(line, sizeof line, f)) names = line;
        std::fclose(f);
    }
    while (!names.empty() && (names.back() == '\n' || names.back() == ' ')) names.pop_back();
    return names;
}

bool set_send_buffer(int fd, int bytes) { return set_int_option(fd, SOL_SOCKET, SO_SNDBUF, bytes); }

bool set_receive_buffer(int fd, int bytes) { return set_int_option(fd, SOL_SOCKET, SO_RCVBUF, bytes); }

int int_option(int fd, int level, int option) {
    int value = 0;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, option, &value, &length) == 0 ? value : -1;
}

int pending_error(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

int system_receive_buffer_max() {
    std::FILE* f = std::fopen("/proc/sys/net/core/rmem_max", "r");
    if (!f) return 0;
    long value = 0;
    if (std::fscanf(f, "%ld", &value) != 1 || value < 0) value = 0;
    std::fclose(f);
    return static_cast<int>(std::min<long>(value, std::numeric_limits<int>::max() / 2));
}

int set_large_receive_buffer(int fd, int wanted, int at_least) {
    const int ceiling = system_receive_buffer_max();
    const int request = std::max({wanted, ceiling, at_least});
    if (!set_int_option(fd, SOL_SOCKET, SO_RCVBUFFORCE, request)) {
        // Without the privilege the system caps the request at its ceiling itself (also
        // where the ceiling cannot be read, as in a service that sees no /proc/sys).
        if (!set_receive_buffer(fd, request)) return -1;
    }
    return int_option(fd, SOL_SOCKET, SO_RCVBUF);
}

bool set_keepalive(int fd) {
    return set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
           set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(KEEPALIVE_IDLE.count())) &&
           set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(KEEPALIVE_INTERVAL.count())) &&
           set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_PROBES);
}

bool peer_unanswering(int fd, std::chrono::milliseconds limit) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    // Every acknowledgement, window probes' included, resets the probe count and the
    // time since the last one.
    const bool owed = info.tcpi_unacked > 0 || info.tcpi_probes >= 2;
    return owed && info.tcpi_last_ack_recv >= static_cast<std::uint64_t>(limit.count());
}

namespace {
WaitResult wait_for(int fd, short events, std::chrono::milliseconds limit) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + limit;
    for (;;) {
        // Rounded up: poll counts whole milliseconds, and a wait must not end before
        // its bound (a 1 ms bound would otherwise not wait at all).
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n > 0) return (p.revents & POLLNVAL) ? WaitResult::error : WaitResult::ready;
        if (n == 0) return WaitResult::timeout;
        if (errno != EINTR) return WaitResult::error;
    }
}
}  // namespace

WaitResult wait_readable(int fd, std::chrono::milliseconds limit) { return wait_for(fd, POLLIN, limit); }

WaitResult wait_writable(int fd, std::chrono::milliseconds limit) { return wait_for(fd, POLLOUT, limit); }

void perror_diag(const char* text) {
    const std::string err = std::strerror(errno);
    std::fprintf(stderr, "%s: %s\n", text, err.c_str());
    std::fflush(stderr);
}

}  // namespace kelbos
