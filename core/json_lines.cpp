// SPDX-License-Identifier: Apache-2.0
#include "core/json_lines.h"

#include <charconv>
#include <cmath>

namespace kelbos {

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

namespace {
// A finite number in JSON; rates are never NaN, but keep the line valid if one were.
std::string json_number(double v) {
    if (!std::isfinite(v)) return "0";
    // to_chars writes the decimal point whatever the locale says.
    char buf[64];
    const auto end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
    return std::string(buf, end.ptr);
}
// The datagram figures as members, each with its leading comma; none when not given.
std::string datagram_members(const std::optional<DatagramFigures>& figures) {
    if (!figures) return {};
    std::string members = ",\"datagrams\":" + std::to_string(figures->datagrams);
    if (figures->numbered)
        members += ",\"lost\":" + std::to_string(figures->lost) +
                   ",\"out_of_order\":" + std::to_string(figures->out_of_order) +
                   ",\"duplicates\":" + std::to_string(figures->duplicates) +
                   ",\"jitter_ms\":" + json_number(figures->jitter_ms);
    return members;
}

std::string target_member(const std::optional<double>& target) {
    return target ? ",\"target_mbits_per_s\":" + json_number(*target) : std::string();
}

}  // namespace

std::string format_event(const TickEvent& e) {
    return "{\"event\":\"tick\",\"time_ms\":" + std::to_string(e.time_ms) + ",\"row\":" + json_string(e.row) +
           ",\"conn_id\":" + std::to_string(e.conn_id) + ",\"protocol\":" + json_string(e.protocol) +
           ",\"kelbo_bits\":" + std::to_string(e.kelbo_bits) +
           ",\"mbits_per_s\":" + json_number(e.mbits_per_s) + target_member(e.target_mbits_per_s) +
           ",\"bytes\":" + std::to_string(e.bytes) + datagram_members(e.datagrams) + "}";
}

std::string format_event(const TickEvent& e, const TickPath& path) {
    std::string figures;
    if (path.rtt_ms) figures += ",\"rtt_ms\":" + json_number(*path.rtt_ms);
    if (path.retransmits) figures += ",\"retransmits\":" + std::to_string(*path.retransmits);
    if (path.cwnd_bytes) figures += ",\"cwnd_bytes\":" + std::to_string(*path.cwnd_bytes);
    // The path's figures follow the time; the row's own fields keep their order.
    std::string line = format_event(e);
    line.insert(line.find(",\"row\":"), figures);
    return line;
}

std::string format_event(const EndEvent& e) {
    return "{\"event\":\"end\",\"time_ms\":" + std::to_string(e.time_ms) +
           ",\"bytes\":" + std::to_string(e.bytes) + ",\"seconds\":" + json_number(e.seconds) +
           ",\"mbits_per_s\":" + json_number(e.mbits_per_s) + target_member(e.target_mbits_per_s) +
           ",\"how\":" + json_string(e.how) +
           (e.byte_limit ? ",\"byte_limit\":" + std::to_string(*e.byte_limit) : std::string()) +
           datagram_members(e.datagrams) + "}";
}

std::string format_event(const LinkEndEvent& e) {
    return "{\"event\":\"link_end\",\"time_ms\":" + std::to_string(e.time_ms) +
           ",\"conn_id\":" + std::to_string(e.conn_id) + ",\"row\":" + json_string(e.row) +
           ",\"reason\":" + std::to_string(e.reason) + ",\"bytes\":" + std::to_string(e.bytes) +
           datagram_members(e.datagrams) + "}";
}

std::string format_event(const RowRemovedEvent& e) {
    return "{\"event\":\"row_removed\",\"time_ms\":" + std::to_string(e.time_ms) +
           ",\"conn_id\":" + std::to_string(e.conn_id) + ",\"row\":" + json_string(e.row) + "}";
}

std::string format_event(const RefusedEvent& e) {
    return "{\"event\":\"refused\",\"time_ms\":" + std::to_string(e.time_ms) +
           ",\"peer\":" + json_string(e.peer) + ",\"reason\":" + json_string(e.reason) + "}";
}

void JsonLines::write_line(const std::string& line) {
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

}  // namespace kelbos
