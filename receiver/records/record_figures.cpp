// SPDX-License-Identifier: Apache-2.0
#include "receiver/records/record_figures.h"

#include <string>

#include "core/rate.h"

namespace kelbos {

namespace {
constexpr const char* PROTOCOL_TEXTS[] = {"UDP", "TCP", "DNET", "OSI"};
}  // namespace

const char* protocol_text(int transport) {
    if (transport >= TRANSPORT_UDP && transport <= TRANSPORT_OSI) return PROTOCOL_TEXTS[transport - 1];
    return "UNKNOWN";
}

std::uint64_t kelbo_bits(const ConnectionRecord& record) {
    return static_cast<std::uint64_t>(record.kelbo_bytes) * 8u;
}

std::optional<DatagramFigures> datagram_figures(const ConnectionRecord& record) {
    const DatagramStats& stats = record.datagrams;
    if (!stats.numbered()) return std::nullopt;
    return DatagramFigures{stats.received(),   true,
                           stats.lost(),       stats.out_of_order(),
                           stats.duplicates(), stats.jitter_ms(),
                           stats.expected(),   stats.strays()};
}

RowTick make_tick(ConnId conn_id, ConnectionRecord& record, std::uint64_t elapsed_ms, float kept_rate) {
    const bool total = conn_id == CONN_NONE;
    RowTick tick;
    tick.conn_id = conn_id;
    tick.state = record.row_state;
    tick.name = total ? std::string("TOTAL") : record.peer_name;
    tick.transport = total ? "" : protocol_text(record.transport);
    tick.kelbo_bits = total ? 0 : kelbo_bits(record);
    tick.rate = kept_rate;
    if (record.row_state == RowState::live) {
        tick.rate = static_cast<float>(rate_mbits(record.bytes_received - record.bytes_at_tick, elapsed_ms));
        record.bytes_at_tick = record.bytes_received;
    }
    tick.bytes = record.bytes_received;
    if (!total) tick.datagrams = datagram_figures(record);
    return tick;
}

TickEvent tick_event(const RowTick& tick, std::uint64_t time_ms) {
    const bool total = tick.conn_id == CONN_NONE;
    // The protocol column as the row shows it.
    const std::string protocol = total ? "" : tick.state == RowState::dirty ? "Stopped" : tick.transport;
    return TickEvent{time_ms,         tick.name, tick.conn_id, protocol,
                     tick.kelbo_bits, tick.rate, tick.bytes,   tick.datagrams};
}

RowRate row_rate(const RowTick& tick) {
    return RowRate{tick.series,
                   tick.conn_id == CONN_NONE ? tick.name : tick.name + " #" + std::to_string(tick.conn_id),
                   tick.colour, tick.rate};
}

LinkFigures link_figures(const RowTick& tick) {
    return LinkFigures{tick.conn_id, tick.name, tick.transport, tick.bytes, tick.rate, tick.datagrams};
}

}  // namespace kelbos
