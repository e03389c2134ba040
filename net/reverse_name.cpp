// SPDX-License-Identifier: Apache-2.0
#include "net/reverse_name.h"

#include <netdb.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace kelbos {

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

std::string reverse_name(const SocketAddress& peer, std::chrono::milliseconds budget) {
    // An IPv4 peer that reached an IPv6 socket is looked up as the IPv4 address it is.
    SocketAddress address = peer;
    if (const auto v4 = ipv4_of(peer)) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr = *v4;
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

}  // namespace kelbos
