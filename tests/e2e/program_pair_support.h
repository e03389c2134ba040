// SPDX-License-Identifier: Apache-2.0
// Pieces of the tests that run the real programs: their paths, their JSON lines, and
// whether a port of this test's network namespace listens yet.
#pragma once

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "netns.h"

namespace kelbos::pairtest {

using namespace std::chrono_literals;
using kelbos::testing::ChildProcess;

// The build under test, from the environment CMake sets for these tests.
inline std::string build_dir() {
    return kelbos::testing::program_path("KELBOS_BUILD_DIR");
}
inline std::string transmitter_binary() {
    return build_dir() + "/transmitter/kelbostx";
}
inline std::string receiver_binary() {
    return build_dir() + "/receiver/kelbosrx";
}

// The JSON objects among a program's lines of standard output so far.
inline std::vector<QJsonObject> json_events(const ChildProcess& child) {
    std::vector<QJsonObject> events;
    for (const std::string& line : child.out_lines()) {
        if (line.empty() || line[0] != '{') continue;
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
        EXPECT_TRUE(doc.isObject()) << line;
        events.push_back(doc.object());
    }
    return events;
}

// The events of one kind; with a `conn_id`, only those of that link.
inline std::vector<QJsonObject> of_kind(const std::vector<QJsonObject>& events, const QString& kind,
                                        int conn_id = -1) {
    std::vector<QJsonObject> out;
    for (const QJsonObject& e : events)
        if (e["event"].toString() == kind && (conn_id < 0 || e["conn_id"].toInt() == conn_id))
            out.push_back(e);
    return out;
}

inline std::uint64_t bytes_of(const QJsonObject& event) {
    return static_cast<std::uint64_t>(event["bytes"].toInteger());
}

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

// The JSON objects of a program's standard output, each line parsed once as it comes:
// for long runs that look at the events again and again. The other lines are kept
// apart.
class JsonEventLog {
public:
    explicit JsonEventLog(const ChildProcess& child) : child_(child) {}

    // The events of the complete lines read so far.
    const std::vector<QJsonObject>& events() {
        const std::string& out = child_.out();
        for (std::size_t end; (end = out.find('\n', parsed_)) != std::string::npos; parsed_ = end + 1) {
            const std::string_view line(out.data() + parsed_, end - parsed_);
            if (line.empty() || line[0] != '{') {
                other_lines_.emplace_back(line);
                continue;
            }
            const QJsonDocument doc =
                QJsonDocument::fromJson(QByteArray(line.data(), static_cast<qsizetype>(line.size())));
            EXPECT_TRUE(doc.isObject()) << line;
            events_.push_back(doc.object());
        }
        return events_;
    }
    const std::vector<std::string>& other_lines() {
        events();
        return other_lines_;
    }

private:
    const ChildProcess& child_;
    std::size_t parsed_ = 0;
    std::vector<QJsonObject> events_;
    std::vector<std::string> other_lines_;
};

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
