// SPDX-License-Identifier: Apache-2.0
// The receiver's link callbacks and its strip of value rows: admission of new links
// (alloc_conn_id), their set-up (new_link), their end (shutdown_rcv) and, once a
// second, the rate tick of every row (tick_rows), which removes a finished link's row
// on the sixteenth tick after its end (remove_row).
//
// The strip, from the top of the drawing area: the header row, one value row per live
// or dirty link in set-up order, the TOTAL row.
//
// Message boxes of alloc_conn_id and shutdown_rcv run a nested event loop in which
// ticks, new links and removals happen; every step re-reads the records after a box.
#pragma once

#include <QPointer>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json_lines.h"
#include "core/scene.h"
#include "receiver/app/receiver_rows.h"
#include "receiver/app/refusal_journal.h"
#include "receiver/counting/colour_slots.h"
#include "receiver/records/connection_records.h"
#include "shell/dialog_units.h"
#include "shell/kelbo_canvas.h"
#include "shell/row_widget.h"

namespace kelbos {

// A removed row's countdown: a dirty row goes on the sixteenth tick after the end.
inline constexpr std::int32_t REMOVAL_TICKS = 15;

// Why a connection was refused, as the JSON lines and the metrics say it.
inline constexpr const char* REFUSED_NO_SCENE = "no scene";
inline constexpr const char* REFUSED_FULL = "full";
inline constexpr const char* REFUSED_HOST_LIMIT = "host limit";
inline constexpr const char* REFUSED_NOT_ALLOWED = "not allowed";

// Failure boxes that wait while one is open; beyond these the oldest goes to standard
// error instead.
inline constexpr std::size_t WAITING_BOXES_MAX = 10;

class LinkRows {
public:
    // `clock_ms` gives the milliseconds since the program started, for the JSON lines.
    LinkRows(ConnectionTable& table, ColourSlots& colour_slots, const Scene& scene, JsonLines& json,
             std::function<std::uint64_t()> clock_ms);
    ~LinkRows();
    LinkRows(const LinkRows&) = delete;
    LinkRows& operator=(const LinkRows&) = delete;

    // The header row at the top of the canvas and the TOTAL row directly under it;
    // the TOTAL record becomes live and its row is filled.
    void create_rows(KelboCanvas* canvas);
    // The header and TOTAL rows go (the program is ending); link rows stay until the
    // window goes.
    void destroy_rows();

    // A ConnId for a new link, or CONN_NONE_FREE. Refused while no scene is loaded,
    // with one box at a time; silently when all ten are live or dirty.
    ConnId alloc_conn_id();
    // Why alloc_conn_id refused last: REFUSED_NO_SCENE or REFUSED_FULL.
    const char* allocation_refusal() const { return allocation_refusal_; }
    // A connection from `peer` was refused: counted, a JSON line, and a journal line.
    void link_refused(const std::string& peer, const char* reason);
    void new_link(ConnId conn_id, const std::string& peer_name, const std::string& colour_text,
                  std::uint8_t transport, std::uint32_t kelbo_bytes);
    void shutdown_rcv(ConnId conn_id, int reason, const std::string& text);
    // A ConnId handed out whose link never reached new_link.
    void release_conn_id(ConnId conn_id);

    // One rate tick, elapsed_ms after the previous one, for records 0..10 with a row:
    // each makes its row's RowTick, which the row shows and the JSON line reports.
    void tick_rows(std::uint64_t elapsed_ms);
    void remove_row(ConnId conn_id);

    // The rate a full bar stands for, in every row, and the header's scale labels.
    void set_full_scale(double full_mbits);
    // Each row's last tick, by ConnId; none for a record without a row, or whose row
    // has not ticked since it was made.
    const std::array<std::optional<RowTick>, CONN_TABLE_SIZE>& ticks() const { return ticks_; }
    // Where a link's socket is found, for the path figures of TCP links.
    void set_link_socket(std::function<int(ConnId)> link_socket) { link_socket_ = std::move(link_socket); }

    HeaderRow* header() const { return header_; }
    RowWidget* total_row() const { return rows_[CONN_NONE]; }
    RowWidget* row(ConnId conn_id) const;
    // Links refused since start-up by reason (every reason, from the start), and links
    // ended by shutdown reason.
    const std::map<std::string, std::uint64_t>& refused() const { return refused_; }
    const std::map<int, std::uint64_t>& ended() const { return ended_; }

private:
    friend struct LinkRowsPeer;  // tests look at the refusal box and the journal

    // A row's rate as its last tick showed it; 0 before its first.
    float last_rate(ConnId conn_id) const { return ticks_[conn_id] ? ticks_[conn_id]->rate : 0.0f; }
    void tick_row(ConnId conn_id, std::uint64_t elapsed_ms);
    Rgb slot_colour(int slot) const;
    void write_tick(const RowTick& tick);
    std::optional<double> read_path(ConnId conn_id);
    // The bar of a new row: repainted in `colour`, from its last tick's rate.
    void set_up_bar(RowWidget& row, ConnId conn_id, Rgb colour);
    void show_failure(std::string text);

    ConnectionTable& table_;
    ColourSlots& slots_;
    const Scene& scene_;
    JsonLines& json_;
    std::function<std::uint64_t()> clock_ms_;
    QPointer<KelboCanvas> canvas_;
    std::optional<DialogUnits> units_;
    QPointer<HeaderRow> header_;
    std::array<QPointer<RowWidget>, CONN_TABLE_SIZE> rows_{};  // each record's value row
    std::array<std::optional<RowTick>, CONN_TABLE_SIZE> ticks_{};
    std::array<std::uint64_t, CONN_TABLE_SIZE> series_{};  // each link's history line
    std::uint64_t links_seen_ = 0;
    double full_mbits_ = 100.0;
    std::function<int(ConnId)> link_socket_;
    bool refusal_box_open_ = false;
    const char* allocation_refusal_ = REFUSED_FULL;
    std::map<std::string, std::uint64_t> refused_{
        {REFUSED_NO_SCENE, 0}, {REFUSED_FULL, 0}, {REFUSED_HOST_LIMIT, 0}, {REFUSED_NOT_ALLOWED, 0}};
    bool failure_box_open_ = false;
    std::deque<std::string> failures_waiting_;
    std::map<int, std::uint64_t> ended_;
    RefusalJournal journal_;
};

}  // namespace kelbos
