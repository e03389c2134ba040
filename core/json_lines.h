// SPDX-License-Identifier: Apache-2.0
// Machine-readable rate lines: one JSON object per line on standard output.
// Standard output also carries the routine diagnostics, which never begin with "{".
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "core/figures.h"

namespace kelbos {

// A JSON string literal for `text`, quotes included.
std::string json_string(const std::string& text);

struct TickEvent {
    std::uint64_t time_ms;
    std::string row;
    int conn_id;
    std::string protocol;
    std::uint64_t kelbo_bits;
    double mbits_per_s;
    std::uint64_t bytes;
    std::optional<DatagramFigures> datagrams{};
    std::optional<double> target_mbits_per_s{};  // a paced transmission's target, after mbits_per_s
};

struct EndEvent {
    std::uint64_t time_ms;
    std::uint64_t bytes;
    double seconds;
    double mbits_per_s;
    std::string how;  // "halted", "aborted" or "halt failed"
    std::optional<DatagramFigures> datagrams{};
    std::optional<double> target_mbits_per_s{};
    // Given when the transmission halted because its byte limit was reached: the limit.
    std::optional<std::uint64_t> byte_limit{};
};

struct LinkEndEvent {
    std::uint64_t time_ms;
    int conn_id;
    std::string row;
    int reason;
    std::uint64_t bytes;
    std::optional<DatagramFigures> datagrams{};
};

// A finished link's row has gone from the strip: its ConnId may be handed out again.
struct RowRemovedEvent {
    std::uint64_t time_ms;
    int conn_id;
    std::string row;
};

// A connection refused: `reason` is "no scene", "full", "host limit" or "not allowed".
struct RefusedEvent {
    std::uint64_t time_ms;
    std::string peer;  // the address it came from
    std::string reason;
};

std::string format_event(const TickEvent& e);
// A TCP link's tick with what the kernel knows of its path: the fields given come
// right after time_ms.
struct TickPath {
    std::optional<double> rtt_ms;
    std::optional<std::uint32_t> retransmits;
    std::optional<std::uint64_t> cwnd_bytes;
};
std::string format_event(const TickEvent& e, const TickPath& path);
std::string format_event(const EndEvent& e);
std::string format_event(const LinkEndEvent& e);
std::string format_event(const RowRemovedEvent& e);
std::string format_event(const RefusedEvent& e);

// Writes events as lines to a stream (standard output in the programs) when enabled.
class JsonLines {
public:
    explicit JsonLines(bool enabled, std::FILE* out = stdout) : enabled_(enabled), out_(out) {}
    bool enabled() const { return enabled_; }
    template <typename Event>
    void write(const Event& e) {
        if (enabled_) write_line(format_event(e));
    }
    void write(const TickEvent& e, const TickPath& path) {
        if (enabled_) write_line(format_event(e, path));
    }
    void write_line(const std::string& line);

private:
    bool enabled_;
    std::FILE* out_;
};

}  // namespace kelbos
