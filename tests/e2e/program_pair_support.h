// SPDX-License-Identifier: Apache-2.0
// Pieces of the tests that run the real programs: starting them, listening ports, open
// descriptors.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "core/protocol.h"
#include "net/resolve.h"
#include "net/sockets.h"
#include "netns.h"
#include "program_output.h"

namespace kelbos::pairtest {

using namespace std::chrono_literals;
using kelbos::testing::build_dir;
using kelbos::testing::bytes_of;
using kelbos::testing::ChildProcess;
using kelbos::testing::json_events;
using kelbos::testing::JsonEventLog;
using kelbos::testing::of_kind;
using kelbos::testing::receiver_binary;
using kelbos::testing::transmitter_binary;

// The accept queue of this namespace's TCP listener on `port`, nullopt when none listens;
// read from the kernel's table, as a connect would count as a link being set up.
inline std::optional<int> listen_queue(std::uint16_t port) {
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port));
    // IPv4 listeners, and IPv6 ones (which take IPv4 as well).
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream table(path);
        std::string line;
        std::getline(table, line);  // the titles
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            // 0A: LISTEN, whose rx_queue is the accept queue.
            if (local.ends_with(wanted) && state == "0A")
                return static_cast<int>(std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16));
        }
    }
    return std::nullopt;
}

inline bool tcp_listening(std::uint16_t port) {
    return listen_queue(port).has_value();
}

// The numbers of a running process's open file descriptors.
inline std::set<int> open_fds(pid_t pid) {
    std::set<int> fds;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        fds.insert(std::atoi(entry.path().filename().c_str()));
    return fds;
}

// Number of open file descriptors of a process; -1 when they cannot be listed.
inline int open_fd_count(pid_t pid) {
    const std::set<int> fds = open_fds(pid);
    return fds.empty() ? -1 : static_cast<int>(fds.size());
}

// The one "halted" end line of a transmitter that exited with status 0 within `limit`;
// an empty object after a failure.
inline QJsonObject halted_end(ChildProcess& tx, std::chrono::milliseconds limit = 60s) {
    EXPECT_EQ(tx.wait_exit(limit), 0) << tx.err();
    const std::vector<QJsonObject> ends = of_kind(json_events(tx), "end");
    EXPECT_EQ(ends.size(), 1u) << tx.out();
    if (ends.size() != 1) return {};
    EXPECT_EQ(ends[0]["how"].toString(), "halted");
    return ends[0];
}

// A receiver's first link_end for `conn_id`, a normal end, once written (it may follow
// the ShutdownAck); an empty object when none came within `limit`.
inline QJsonObject normal_link_end(ChildProcess& rx, int conn_id, std::chrono::milliseconds limit = 10s) {
    const auto ends = [&] { return of_kind(json_events(rx), "link_end", conn_id); };
    EXPECT_TRUE(rx.wait_for([&] { return !ends().empty(); }, limit)) << rx.out();
    if (ends().empty()) return {};
    EXPECT_EQ(ends()[0]["reason"].toInt(), REASON_NORMAL);
    return ends()[0];
}

// Ends a program with SIGTERM: status 0, and its one exit line (an empty object if not one).
inline QJsonObject stop_program(ChildProcess& p, std::chrono::milliseconds limit = 30s) {
    p.send_signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(limit), 0) << p.err();
    const std::vector<QJsonObject> exits = of_kind(json_events(p), "exit");
    EXPECT_EQ(exits.size(), 1u) << p.out();
    return exits.size() == 1 ? exits[0] : QJsonObject{};
}

// A headless receiver with JSON lines, listening and ticking: from now on it holds an
// idle receiver's descriptors.
inline std::unique_ptr<ChildProcess> start_receiver(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--headless", "--json", "--time", "300"});
    auto rx = std::make_unique<ChildProcess>(receiver_binary(), args, KELBOS_SCENES_DIR);
    EXPECT_TRUE(rx->wait_for(
        [&] {
            return tcp_listening(STREAM_PORT) && tcp_listening(CONTROL_PORT) &&
                   !of_kind(json_events(*rx), "tick", 0).empty();
        },
        20s))
        << rx->err();
    return rx;
}

// A headless transmitter with JSON lines that goes at once, with `args`.
inline std::unique_ptr<ChildProcess> start_transmitter(std::vector<std::string> args) {
    args.insert(args.begin(), {"--headless", "--json", "--go"});
    return std::make_unique<ChildProcess>(transmitter_binary(), args, KELBOS_SCENES_DIR);
}

// A blocking TCP connection or connected datagram socket from `source` to a loopback
// port: 127.0.0.1, or ::1 from an IPv6 source.
inline Socket socket_from(int type, const char* source, std::uint16_t port) {
    const SocketAddress from = resolve_host(source, 0).at(0);
    const int family = from.family();
    Socket s = make_socket(type, family);
    const SocketAddress to = resolve_host(family == AF_INET6 ? "::1" : "127.0.0.1", port).at(0);
    if (s && (::bind(s.fd(), from.get(), from.length) != 0 || ::connect(s.fd(), to.get(), to.length) != 0))
        s.reset();
    return s;
}
inline Socket connect_to(std::uint16_t port, const char* source = "127.0.0.1") {
    return socket_from(SOCK_STREAM, source, port);
}

// A listener, or a bound datagram socket, on a port of every interface.
inline Socket listen_on(std::uint16_t port, int type = SOCK_STREAM) {
    Socket s = make_socket(type);
    const SocketAddress a = resolve_host("0.0.0.0", port).at(0);
    if (!s || ::bind(s.fd(), a.get(), a.length) != 0) return Socket();
    if (type == SOCK_STREAM && ::listen(s.fd(), LISTEN_BACKLOG) != 0) return Socket();
    return s;
}

}  // namespace kelbos::pairtest
