// SPDX-License-Identifier: Apache-2.0
// The built programs a test runs, and the JSON lines they write.
#pragma once

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace kelbos::testing {

// The build under test, from the environment CMake sets for these tests.
inline std::string build_dir() {
    return program_path("KELBOS_BUILD_DIR");
}
inline std::string transmitter_binary() {
    return build_dir() + "/transmitter/kelbostx";
}
inline std::string receiver_binary() {
    return build_dir() + "/receiver/kelbosrx";
}

// A program's JSON lines, each parsed once as it comes (for long runs); other lines apart.
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

// The JSON objects among a program's complete lines of standard output so far.
inline std::vector<QJsonObject> json_events(const ChildProcess& child) {
    return JsonEventLog(child).events();
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

}  // namespace kelbos::testing
