// SPDX-License-Identifier: Apache-2.0
#include "net/resolve.h"

#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace kelbos {

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

}  // namespace kelbos
