// SPDX-License-Identifier: Apache-2.0
#include "net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

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
    const sockaddr_in any = any_address(port);
    std::memcpy(&w.any.storage, &any, sizeof any);
    w.any.length = sizeof any;
    return w;
}

namespace {
// getaddrinfo's answer for a host name as addresses with `port`, in the resolver's
// order and without repeats; nullopt when the name does not resolve.
std::optional<std::vector<SocketAddress>> lookup_host(const std::string& host, std::uint16_t port,
                                                      int flags) {
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* result = nullptr;
    if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0) return std::nullopt;
    std::vector<SocketAddress> addresses;
    for (const addrinfo* ai = result; ai; ai = ai->ai_next) {
        if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) || !ai->ai_addr ||
            ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        SocketAddress a;
        std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
        a.length = ai->ai_addrlen;
        a = with_port(a, port);
        bool seen = false;
        for (const SocketAddress& b : addresses)
            seen = seen || (b.length == a.length && std::memcmp(&a.storage, &b.storage, a.length) == 0);
        if (!seen) addresses.push_back(a);
    }
    ::freeaddrinfo(result);
    return addresses;
}
}  // namespace

std::vector<SocketAddress> resolve_host(const std::string& host, std::uint16_t port) {
    return lookup_host(host, port, 0).value_or(std::vector<SocketAddress>{});
}

// Shared by the object and its helper thread. The thread tells that it is done by
// closing its end of a pipe, the object watching the other: no descriptor of the
// lookup is left open once the object has seen it done and let go.
struct HostLookup::State {
    mutable std::mutex mutex;
    bool done = false;
    std::vector<SocketAddress> addresses;
    Socket done_end;  // the object's end of the pipe: readable (end of file) once done
};

HostLookup::HostLookup(const std::string& host, std::uint16_t port) : state_(std::make_shared<State>()) {
    auto literal = lookup_host(host, port, AI_NUMERICHOST);
    if (literal || host.empty()) {
        state_->addresses = literal.value_or(std::vector<SocketAddress>{});
        state_->done = true;
        return;
    }
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        state_->done_end = Socket(ends[0]);
        Socket thread_end(ends[1]);
        try {
            std::thread([state = state_, host, port, thread_end = std::move(thread_end)]() mutable {
                std::vector<SocketAddress> found = resolve_host(host, port);
                {
                    std::lock_guard lock(state->mutex);
                    state->addresses = std::move(found);
                    state->done = true;
                }
                thread_end.reset();
            }).detach();
            return;
        } catch (const std::system_error&) {
        }
    }
    // No descriptor or no thread to be had: the lookup runs in place.
    state_->done_end.reset();
    state_->addresses = resolve_host(host, port);
    state_->done = true;
}

HostLookup::~HostLookup() = default;

bool HostLookup::done() const {
    std::lock_guard lock(state_->mutex);
    return state_->done;
}

int HostLookup::fd() const {
    return state_->done_end.fd();
}

std::vector<SocketAddress> HostLookup::take() {
    std::lock_guard lock(state_->mutex);
    return std::move(state_->addresses);
}

int pending_error(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

StreamConnector::State StreamConnector::start(std::vector<SocketAddress> addresses,
                                              std::chrono::milliseconds bound, Prepare prepare) {
    cancel();
    addresses_ = std::move(addresses);
    index_ = 0;
    prepare_ = std::move(prepare);
    error_ = 0;
    deadline_ = std::chrono::steady_clock::now() + bound;
    return next();
}

StreamConnector::State StreamConnector::next() {
    for (; index_ < addresses_.size(); ++index_) {
        const SocketAddress& address = addresses_[index_];
        Socket candidate = make_socket(SOCK_STREAM, address.family());
        if (!candidate && errno == EAFNOSUPPORT) continue;
        if (!candidate) return stop(errno);
        if (const int error = prepare_ ? prepare_(address, candidate) : 0; error != 0) return stop(error);
        if (!set_nonblocking(candidate.fd())) return stop(errno);
        const auto now = std::chrono::steady_clock::now();
        const auto left = std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now),
                                   std::chrono::milliseconds(0));
        share_end_ = now + left / static_cast<int>(addresses_.size() - index_);
        socket_ = std::move(candidate);
        if (::connect(socket_.fd(), address.get(), address.length) == 0) return state_ = State::connected;
        if (errno != EINPROGRESS) {
            error_ = errno;
            socket_.reset();
            continue;
        }
        // One that is settled already (on this host) or has no time left is not waited for.
        if (wait_writable(socket_.fd(), std::chrono::milliseconds(0)) != WaitResult::timeout) {
            if (settle() == State::connected) return state_;
            continue;
        }
        if (share_end_ <= now) {
            error_ = ETIMEDOUT;
            socket_.reset();
            continue;
        }
        return state_ = State::waiting;
    }
    return state_ = State::failed;
}

StreamConnector::State StreamConnector::settle() {
    error_ = pending_error(socket_.fd());
    if (error_ == 0) return state_ = State::connected;
    socket_.reset();
    return state_;
}

StreamConnector::State StreamConnector::writable() {
    if (state_ != State::waiting) return state_;
    const WaitResult ready = wait_writable(socket_.fd(), std::chrono::milliseconds(0));
    if (ready == WaitResult::timeout) return state_;  // not yet after all
    if (ready == WaitResult::error) {
        error_ = errno;
        socket_.reset();
    } else if (settle() == State::connected) {
        return state_;
    }
    ++index_;
    return next();
}

