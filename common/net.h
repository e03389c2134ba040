// Socket helpers: IPv4 sockets that close themselves, options, bounded waits, name
// lookups and the perror-form diagnostics.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
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

// A new AF_INET socket of the given type (SOCK_STREAM or SOCK_DGRAM), close-on-exec.
// Invalid on failure, errno set.
Socket make_socket(int type);

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

// The host name of a peer address by reverse lookup, if the lookup answers within
// `budget`; otherwise the address in dotted decimal. The lookup itself runs on a
// short-lived helper thread so the caller never waits longer than the budget.
std::string reverse_name(in_addr address, std::chrono::milliseconds budget);

// "text: <error text of errno>\n" on standard error.
void perror_diag(const char* text);

// Number of open file descriptors of this process (for leak checks).
int count_open_fds();

}  // namespace kelbos
