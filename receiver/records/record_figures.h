// SPDX-License-Identifier: Apache-2.0
// What a link record shows at a rate tick, as figures: the texts of its row, and once
// a second its RowTick, made from the record alone. The strip of rows shows the tick,
// and the JSON line, the Rate History and the metrics are read from it. Toolkit-free.
#pragma once

#include <cstdint>
#include <optional>

#include "core/figures.h"
#include "core/json_lines.h"
#include "receiver/records/connection_records.h"

namespace kelbos {

// The protocol column for a transport byte: "UDP", "TCP", "DNET", "OSI", else "UNKNOWN".
const char* protocol_text(int transport);

// Bits per kelbo as the row shows it: kelbo_bytes * 8, unsigned, never wrapping.
std::uint64_t kelbo_bits(const ConnectionRecord& record);

// What a link's numbered datagrams told; nothing for a link whose datagrams carry no
// numbers.
std::optional<DatagramFigures> datagram_figures(const ConnectionRecord& record);

// A row's tick from its record. A live row's rate is that of the bytes since the
// previous tick over elapsed_ms, and bytes_at_tick moves on; a stopped row keeps
// `kept_rate`, the rate of its last tick.
RowTick make_tick(ConnId conn_id, ConnectionRecord& record, std::uint64_t elapsed_ms, float kept_rate);

// The tick as the JSON line, the rate views and the metrics give it.
TickEvent tick_event(const RowTick& tick, std::uint64_t time_ms);
RowRate row_rate(const RowTick& tick);
LinkFigures link_figures(const RowTick& tick);

}  // namespace kelbos
