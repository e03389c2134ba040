// SPDX-License-Identifier: Apache-2.0
// The strip of value rows, drawing what the ledger says. From the top of the drawing
// area: the header row, one value row per live or Stopped link in set-up order, the
// TOTAL row. A row shows its record's texts ("TOTAL" for TOTAL), "Stopped" once the
// link has ended, and at each tick the rate with its bar; a link's bar is drawn in its
// colour slot's base colour, TOTAL's gray after a tick and the default slot's green
// when it is repainted.
#pragma once

#include <QPointer>
#include <QSize>
#include <array>
#include <optional>

#include "core/figures.h"
#include "receiver/records/link_ledger.h"
#include "shell/dialog_units.h"
#include "shell/kelbo_canvas.h"
#include "shell/row_widget.h"

namespace kelbos {

class RowStrip {
public:
    explicit RowStrip(const LinkLedger& ledger) : ledger_(ledger) {}

    // The header row at the top of the canvas and the TOTAL row directly under it.
    void create_rows(KelboCanvas* canvas);
    // The header and TOTAL rows go (the program is ending); link rows stay until the
    // window goes.
    void destroy_rows();
    // The header and TOTAL rows together, which the window first fits.
    QSize first_size() const;

    // A new link's row takes the TOTAL row's place, which moves down by its height;
    // the whole window is repainted at once.
    void add_row(ConnId conn_id);
    // The link has ended: the protocol column says "Stopped"; rate and bar stay.
    void show_stopped(ConnId conn_id);
    // A live row shows its tick: the rate as "%5.4f" text, the bar drawn at once in the
    // tick's colour from the rate itself, and a link's round trip or datagram figures
    // as its tool tip.
    void show_tick(const RowTick& tick);
    // The row goes; every row below it moves up into its place, TOTAL included.
    void remove_row(ConnId conn_id);
    // The rate a full bar stands for, in every row, and the header's scale labels.
    void set_full_scale(double full_mbits);

private:
    friend struct RowStripPeer;  // tests look at the rows

    RowWidget* row(ConnId conn_id) const {
        return conn_id < CONN_TABLE_SIZE ? rows_[conn_id].data() : nullptr;
    }
    // Fills the texts: "TOTAL" for the TOTAL row, else the peer name, protocol and
    // bits per kelbo; both get the rate "0.0000".
    void fill_row(RowWidget& row, ConnId conn_id) const;
    // The bar as a repaint draws it: in `colour`, from the rate of the row's last tick.
    void set_up_bar(RowWidget& row, ConnId conn_id, Rgb colour) const;

    const LinkLedger& ledger_;
    QPointer<KelboCanvas> canvas_;
    std::optional<DialogUnits> units_;
    QPointer<HeaderRow> header_;
    std::array<QPointer<RowWidget>, CONN_TABLE_SIZE> rows_{};  // each record's value row
    double full_mbits_ = 100.0;
};

}  // namespace kelbos
