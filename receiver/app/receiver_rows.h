// SPDX-License-Identifier: Apache-2.0
// What one value row of the receiver shows: the texts of its record, "Stopped" when the
// link has ended, and once a second the rate with its bar. The bar of a link row is
// drawn in its colour slot's base colour; the TOTAL row's bar is gray after a tick and
// the default slot's green when it is repainted.
//
// Each row's tick is one RowTick made from its record (record_figures.h).
#pragma once

#include "core/figures.h"
#include "receiver/records/connection_records.h"

namespace kelbos {

class RowWidget;

// The stock gray of the TOTAL row's bar on a tick.
inline constexpr Rgb TOTAL_TICK_COLOUR{128, 128, 128};

// Fills the texts: "TOTAL" for the TOTAL row, else the peer name, protocol and bits
// per kelbo; both get the rate "0.0000".
void fill_row(RowWidget& row, const ConnectionRecord& record, bool total);

// The link has ended: the protocol column says "Stopped"; rate and bar stay.
void show_stopped(RowWidget& row);

// A live row shows its tick: the rate as "%5.4f" text, and the bar drawn at once in
// the tick's colour from the rate itself.
void show_tick(RowWidget& row, const RowTick& tick);

// Row placement in the strip. A new row takes the TOTAL row's place and the TOTAL row
// moves down by its own height.
void place_above_total(RowWidget& row, RowWidget& total);

}  // namespace kelbos
