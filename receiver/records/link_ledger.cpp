// SPDX-License-Identifier: Apache-2.0
#include "receiver/records/link_ledger.h"

#include <cstdio>

#include "receiver/records/record_figures.h"

namespace kelbos {

namespace {

bool is_link(ConnId conn_id) {
    return conn_id >= CONN_FIRST && conn_id <= CONN_LAST;
}

}  // namespace

LinkLedger::LinkLedger() {
    slots_.set_default();
}

void LinkLedger::open_strip() {
    ConnectionRecord& record = table_[CONN_NONE];
    ticks_[CONN_NONE].reset();
    record.row_state = RowState::live;
    record.bytes_received = 0;
    record.bytes_at_tick = 0;
    shown_[CONN_NONE] = true;
}

void LinkLedger::close_strip() {
    shown_[CONN_NONE] = false;
}

ConnId LinkLedger::alloc_conn_id(bool scene_loaded) {
    if (!scene_loaded) {
        allocation_refusal_ = REFUSED_NO_SCENE;
        return CONN_NONE_FREE;
    }
    const ConnId conn_id = table_.take_free();
    if (conn_id == CONN_NONE_FREE) allocation_refusal_ = REFUSED_FULL;
    return conn_id;
}

bool LinkLedger::new_link(ConnId conn_id, const std::string& peer_name, const std::string& colour_text,
                          std::uint8_t transport, std::uint32_t kelbo_bytes) {
    if (!is_link(conn_id)) return false;
    ConnectionRecord& record = table_[conn_id];
    record.pending_bytes = 0;
    record.bytes_received = 0;
    record.bytes_at_tick = 0;
    record.datagrams = DatagramStats{};
    record.colour_slot = slots_.alloc_colour_slot(colour_text);
    slots_[record.colour_slot].held = true;
    record.transport = transport;
    record.kelbo_bytes = kelbo_bytes;
    set_peer_name(record, peer_name);
    record.set_up = true;
    ticks_[conn_id].reset();
    series_[conn_id] = ++links_seen_;
    if (!shown_[CONN_NONE]) return false;  // the window has gone
    shown_[conn_id] = true;
    return true;
}

bool LinkLedger::end_link(ConnId conn_id, int reason) {
    if (!is_link(conn_id)) return false;
    ConnectionRecord& record = table_[conn_id];
    if (record.row_state == RowState::free) return false;  // no link to end
    if (record.row_state == RowState::dirty) {
        std::printf("shutdown_rcv: conn_id %d which already marked dirty - ignoring\n", conn_id);
        std::fflush(stdout);
        return false;
    }
    record.row_state = RowState::dirty;
    record.removal_countdown = REMOVAL_TICKS;
    if (record.colour_slot != DEFAULT_SLOT) slots_[record.colour_slot].held = false;
    ++ended_[reason];
    return true;
}

std::optional<std::string> LinkLedger::remove(ConnId conn_id) {
    if (!is_link(conn_id) || !shown_[conn_id]) return std::nullopt;
    std::string peer_name = table_[conn_id].peer_name;
    shown_[conn_id] = false;
    table_.set_free(conn_id);
    ticks_[conn_id].reset();
    return peer_name;
}

std::vector<RowStep> LinkLedger::tick(std::uint64_t elapsed_ms) {
    std::vector<RowStep> steps;
    for (int c = 0; c < CONN_TABLE_SIZE; ++c) {
        const auto conn_id = static_cast<ConnId>(c);
        ConnectionRecord& record = table_[conn_id];
        if (record.row_state == RowState::free || !shown_[c]) continue;
        if (record.row_state == RowState::dirty) {
            if (record.removal_countdown == 0) {
                steps.push_back({conn_id, std::nullopt, *remove(conn_id)});
                continue;
            }
            --record.removal_countdown;
        }
        RowTick tick = make_tick(conn_id, record, elapsed_ms, last_rate(conn_id));
        tick.series = series_[c];
        tick.colour = conn_id == CONN_NONE ? TOTAL_TICK_COLOUR : slots_.colours_of(record.colour_slot).base;
        ticks_[c] = tick;
        steps.push_back({conn_id, std::move(tick), {}});
    }
    return steps;
}

}  // namespace kelbos
