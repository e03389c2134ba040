// SPDX-License-Identifier: Apache-2.0
// The receiver's ledger of links: which ConnId a new link gets, where each record
// stands (free, live being set up or set up, dirty once ended), its colour slot, the
// countdown of a Stopped row, the links refused and ended, and at each rate tick the
// RowTick of every row in the strip. It says what changed; the strip of rows draws
// it. Toolkit-free.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/figures.h"
#include "receiver/records/colour_slots.h"
#include "receiver/records/connection_records.h"

namespace kelbos {

// A Stopped row's countdown: it goes on the sixteenth tick after the link's end.
inline constexpr std::int32_t REMOVAL_TICKS = 15;

// The stock gray of the TOTAL row's bar on a tick.
inline constexpr Rgb TOTAL_TICK_COLOUR{128, 128, 128};

// Why a connection was refused, as the JSON lines and the metrics say it.
inline constexpr const char* REFUSED_NO_SCENE = "no scene";
inline constexpr const char* REFUSED_FULL = "full";
inline constexpr const char* REFUSED_HOST_LIMIT = "host limit";
inline constexpr const char* REFUSED_NOT_ALLOWED = "not allowed";

// What one rate tick did to a row of the strip: its tick, or (no tick) its removal.
struct RowStep {
    ConnId conn_id = CONN_NONE;
    std::optional<RowTick> tick;
    std::string removed_peer;  // the removed link's peer name
};

class LinkLedger {
public:
    LinkLedger();

    // The records and the colour slots: more_data counts into the records, the
    // picture draws in the slots.
    ConnectionTable& table() { return table_; }
    const ConnectionTable& table() const { return table_; }
    ColourSlots& colour_slots() { return slots_; }
    const ColourSlots& colour_slots() const { return slots_; }

    // The strip is there: the TOTAL record is live, counted from zero, and has a row.
    void open_strip();
    // The strip's header and TOTAL rows are gone: TOTAL ticks no more, and links set up
    // from now on get no row.
    void close_strip();

    // A ConnId for a new link, or CONN_NONE_FREE: refused while no scene is loaded, and
    // when all ten are live or dirty.
    ConnId alloc_conn_id(bool scene_loaded);
    // Why alloc_conn_id refused last: REFUSED_NO_SCENE or REFUSED_FULL.
    const char* allocation_refusal() const { return allocation_refusal_; }
    void count_refusal(const char* reason) { ++refused_[reason]; }
    // Fills a link's record, holding a colour slot for `colour_text`. True when the
    // link gets a row (the strip is there).
    bool new_link(ConnId conn_id, const std::string& peer_name, const std::string& colour_text,
                  std::uint8_t transport, std::uint32_t kelbo_bytes);
    // Marks a live link dirty with its countdown and lets its colour slot go. False,
    // changing nothing, for TOTAL, no ConnId, a free record or one already dirty (which
    // is said on standard output).
    bool end_link(ConnId conn_id, int reason);
    // A ConnId handed out whose link never reached new_link.
    void release_conn_id(ConnId conn_id) { table_.give_back(conn_id); }
    // Frees a link's record with its row and its last tick; the peer name, or nothing
    // for a record without a row.
    std::optional<std::string> remove(ConnId conn_id);

    // One rate tick, elapsed_ms after the previous one: each record with a row, in
    // ConnId order, ticks, or goes when its countdown has run out.
    std::vector<RowStep> tick(std::uint64_t elapsed_ms);
    // Each row's last tick, by ConnId; none for a record without a row, or whose row
    // has not ticked since it was made.
    const std::array<std::optional<RowTick>, CONN_TABLE_SIZE>& ticks() const { return ticks_; }
    // A row's rate as its last tick showed it; 0 before its first.
    float last_rate(ConnId conn_id) const { return ticks_[conn_id] ? ticks_[conn_id]->rate : 0.0f; }
    // Links refused since start-up by reason (every reason, from the start), and links
    // ended by shutdown reason.
    const std::map<std::string, std::uint64_t>& refused() const { return refused_; }
    const std::map<int, std::uint64_t>& ended() const { return ended_; }

private:
    ConnectionTable table_;
    ColourSlots slots_;
    std::array<bool, CONN_TABLE_SIZE> shown_{};  // the record has a row in the strip
    std::array<std::optional<RowTick>, CONN_TABLE_SIZE> ticks_{};
    std::array<std::uint64_t, CONN_TABLE_SIZE> series_{};  // each link's history line
    std::uint64_t links_seen_ = 0;
    const char* allocation_refusal_ = REFUSED_FULL;
    std::map<std::string, std::uint64_t> refused_{
        {REFUSED_NO_SCENE, 0}, {REFUSED_FULL, 0}, {REFUSED_HOST_LIMIT, 0}, {REFUSED_NOT_ALLOWED, 0}};
    std::map<int, std::uint64_t> ended_;
};

}  // namespace kelbos
