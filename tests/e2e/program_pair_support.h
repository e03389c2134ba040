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
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "netns.h"

namespace kelbos::pairtest {

using namespace std::chrono_literals;
using kelbos::testing::ChildProcess;

// The programs use the well-known ports: each test runs in a network namespace of
// its own, and is skipped where none can be made.
#define ENTER_PRIVATE_NETWORK_OR_SKIP()                                                        \
    do {                                                                                       \
        const std::string why = kelbos::testing::enter_private_network();                      \
        if (!why.empty()) GTEST_SKIP() << "needs a private network namespace (root): " << why; \
    } while (0)

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

// Whether a TCP socket of this process's network namespace listens on `port`, read
// from the kernel's table rather than by connecting, which a receiver would count
// as a link being set up.
inline bool tcp_listening(std::uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port));
    std::string line;
    std::getline(table, line);  // the titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local.ends_with(wanted) && state == "0A") return true;  // 0A: LISTEN
    }
    return false;
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
