// SPDX-License-Identifier: Apache-2.0
// What one value row of the receiver shows: the texts of its record, "Stopped" when the
// link has ended, and once a second the rate with its bar. The bar of a link row is
// drawn in its colour slot's base colour; the TOTAL row's bar is gray after a tick and
// the default slot's green when it is repainted from its rate text.
#pragma once

#include <QColor>
#include <QString>
#include <cstdint>

#include "connection_records.h"

namespace kelbos {

class StatusRow;

// The stock gray of the TOTAL row's bar on a tick.
inline const QColor TOTAL_TICK_COLOUR{128, 128, 128};

// The protocol column for a transport byte: "UDP", "TCP", "DNET", "OSI", else "UNKNOWN".
const char* protocol_text(int transport);

// Bits per kelbo as the row shows it: kelbo_bytes * 8, unsigned, never wrapping.
std::uint64_t kelbo_bits(const ConnectionRecord& record);

// Fills the texts: "TOTAL" for the TOTAL row, else the peer name, protocol and bits
// per kelbo; both get the rate "0.0000".
void fill_row(StatusRow& row, const ConnectionRecord& record, bool total);

// The link has ended: the protocol column says "Stopped"; rate and bar stay.
void show_stopped(StatusRow& row);

// A live row's rate tick: the rate of the bytes since the previous tick over
// elapsed_ms, kept in single precision for both the text and the bar; the bar drawn
// at once in `bar_colour`. Returns the rate.
float tick_live_row(StatusRow& row, ConnectionRecord& record, std::uint64_t elapsed_ms, QColor bar_colour);

// Row placement in the strip. A new row takes the TOTAL row's place and the TOTAL row
// moves down by its own height.
void place_above_total(StatusRow& row, StatusRow& total);

}  // namespace kelbos
