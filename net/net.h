// SPDX-License-Identifier: Apache-2.0
// Socket helpers: sockets that close themselves, options, bounded waits, the one
// resolver and the one address type of both programs (IPv6 and IPv4 alike), name
// lookups and the perror-form diagnostics. Nothing outside this file calls
// getaddrinfo or chooses an address family.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelbos {

// An owned file descriptor; closes itself. Move-only.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { reset(); }
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A new socket of the given type (SOCK_STREAM or SOCK_DGRAM) and family, close-on-exec.
// Invalid on failure, errno set.
Socket make_socket(int type, int family = AF_INET);

bool set_nonblocking(int fd);
bool set_int_option(int fd, int level, int option, int value);
bool set_send_buffer(int fd, int bytes);
bool set_receive_buffer(int fd, int bytes);
// An int socket option as the system reports it; -1 when it cannot be read.
int int_option(int fd, int level, int option);

// The system's ceiling for SO_RCVBUF without privilege (net.core.rmem_max); 0 when
// unknown.
int system_receive_buffer_max();
// Gives a datagram socket as large a receive buffer as the system allows, and never a
// request below `at_least`: `wanted` by SO_RCVBUFFORCE where the process may exceed the
// ceiling, otherwise SO_RCVBUF up to the ceiling. Returns the size the system reports
// afterwards (Linux reports twice the request, for its own bookkeeping), or -1 when
// no size could be set.
int set_large_receive_buffer(int fd, int wanted, int at_least);

// A link connection's watch over a peer that vanishes without a word (host switched
// off, cable pulled): after KEEPALIVE_IDLE without a segment from the peer, a probe
// every KEEPALIVE_INTERVAL, and KEEPALIVE_PROBES unanswered in a row fail the
// connection with ETIMEDOUT, at most 50 s after the peer fell silent. The peer's
// system answers the probes whatever its program does, so a live peer is never cut.
inline constexpr std::chrono::seconds KEEPALIVE_IDLE{25};
inline constexpr std::chrono::seconds KEEPALIVE_INTERVAL{5};
inline constexpr int KEEPALIVE_PROBES = 5;
bool set_keepalive(int fd);

// The probes above run only while nothing is owed an answer. With data sent and not
// acknowledged, or two window probes in a row unanswered, a live peer answers within
// a round trip even with its window shut; silence this long means it is gone.
inline constexpr std::chrono::milliseconds PEER_SILENCE_LIMIT{45000};
// True when the peer of a TCP connection owes an answer and has sent none for
// `limit`.
bool peer_unanswering(int fd, std::chrono::milliseconds limit = PEER_SILENCE_LIMIT);

// shutdown(SHUT_RDWR) then close: the receiver's way of ending a link socket.
void shutdown_and_close(Socket& socket);

enum class WaitResult { ready, timeout, error };
// Waits for readability (or end of stream / error, which make a read return at once).
WaitResult wait_readable(int fd, std::chrono::milliseconds limit);
WaitResult wait_writable(int fd, std::chrono::milliseconds limit);

// The first IPv4 address of a host name, or nullopt.
std::optional<in_addr> resolve_ipv4(const std::string& host);

sockaddr_in make_address(in_addr address, std::uint16_t port);
sockaddr_in any_address(std::uint16_t port);

std::string dotted_decimal(in_addr address);

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

// The IPv4 address of an AF_INET address, or of an IPv4-mapped IPv6 one.
std::optional<in_addr> ipv4_of(const SocketAddress& address);

// A socket for every address of this host: one dual-stack IPv6 socket that takes IPv4
// as well, or an IPv4 one where the system has no IPv6. `any` is its wildcard address
// with `port`, to bind to. Invalid on failure, errno set.
struct WildcardSocket {
    Socket socket;
    SocketAddress any;
};
WildcardSocket make_wildcard_socket(int type, std::uint16_t port);

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

// Connects a non-blocking stream socket to the first of a host's addresses that
// answers, and never waits itself: while it is `waiting`, its caller watches
// waiting_fd() for writability for at most share() and then calls writable() or
// timed_out(). Each address gets an equal share of what is left of the whole bound, so
// one that never answers leaves time for the next; one that fails at once (refused,
// unreachable) hands on at once; one of a family this system lacks is passed over.
class StreamConnector {
public:
    // Sets up each new socket before its connect: 0, or an error number that ends the
    // whole attempt (`stopped`).
    using Prepare = std::function<int(const SocketAddress& address, const Socket& socket)>;
    enum class State { idle, waiting, connected, failed, stopped };

    StreamConnector() = default;
    StreamConnector(const StreamConnector&) = delete;
    StreamConnector& operator=(const StreamConnector&) = delete;

    State start(std::vector<SocketAddress> addresses, std::chrono::milliseconds bound, Prepare prepare);
    // waiting_fd() was reported writable (or in error).
    State writable();
    // The current address's share ran out.
    State timed_out();
    // Gives up: closes the socket being connected.
    void cancel();

    State state() const { return state_; }
    int waiting_fd() const { return state_ == State::waiting ? socket_.fd() : -1; }
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
    State next();
    // The connect of the current socket is over: connected, or on to the next address.
    State settle();
    State stop(int error);

    std::vector<SocketAddress> addresses_;
    std::size_t index_ = 0;
    Prepare prepare_;
    std::chrono::steady_clock::time_point deadline_{};
    std::chrono::steady_clock::time_point share_end_{};
    Socket socket_;
    int error_ = 0;
    State state_ = State::idle;
};

// The pending error of a socket (SO_ERROR; 0 when none).
int pending_error(int fd);

// The port of an IPv4 or IPv6 address (0 for others); the same address on another port.
std::uint16_t port_of(const SocketAddress& address);
SocketAddress with_port(SocketAddress address, std::uint16_t port);

// The address of a socket's own end (getsockname).
SocketAddress local_address(int fd);

// The host of an address in its usual text: a dotted quad for IPv4, also when it
// reaches an IPv6 socket mapped into IPv6; the compressed form for other IPv6.
std::string address_text(const SocketAddress& address);

// The host name of a peer address by reverse lookup, if the lookup answers within
// `budget`; otherwise address_text. "unknown" for an address of neither family.
std::string reverse_name(const SocketAddress& address, std::chrono::milliseconds budget);

// The host name of a peer address by reverse lookup, if the lookup answers within
// `budget`; otherwise the address in dotted decimal. The lookup itself runs on a
// short-lived helper thread so the caller never waits longer than the budget.
std::string reverse_name(in_addr address, std::chrono::milliseconds budget);

// "text: <error text of errno>\n" on standard error.
void perror_diag(const char* text);

// Number of open file descriptors of this process (for leak checks).
int count_open_fds();

}  // namespace kelbos
