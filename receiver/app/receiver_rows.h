// SPDX-License-Identifier: Apache-2.0
// What one value row of the receiver shows: the texts of its record, "Stopped" when the
// link has ended, and once a second the rate with its bar. The bar of a link row is
// drawn in its colour slot's base colour; the TOTAL row's bar is gray after a tick and
// the default slot's green when it is repainted.
//
// Each row's tick is one RowTick, made once a second from its record: the row shows it,
// and the JSON line, the rate views and the metrics are read from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "connection_records.h"
#include "figures.h"
#include "json_lines.h"

namespace kelbos {

class StatusRow;

// The stock gray of the TOTAL row's bar on a tick.
inline constexpr Rgb TOTAL_TICK_COLOUR{128, 128, 128};

// The protocol column for a transport byte: "UDP", "TCP", "DNET", "OSI", else "UNKNOWN".
const char* protocol_text(int transport);

// Bits per kelbo as the row shows it: kelbo_bytes * 8, unsigned, never wrapping.
std::uint64_t kelbo_bits(const ConnectionRecord& record);

// What a link's numbered datagrams told; nothing for a link whose datagrams carry no
// numbers.
std::optional<DatagramFigures> datagram_figures(const ConnectionRecord& record);

// Fills the texts: "TOTAL" for the TOTAL row, else the peer name, protocol and bits
// per kelbo; both get the rate "0.0000".
void fill_row(StatusRow& row, const ConnectionRecord& record, bool total);

// The link has ended: the protocol column says "Stopped"; rate and bar stay.
void show_stopped(StatusRow& row);

// A row's tick from its record. A live row's rate is that of the bytes since the
// previous tick over elapsed_ms, and bytes_at_tick moves on; a stopped row keeps
// `kept_rate`, the rate of its last tick.
RowTick make_tick(ConnId conn_id, ConnectionRecord& record, std::uint64_t elapsed_ms, float kept_rate);

// A live row shows its tick: the rate as "%5.4f" text, and the bar drawn at once in
// the tick's colour from the rate itself.
void show_tick(StatusRow& row, const RowTick& tick);

// The tick as the JSON line, the rate views and the metrics give it.
TickEvent tick_event(const RowTick& tick, std::uint64_t time_ms);
RowRate row_rate(const RowTick& tick);
LinkFigures link_figures(const RowTick& tick);

// Row placement in the strip. A new row takes the TOTAL row's place and the TOTAL row
// moves down by its own height.
void place_above_total(StatusRow& row, StatusRow& total);

}  // namespace kelbos
