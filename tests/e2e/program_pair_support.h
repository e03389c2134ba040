// SPDX-License-Identifier: Apache-2.0
// Pieces of the tests that run the real programs: whether a port of this test's
// network namespace listens yet, and their open descriptors.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
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

// The number of connections waiting in the accept queue of the TCP socket of this
// process's network namespace that listens on `port`; nullopt when none listens. Read
// from the kernel's table rather than by connecting, which a receiver would count as
// a link being set up.
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

// Number of open file descriptors of a process; -1 when they cannot be listed.
inline int open_fd_count(pid_t pid) {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error))
        ++count;
    return error ? -1 : count;
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

}  // namespace kelbos::pairtest
