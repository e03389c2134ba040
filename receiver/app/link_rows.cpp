// SPDX-License-Identifier: Apache-2.0
#include "receiver/app/link_rows.h"

#include <cstdio>

#include "core/show_message.h"
#include "net/tcp_info.h"
#include "receiver/app/receiver_rows.h"
#include "receiver/records/record_figures.h"

namespace kelbos {

namespace {

bool is_link(ConnId conn_id) {
    return conn_id >= CONN_FIRST && conn_id <= CONN_LAST;
}

// The tool tip of a link whose datagrams are numbered.
QString datagram_tip(const DatagramStats& stats) {
    return QString("Loss %1 % (%2 of %3 datagrams)\nJitter %4 ms")
        .arg(stats.loss_percent(), 0, 'f', 2)
        .arg(stats.lost())
        .arg(stats.expected())
        .arg(stats.jitter_ms(), 0, 'f', 3);
}

}  // namespace

LinkRows::LinkRows(ConnectionTable& table, ColourSlots& colour_slots, const Scene& scene, JsonLines& json,
                   std::function<std::uint64_t()> clock_ms)
    : table_(table), slots_(colour_slots), scene_(scene), json_(json), clock_ms_(std::move(clock_ms)) {}

LinkRows::~LinkRows() = default;

RowWidget* LinkRows::row(ConnId conn_id) const {
    return conn_id < CONN_TABLE_SIZE ? rows_[conn_id].data() : nullptr;
}

Rgb LinkRows::slot_colour(int slot) const {
    return slots_.colours_of(slot).base;
}

void LinkRows::create_rows(KelboCanvas* canvas) {
    canvas_ = canvas;
    units_.emplace(QFontMetrics(canvas->font()));
    header_ = new HeaderRow(canvas, *units_, HeaderTitles{"Transmitter", "Bits/Kelbo"});
    header_->move(0, 0);

    auto* total = new RowWidget(canvas, *units_);
    total->setObjectName("row0");
    total->setGeometry(0, header_->height(), header_->width(), total->height());
    // Repainted, the TOTAL bar is drawn in the default slot's colour.
    set_up_bar(*total, CONN_NONE, slot_colour(DEFAULT_SLOT));
    ticks_[CONN_NONE].reset();

    ConnectionRecord& record = table_[CONN_NONE];
    rows_[CONN_NONE] = total;
    record.row_state = RowState::live;
    record.bytes_received = 0;
    record.bytes_at_tick = 0;
    fill_row(*total, record, true);
    header_->show();
    total->show();
}

void LinkRows::destroy_rows() {
    delete header_.data();
    delete rows_[CONN_NONE].data();
}

ConnId LinkRows::alloc_conn_id() {
    if (!scene_.scene_loaded) {
        // The box runs a loop in which further links arrive: they are refused without
        // a box of their own, so a burst shows one box rather than a stack of them.
        if (!refusal_box_open_) {
            refusal_box_open_ = true;
            show_message({"Refusing incoming connection because\n", "init file has not been read yet"});
            refusal_box_open_ = false;
        }
        allocation_refusal_ = REFUSED_NO_SCENE;
        return CONN_NONE_FREE;
    }
    const ConnId conn_id = table_.take_free();
    if (conn_id == CONN_NONE_FREE) allocation_refusal_ = REFUSED_FULL;
    return conn_id;
}

void LinkRows::link_refused(const std::string& peer, const char* reason) {
    ++refused_[reason];
    json_.write(RefusedEvent{clock_ms_(), peer, reason});
    journal_.refused(peer, reason, clock_ms_());
}

void LinkRows::new_link(ConnId conn_id, const std::string& peer_name, const std::string& colour_text,
                        std::uint8_t transport, std::uint32_t kelbo_bytes) {
    if (!is_link(conn_id)) return;
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

    RowWidget* total = total_row();
    if (!canvas_ || !total) return;  // the window has gone
    RowWidget* row = rows_[conn_id];
    if (!row) {
        row = new RowWidget(canvas_, *units_);
        row->setObjectName(QString("row%1").arg(conn_id));
        rows_[conn_id] = row;
        place_above_total(*row, *total);
    }
    row->bar()->set_full_scale(static_cast<float>(full_mbits_));
    set_up_bar(*row, conn_id, slot_colour(record.colour_slot));
    fill_row(*row, record, false);
    row->show();
    canvas_->invalidate_all();
    // The whole window is repainted at once, every row with it: the bars show the
    // colours of a repaint until the next tick (TOTAL's in slot 0's colour).
    canvas_->repaint();
}

void LinkRows::set_up_bar(RowWidget& row, ConnId conn_id, Rgb colour) {
    row.bar()->set_repaint_colour(to_qcolor(colour));
    // A repaint draws the rate of the last tick, the number the rate field shows.
    row.bar()->set_rate_source([this, conn_id] { return last_rate(conn_id); });
}

void LinkRows::shutdown_rcv(ConnId conn_id, int reason, const std::string& text) {
    if (!is_link(conn_id)) return;
    ConnectionRecord& record = table_[conn_id];
    if (record.row_state == RowState::free) return;  // no link to end
    if (record.row_state == RowState::dirty) {
        std::printf("shutdown_rcv: conn_id %d which already marked dirty - ignoring\n", conn_id);
        std::fflush(stdout);
        return;
    }
    // Dirty, with its countdown, before the box: ticks run while the box is open.
    record.row_state = RowState::dirty;
    record.removal_countdown = REMOVAL_TICKS;
    if (record.colour_slot != DEFAULT_SLOT) slots_[record.colour_slot].held = false;
    ++ended_[reason];
    json_.write(LinkEndEvent{clock_ms_(), conn_id, record.peer_name, reason, record.bytes_received,
                             datagram_figures(record)});

    // "Stopped" at once: the box may stay unanswered for long.
    if (rows_[conn_id]) show_stopped(*rows_[conn_id]);
    if (reason == REASON_ABORTED)
        show_failure(
            join_message_pieces({"connection to ", record.peer_name.c_str(), " failed\n", text.c_str()}));
}

// One failure box at a time: a failure while one is open waits its turn, and the boxes
// are shown one after another in order once it closes. Each open box holds the call
// that shows it (and the handler under it), so they must not pile up on an unattended
// receiver whose links keep failing.
void LinkRows::show_failure(std::string text) {
    if (failure_box_open_) {
        if (failures_waiting_.size() == WAITING_BOXES_MAX) {
            present_on_stderr(failures_waiting_.front());
            failures_waiting_.pop_front();
        }
        failures_waiting_.push_back(std::move(text));
        return;
    }
    failure_box_open_ = true;
    for (;;) {
        show_message({text.c_str()});
        if (failures_waiting_.empty()) break;
        text = std::move(failures_waiting_.front());
        failures_waiting_.pop_front();
    }
    failure_box_open_ = false;
}

void LinkRows::release_conn_id(ConnId conn_id) {
    table_.give_back(conn_id);
}

void LinkRows::tick_rows(std::uint64_t elapsed_ms) {
    for (int c = 0; c < CONN_TABLE_SIZE; ++c) {
        const ConnectionRecord& record = table_[static_cast<ConnId>(c)];
        if (record.row_state == RowState::free || !rows_[c]) continue;
        tick_row(static_cast<ConnId>(c), elapsed_ms);
    }
    journal_.flush(clock_ms_());
}

void LinkRows::tick_row(ConnId conn_id, std::uint64_t elapsed_ms) {
    ConnectionRecord& record = table_[conn_id];
    if (record.row_state == RowState::dirty) {
        if (record.removal_countdown == 0) {
            remove_row(conn_id);
            return;
        }
        --record.removal_countdown;
    }
    RowTick tick = make_tick(conn_id, record, elapsed_ms, last_rate(conn_id));
    tick.series = series_[conn_id];
    tick.colour = conn_id == CONN_NONE ? TOTAL_TICK_COLOUR : slot_colour(record.colour_slot);
    if (tick.state == RowState::live) {
        show_tick(*rows_[conn_id], tick);
        if (conn_id != CONN_NONE && record.transport == TRANSPORT_TCP) tick.rtt_ms = read_path(conn_id);
        if (conn_id != CONN_NONE && record.datagrams.numbered())
            rows_[conn_id]->setToolTip(datagram_tip(record.datagrams));
    }
    ticks_[conn_id] = std::move(tick);
    write_tick(*ticks_[conn_id]);
}

std::optional<double> LinkRows::read_path(ConnId conn_id) {
    const auto path = link_socket_ ? read_tcp_figures(link_socket_(conn_id)) : std::nullopt;
    // The socket's smoothed round trip, in microseconds like the transmitter's; the
    // receiving side's own estimate (which TCP timestamps make whole milliseconds)
    // only until the socket has one.
    const std::optional<double> rtt_ms =
        path ? std::optional(path->rtt_ms > 0 ? path->rtt_ms : path->rcv_rtt_ms) : std::nullopt;
    rows_[conn_id]->setToolTip(rtt_ms ? QString("Round trip %1 ms").arg(*rtt_ms, 0, 'f', 3)
                                                  : QString());
    return rtt_ms;
}

void LinkRows::set_full_scale(double full_mbits) {
    full_mbits_ = full_mbits;
    std::vector<RateBar*> bars;
    for (RowWidget* row : rows_)
        if (row) bars.push_back(row->bar());
    show_bar_scale(full_mbits, header_, bars);
}

void LinkRows::write_tick(const RowTick& tick) {
    if (!json_.enabled()) return;
    const TickEvent event = tick_event(tick, clock_ms_());
    if (tick.rtt_ms)
        json_.write(event, TickPath{tick.rtt_ms, std::nullopt, std::nullopt});
    else
        json_.write(event);
}

void LinkRows::remove_row(ConnId conn_id) {
    if (!is_link(conn_id)) return;
    ConnectionRecord& record = table_[conn_id];
    RowWidget* const row = rows_[conn_id];
    if (!row) return;
    const QRect place = row->geometry();
    const int bottom = place.y() + place.height();
    json_.write(RowRemovedEvent{clock_ms_(), conn_id, record.peer_name});
    delete row;
    table_.set_free(conn_id);
    ticks_[conn_id].reset();
    // Every row below the removed one moves up into its place, TOTAL included.
    for (int c = 0; c < CONN_TABLE_SIZE; ++c) {
        RowWidget* other = rows_[c];
        if (table_[static_cast<ConnId>(c)].row_state == RowState::free || !other) continue;
        const QRect g = other->geometry();
        if (g.y() + g.height() > bottom) other->move(g.x(), g.y() - place.height());
    }
    if (canvas_) canvas_->update();
}

}  // namespace kelbos
