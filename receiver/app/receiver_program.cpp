// SPDX-License-Identifier: Apache-2.0
#include "receiver/app/receiver_program.h"

#include <QCoreApplication>
#include <cmath>
#include <cstdio>

#include "core/clock.h"
#include "core/show_message.h"
#include "metrics/metrics.h"
#include "net/tcp_info.h"
#include "receiver/counting/kelbo_counting.h"
#include "receiver/records/record_figures.h"
#include "shell/kelbo_canvas.h"
#include "shell/rate_views.h"
#include "shell/scene_commands.h"

namespace kelbos {

ReceiverProgram::ReceiverProgram(ReceiverOptions options)
    : options_(std::move(options)),
      start_ms_(now_ms()),
      scene_(std::make_unique<Scene>()),
      json_(options_.json, options_.json_out),
      strip_(ledger_),
      picture_(*scene_, ledger_.colour_slots()) {
    load_startup_scene(*scene_, options_.words);
    create_window();
    publish_metrics();
    if (options_.time_seconds) {
        time_limit_.setSingleShot(true);
        connect(&time_limit_, &QTimer::timeout, this, &ReceiverProgram::quit_app);
        const double ms = std::ceil(*options_.time_seconds * 1000.0);
        time_limit_.start(static_cast<int>(std::min(ms, 2147483647.0)));
    }
}

ReceiverProgram::~ReceiverProgram() {
    tick_timer_.stop();
    // The engine first: no callback may reach rows that are about to go.
    engine_.reset();
    picture_.set_canvas(nullptr);
    window_.reset();
}

void ReceiverProgram::create_window() {
    window_ = std::make_unique<ReceiverWindow>([this](int id) { do_command(id); }, [this] { quit_app(); });
    KelboCanvas* canvas = window_->canvas();
    picture_.set_canvas(canvas);
    ledger_.open_strip();
    strip_.create_rows(canvas);
    window_->fit_to_rows(strip_.first_size());

    tick_timer_.setInterval(options_.tick_period);
    connect(&tick_timer_, &QTimer::timeout, this, [this] { tick_rows(); });
    last_tick_ms_ = now_ms();
    tick_timer_.start();

    window_->menu().set_enabled(CMD_STOP, false);
    views_ = new RateViews(window_.get(), options_.bar_scale,
                           [this](double full) { strip_.set_full_scale(full); });
    start_communications();
}

void ReceiverProgram::start_communications() {
    EngineCallbacks callbacks;
    callbacks.alloc_conn_id = [this] { return alloc_conn_id(); };
    callbacks.new_link = [this](ConnId c, const std::string& name, const std::string& colour,
                                std::uint8_t transport, std::uint32_t kelbo_bytes) {
        new_link(c, name, colour, transport, kelbo_bytes);
    };
    callbacks.more_data = [this](std::int8_t c, std::uint32_t bytes) { more_data(c, bytes); };
    callbacks.datagram_numbers = [this](ConnId c, const DatagramNumbers& numbers, std::uint64_t arrival_ns) {
        ConnectionRecord& record = ledger_.table()[c];
        if (record.row_state != RowState::free)
            record.datagrams.add(numbers.sequence, numbers.send_ns, arrival_ns);
    };
    callbacks.shutdown_rcv = [this](ConnId c, int reason, const std::string& text) {
        shutdown_rcv(c, reason, text);
    };
    callbacks.release_conn_id = [this](ConnId c) { release_conn_id(c); };
    callbacks.link_stopped = [this](ConnId c) { return ledger_.table()[c].row_state == RowState::dirty; };
    callbacks.remove_stopped = [this](ConnId c) { remove_row(c); };
    callbacks.link_refused = [this](const SocketAddress& peer, Refusal why) {
        const char* reason = why == Refusal::host_limit    ? REFUSED_HOST_LIMIT
                             : why == Refusal::not_allowed ? REFUSED_NOT_ALLOWED
                                                           : ledger_.allocation_refusal();
        link_refused(address_text(peer), reason);
    };
    engine_ = std::make_unique<LinkEngine>(std::move(callbacks), options_.engine);
    comm_status_ = engine_->comm_init();
    if (comm_status_ != LinkStatus::ok) {
        const std::string error = error_text(engine_->last_error());
        show_message(
            {"Communications initialization failed\n", status_text(comm_status_), "\n", error.c_str()});
    }
}

void ReceiverProgram::more_data(std::int8_t conn_id, std::uint32_t bytes) {
    if (conn_id < static_cast<int>(CONN_FIRST) || conn_id > static_cast<int>(CONN_LAST)) {
        std::printf("more_data: entered with conn_id=%d.  Ignored.\n", static_cast<int>(conn_id));
        std::fflush(stdout);
        return;
    }
    // The records first; then the picture, with the kelbos the bytes completed.
    const auto c = static_cast<ConnId>(conn_id);
    const std::uint64_t kelbos = count_bytes(ledger_.table(), c, bytes);
    if (kelbos > 0) picture_.place(kelbos, ledger_.table()[c].colour_slot);
}

std::uint64_t ReceiverProgram::clock_ms() const {
    return now_ms() - start_ms_;
}

ConnId ReceiverProgram::alloc_conn_id() {
    const bool scene_loaded = scene_->scene_loaded;
    // The box runs a loop in which further links arrive: they are refused without a
    // box of their own, so a burst shows one box rather than a stack of them.
    if (!scene_loaded && !refusal_box_open_) {
        refusal_box_open_ = true;
        show_message({"Refusing incoming connection because\n", "init file has not been read yet"});
        refusal_box_open_ = false;
    }
    return ledger_.alloc_conn_id(scene_loaded);
}

void ReceiverProgram::link_refused(const std::string& peer, const char* reason) {
    ledger_.count_refusal(reason);
    json_.write(RefusedEvent{clock_ms(), peer, reason});
    journal_.refused(peer, reason, clock_ms());
}

void ReceiverProgram::new_link(ConnId conn_id, const std::string& peer_name, const std::string& colour_text,
                               std::uint8_t transport, std::uint32_t kelbo_bytes) {
    if (ledger_.new_link(conn_id, peer_name, colour_text, transport, kelbo_bytes)) strip_.add_row(conn_id);
}

void ReceiverProgram::shutdown_rcv(ConnId conn_id, int reason, const std::string& text) {
    // Dirty, with its countdown, before the box: ticks run while the box is open.
    if (!ledger_.end_link(conn_id, reason)) return;
    const ConnectionRecord& record = ledger_.table()[conn_id];
    json_.write(LinkEndEvent{clock_ms(), conn_id, record.peer_name, reason, record.bytes_received,
                             datagram_figures(record)});
    // "Stopped" at once: the box may stay unanswered for long.
    strip_.show_stopped(conn_id);
    if (reason == REASON_ABORTED)
        show_failure(
            join_message_pieces({"connection to ", record.peer_name.c_str(), " failed\n", text.c_str()}));
}

// One failure box at a time: a failure while one is open waits its turn, and the boxes
// are shown one after another in order once it closes. Each open box holds the call
// that shows it (and the handler under it), so they must not pile up on an unattended
// receiver whose links keep failing.
void ReceiverProgram::show_failure(std::string text) {
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

void ReceiverProgram::remove_row(ConnId conn_id) {
    if (const std::optional<std::string> peer_name = ledger_.remove(conn_id))
        row_removed(conn_id, *peer_name);
}

void ReceiverProgram::row_removed(ConnId conn_id, const std::string& peer_name) {
    json_.write(RowRemovedEvent{clock_ms(), conn_id, peer_name});
    strip_.remove_row(conn_id);
}

std::string ReceiverProgram::exit_fields() const {
    const int buffer = engine_ && engine_->datagram_socket() >= 0 ? engine_->datagram_receive_buffer() : -1;
    return "\"foreign_datagrams\":" + std::to_string(engine_ ? engine_->foreign_datagrams() : 0) +
           ",\"udp_receive_buffer\":" + std::to_string(buffer);
}

void ReceiverProgram::show() {
    if (!window_) return;
    window_->show();
    if (options_.rate_history) views_->open_history();
}

KelboCanvas* ReceiverProgram::canvas() const {
    return window_ ? window_->canvas() : nullptr;
}

void ReceiverProgram::redraw() {
    if (KelboCanvas* c = canvas()) c->invalidate_all();
}

void ReceiverProgram::do_command(int id) {
    switch (id) {
        case CMD_OPEN:
            open_scene_file(window_.get(), *scene_, [this] { redraw(); });
            break;
        case CMD_EXIT:
            quit_app();
            break;
        default:
            break;
    }
}

void ReceiverProgram::quit_app() {
    if (options_.quit)
        options_.quit(0);
    else
        QCoreApplication::exit(0);
    ledger_.close_strip();
    strip_.destroy_rows();
}

void ReceiverProgram::tick_rows() {
    const std::uint64_t now = now_ms();
    const std::uint64_t elapsed_ms = now - last_tick_ms_;
    last_tick_ms_ = now;
    tick_rows(elapsed_ms);
}

void ReceiverProgram::tick_rows(std::uint64_t elapsed_ms) {
    for (RowStep& step : ledger_.tick(elapsed_ms)) {
        if (!step.tick) {
            row_removed(step.conn_id, step.removed_peer);
            continue;
        }
        RowTick& tick = *step.tick;
        if (tick.state == RowState::live) {
            if (tick.conn_id != CONN_NONE && ledger_.table()[tick.conn_id].transport == TRANSPORT_TCP)
                tick.rtt_ms = read_path(tick.conn_id);
            strip_.show_tick(tick);
        }
        write_tick(tick);
    }
    journal_.flush(clock_ms());
    if (views_) {
        // The live rows, TOTAL first, each link a line of its own.
        std::vector<RowRate> rates;
        for (const std::optional<RowTick>& tick : ledger_.ticks())
            if (tick && tick->state == RowState::live) rates.push_back(row_rate(*tick));
        views_->ticked(rates);
    }
    publish_metrics();
}

std::optional<double> ReceiverProgram::read_path(ConnId conn_id) {
    const auto path = engine_ ? read_tcp_figures(engine_->link_socket(conn_id)) : std::nullopt;
    // The socket's smoothed round trip, in microseconds like the transmitter's; the
    // receiving side's own estimate (which TCP timestamps make whole milliseconds)
    // only until the socket has one.
    return path ? std::optional(path->rtt_ms > 0 ? path->rtt_ms : path->rcv_rtt_ms) : std::nullopt;
}

void ReceiverProgram::write_tick(const RowTick& tick) {
    if (!json_.enabled()) return;
    const TickEvent event = tick_event(tick, clock_ms());
    if (tick.rtt_ms)
        json_.write(event, TickPath{tick.rtt_ms, std::nullopt, std::nullopt});
    else
        json_.write(event);
}

// The figures of the tick just shown: the rows' ticks, as the JSON lines give them.
void ReceiverProgram::publish_metrics() {
    if (!options_.metrics) return;
    ReceiverFigures figures;
    for (const std::optional<RowTick>& tick : ledger_.ticks()) {
        if (!tick) continue;
        if (tick->conn_id == CONN_NONE) {
            figures.all_bytes = tick->bytes;
            continue;
        }
        (tick->state == RowState::dirty ? figures.stopped : figures.live) += 1;
        figures.links.push_back(link_figures(*tick));
    }
    figures.refused = ledger_.refused();
    figures.setting_up = engine_ ? engine_->links_setting_up() : 0;
    figures.ended = ledger_.ended();
    options_.metrics->publish(metric_families(figures));
}

}  // namespace kelbos
