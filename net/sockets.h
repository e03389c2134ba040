// SPDX-License-Identifier: Apache-2.0
// Sockets that close themselves, their options, the watch over a silent peer, bounded
// waits and the perror-form report of a failed call.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <string>

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
    explicit operator bool() const { return fd_ >= 0; }
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
// Marks what a socket of `family` sends with a DSCP value (the IPv4 TOS or IPv6
// traffic class byte, its two low bits left 0).
bool set_dscp(int fd, int family, int dscp);
// TCP_CONGESTION: the congestion control algorithm `name` on a TCP socket.
bool set_congestion(int fd, const std::string& name);
// The congestion control algorithms this process may choose, as the system lists
// them, separated by spaces.
std::string allowed_congestion();
// An int socket option as the system reports it; -1 when it cannot be read.
int int_option(int fd, int level, int option);
// The pending error of a socket (SO_ERROR; 0 when none).
int pending_error(int fd);

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

enum class WaitResult { ready, timeout, error };
// Waits for readability (or end of stream / error, which make a read return at once).
WaitResult wait_readable(int fd, std::chrono::milliseconds limit);
WaitResult wait_writable(int fd, std::chrono::milliseconds limit);

// "text: <error text of errno>\n" on standard error.
void perror_diag(const char* text);

}  // namespace kelbos