StreamConnector::State StreamConnector::timed_out() {
    if (state_ != State::waiting) return state_;
    error_ = ETIMEDOUT;
    socket_.reset();
    ++index_;
    return next();
}

void StreamConnector::cancel() {
    socket_.reset();
    state_ = State::idle;
}

std::chrono::milliseconds StreamConnector::share() const {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(share_end_ - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(1));
}

Socket StreamConnector::take_socket() {
    state_ = State::idle;
    return std::move(socket_);
}

StreamConnector::State StreamConnector::stop(int error) {
    error_ = error;
    socket_.reset();
    return state_ = State::stopped;
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

SocketAddress local_address(int fd) {
    SocketAddress a;
    if (::getsockname(fd, a.get(), &a.length) != 0) a = SocketAddress{};
    return a;
}

bool set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool set_int_option(int fd, int level, int option, int value) {
    return ::setsockopt(fd, level, option, &value, sizeof value) == 0;
}

bool set_send_buffer(int fd, int bytes) { return set_int_option(fd, SOL_SOCKET, SO_SNDBUF, bytes); }

bool set_receive_buffer(int fd, int bytes) { return set_int_option(fd, SOL_SOCKET, SO_RCVBUF, bytes); }

int int_option(int fd, int level, int option) {
    int value = 0;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, option, &value, &length) == 0 ? value : -1;
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

void shutdown_and_close(Socket& socket) {
    if (!socket) return;
    ::shutdown(socket.fd(), SHUT_RDWR);
    socket.reset();
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

std::optional<in_addr> resolve_ipv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return std::nullopt;
    std::optional<in_addr> address;
    for (const addrinfo* ai = result; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr) {
            address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
            break;
        }
    }
    ::freeaddrinfo(result);
    return address;
}

sockaddr_in make_address(in_addr address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr = address;
    return a;
}

sockaddr_in any_address(std::uint16_t port) {
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    return make_address(any, port);
}

std::string dotted_decimal(in_addr address) {
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, buf, sizeof buf);
    return buf;
}

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
}  // namespace

bool same_host(const SocketAddress& a, const SocketAddress& b) {
    const HostBytes x = host_bytes(a);
    const HostBytes y = host_bytes(b);
    return x.size != 0 && x.size == y.size && std::memcmp(x.data, y.data, x.size) == 0;
}

std::optional<in_addr> ipv4_of(const SocketAddress& address) {
    const HostBytes bytes = host_bytes(address);
    if (bytes.size != 4) return std::nullopt;
    in_addr a{};
    std::memcpy(&a, bytes.data, 4);
    return a;
}

namespace {
// Lookups still running after their caller gave up. Past this many, new peers are
// named by address at once instead of starting yet another thread.
constexpr int MAX_LOOKUPS_IN_FLIGHT = 16;
std::atomic<int> lookups_in_flight{0};

struct LookupState {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    std::string name;
};
}  // namespace

std::string address_text(const SocketAddress& address) {
    if (const auto v4 = ipv4_of(address)) return dotted_decimal(*v4);
    char buf[INET6_ADDRSTRLEN] = {};
    if (address.family() == AF_INET6 && address.length >= sizeof(sockaddr_in6))
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_addr, buf,
                    sizeof buf);
    return buf;
}

std::string reverse_name(in_addr address, std::chrono::milliseconds budget) {
    SocketAddress a;
    const sockaddr_in in = make_address(address, 0);
    std::memcpy(&a.storage, &in, sizeof in);
    a.length = sizeof in;
    return reverse_name(a, budget);
}

std::string reverse_name(const SocketAddress& peer, std::chrono::milliseconds budget) {
    // An IPv4 peer that reached an IPv6 socket is looked up as the IPv4 address it is.
    SocketAddress address = peer;
    if (const auto v4 = ipv4_of(peer)) {
        const sockaddr_in in = make_address(*v4, 0);
        address = SocketAddress{};
        std::memcpy(&address.storage, &in, sizeof in);
        address.length = sizeof in;
    } else if (address.family() != AF_INET6 || address.length < sizeof(sockaddr_in6)) {
        return "unknown";
    }
    const std::string dotted = address_text(address);
    if (lookups_in_flight.fetch_add(1) >= MAX_LOOKUPS_IN_FLIGHT) {
        lookups_in_flight.fetch_sub(1);
        return dotted;
    }
    auto state = std::make_shared<LookupState>();
    try {
        std::thread([state, address] {
            char host[NI_MAXHOST] = {};
            const int rc =
                ::getnameinfo(address.get(), address.length, host, sizeof host, nullptr, 0, NI_NAMEREQD);
            {
                std::lock_guard lock(state->mutex);
                if (rc == 0) state->name = host;
                state->done = true;
            }
            state->done_cv.notify_all();
            lookups_in_flight.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        lookups_in_flight.fetch_sub(1);
        return dotted;
    }
    std::unique_lock lock(state->mutex);
    if (state->done_cv.wait_for(lock, budget, [&] { return state->done; }) && !state->name.empty())
        return state->name;
    return dotted;
}

void perror_diag(const char* text) {
    const std::string err = std::strerror(errno);
    std::fprintf(stderr, "%s: %s\n", text, err.c_str());
    std::fflush(stderr);
}

int count_open_fds() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int n = 0;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') ++n;
    ::closedir(dir);
    return n - 1;  // the directory stream's own descriptor
}

}  // namespace kelbos
