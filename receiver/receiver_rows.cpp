// SPDX-License-Identifier: Apache-2.0
#include "receiver_rows.h"

#include "rate.h"
#include "status_row.h"

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

float tick_live_row(StatusRow& row, ConnectionRecord& record, std::uint64_t elapsed_ms, QColor bar_colour) {
    const std::uint64_t bytes = record.bytes_received - record.bytes_at_tick;
    const float rate = static_cast<float>(rate_mbits(bytes, elapsed_ms));
    record.bytes_at_tick = record.bytes_received;
    row.set_rate_text(QString::fromStdString(rate_text(rate)));
    row.bar()->draw_for_tick(rate, bar_colour);
    return rate;
}

void place_above_total(StatusRow& row, StatusRow& total) {
    const QRect place = total.geometry();
    row.setGeometry(place);
    total.setGeometry(place.translated(0, place.height()));
}

}  // namespace kelbos
