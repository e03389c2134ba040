// SPDX-License-Identifier: Apache-2.0
#include "receiver/app/receiver_rows.h"

#include "core/rate.h"
#include "receiver/records/record_figures.h"
#include "shell/kelbo_canvas.h"
#include "shell/row_widget.h"

namespace kelbos {

void fill_row(RowWidget& row, const ConnectionRecord& record, bool total) {
    if (total) {
        row.set_name("TOTAL");
    } else {
        row.set_name(QString::fromStdString(record.peer_name));
        row.set_protocol(protocol_text(record.transport));
        row.set_kelbo_bits(QString::number(kelbo_bits(record)));
    }
    row.set_rate_text("0.0000");
}

void show_stopped(RowWidget& row) {
    row.set_protocol("Stopped");
    row.update();
}

void show_tick(RowWidget& row, const RowTick& tick) {
    row.set_rate_text(QString::fromStdString(rate_text(tick.rate)));
    row.bar()->draw_for_tick(tick.rate, to_qcolor(tick.colour));
}

void place_above_total(RowWidget& row, RowWidget& total) {
    const QRect place = total.geometry();
    row.setGeometry(place);
    total.setGeometry(place.translated(0, place.height()));
}

}  // namespace kelbos
