// SPDX-License-Identifier: Apache-2.0
#include "receiver/app/row_strip.h"

#include <vector>

#include "core/rate.h"
#include "receiver/records/record_figures.h"

namespace kelbos {

namespace {

// The tool tip of a link whose datagrams are numbered.
QString datagram_tip(const DatagramStats& stats) {
    return QString("Loss %1 % (%2 of %3 datagrams)\nJitter %4 ms")
        .arg(stats.loss_percent(), 0, 'f', 2)
        .arg(stats.lost())
        .arg(stats.expected())
        .arg(stats.jitter_ms(), 0, 'f', 3);
}

}  // namespace

void RowStrip::create_rows(KelboCanvas* canvas) {
    canvas_ = canvas;
    units_.emplace(QFontMetrics(canvas->font()));
    header_ = new HeaderRow(canvas, *units_, HeaderTitles{"Transmitter", "Bits/Kelbo"});
    header_->move(0, 0);

    auto* total = new RowWidget(canvas, *units_);
    total->setObjectName("row0");
    total->setGeometry(0, header_->height(), header_->width(), total->height());
    // Repainted, the TOTAL bar is drawn in the default slot's colour.
    set_up_bar(*total, CONN_NONE, ledger_.colour_slots().colours_of(DEFAULT_SLOT).base);
    rows_[CONN_NONE] = total;
    fill_row(*total, CONN_NONE);
    header_->show();
    total->show();
}

void RowStrip::destroy_rows() {
    delete header_.data();
    delete rows_[CONN_NONE].data();
}

QSize RowStrip::first_size() const {
    return QSize(header_->width(), header_->height() + rows_[CONN_NONE]->height());
}

void RowStrip::fill_row(RowWidget& row, ConnId conn_id) const {
    const ConnectionRecord& record = ledger_.table()[conn_id];
    if (conn_id == CONN_NONE) {
        row.set_name("TOTAL");
    } else {
        row.set_name(QString::fromStdString(record.peer_name));
        row.set_protocol(protocol_text(record.transport));
        row.set_kelbo_bits(QString::number(kelbo_bits(record)));
    }
    row.set_rate_text("0.0000");
}

void RowStrip::set_up_bar(RowWidget& row, ConnId conn_id, Rgb colour) const {
    row.bar()->set_repaint_colour(to_qcolor(colour));
    // A repaint draws the rate of the last tick, the number the rate field shows.
    row.bar()->set_rate_source([this, conn_id] { return ledger_.last_rate(conn_id); });
}

void RowStrip::add_row(ConnId conn_id) {
    RowWidget* total = rows_[CONN_NONE];
    if (!canvas_ || !total) return;  // the window has gone
    RowWidget* row = rows_[conn_id];
    if (!row) {
        row = new RowWidget(canvas_, *units_);
        row->setObjectName(QString("row%1").arg(conn_id));
        rows_[conn_id] = row;
        const QRect place = total->geometry();
        row->setGeometry(place);
        total->setGeometry(place.translated(0, place.height()));
    }
    row->bar()->set_full_scale(static_cast<float>(full_mbits_));
    set_up_bar(*row, conn_id, ledger_.colour_slots().colours_of(ledger_.table()[conn_id].colour_slot).base);
    fill_row(*row, conn_id);
    row->show();
    canvas_->invalidate_all();
    // The whole window is repainted at once, every row with it: the bars show the
    // colours of a repaint until the next tick (TOTAL's in slot 0's colour).
    canvas_->repaint();
}

void RowStrip::show_stopped(ConnId conn_id) {
    RowWidget* row = this->row(conn_id);
    if (!row) return;
    row->set_protocol("Stopped");
    row->update();
}

void RowStrip::show_tick(const RowTick& tick) {
    RowWidget* row = this->row(tick.conn_id);
    if (!row) return;
    row->set_rate_text(QString::fromStdString(rate_text(tick.rate)));
    row->bar()->draw_for_tick(tick.rate, to_qcolor(tick.colour));
    if (tick.conn_id == CONN_NONE) return;
    const ConnectionRecord& record = ledger_.table()[tick.conn_id];
    if (record.transport == TRANSPORT_TCP)
        row->setToolTip(tick.rtt_ms ? QString("Round trip %1 ms").arg(*tick.rtt_ms, 0, 'f', 3) : QString());
    if (record.datagrams.numbered()) row->setToolTip(datagram_tip(record.datagrams));
}

void RowStrip::remove_row(ConnId conn_id) {
    RowWidget* const row = this->row(conn_id);
    if (!row) return;
    const QRect place = row->geometry();
    const int bottom = place.y() + place.height();
    delete row;
    for (RowWidget* other : rows_) {
        if (!other) continue;
        const QRect g = other->geometry();
        if (g.y() + g.height() > bottom) other->move(g.x(), g.y() - place.height());
    }
    if (canvas_) canvas_->update();
}

void RowStrip::set_full_scale(double full_mbits) {
    full_mbits_ = full_mbits;
    std::vector<RateBar*> bars;
    for (RowWidget* row : rows_)
        if (row) bars.push_back(row->bar());
    show_bar_scale(full_mbits, header_, bars);
}

}  // namespace kelbos
