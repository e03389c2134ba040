// SPDX-License-Identifier: Apache-2.0
#include "receiver_rows.h"

#include "kelbo_canvas.h"
#include "rate.h"
#include "record_figures.h"
#include "status_row.h"

namespace kelbos {

void fill_row(StatusRow& row, const ConnectionRecord& record, bool total) {
    if (total) {
        row.set_name("TOTAL");
    } else {
        row.set_name(QString::fromStdString(record.peer_name));
        row.set_protocol(protocol_text(record.transport));
        row.set_kelbo_bits(QString::number(kelbo_bits(record)));
    }
    row.set_rate_text("0.0000");
}

void show_stopped(StatusRow& row) {
    row.set_protocol("Stopped");
    row.update();
}

void show_tick(StatusRow& row, const RowTick& tick) {
    row.set_rate_text(QString::fromStdString(rate_text(tick.rate)));
    row.bar()->draw_for_tick(tick.rate, to_qcolor(tick.colour));
}

void place_above_total(StatusRow& row, StatusRow& total) {
    const QRect place = total.geometry();
    row.setGeometry(place);
    total.setGeometry(place.translated(0, place.height()));
}

}  // namespace kelbos
