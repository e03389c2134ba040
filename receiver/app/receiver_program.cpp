// SPDX-License-Identifier: Apache-2.0
#include "receiver/app/receiver_program.h"

#include <QCoreApplication>
#include <cmath>
#include <cstdio>

#include "core/clock.h"
#include "core/show_message.h"
#include "metrics/metrics.h"
#include "receiver/app/receiver_rows.h"
#include "receiver/counting/kelbo_counting.h"
#include "receiver/records/record_figures.h"
#include "shell/kelbo_canvas.h"
#include "shell/rate_views.h"
#include "shell/row_widget.h"
#include "shell/scene_commands.h"

namespace kelbos {

ReceiverProgram::ReceiverProgram(ReceiverOptions options)
    : options_(std::move(options)),
      start_ms_(now_ms()),
      scene_(std::make_unique<Scene>()),
      json_(options_.json, options_.json_out),
      rows_(connections_, colour_slots_, *scene_, json_, [this] { return now_ms() - start_ms_; }),
      picture_(*scene_, colour_slots_) {
    connections_.reset();
    colour_slots_.reset();
    colour_slots_.set_default();
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
    rows_.create_rows(canvas);
    window_->fit_to_rows(
        QSize(rows_.header()->width(), rows_.header()->height() + rows_.total_row()->height()));

    tick_timer_.setInterval(options_.tick_period);
    connect(&tick_timer_, &QTimer::timeout, this, [this] { tick_rows(); });
    last_tick_ms_ = now_ms();
    tick_timer_.start();

    window_->menu().set_enabled(CMD_STOP, false);
    views_ =
        new RateViews(window_.get(), options_.bar_scale, [this](double full) { rows_.set_full_scale(full); });
    start_communications();
}

void ReceiverProgram::start_communications() {
    EngineCallbacks callbacks;
    callbacks.alloc_conn_id = [this] { return rows_.alloc_conn_id(); };
    callbacks.new_link = [this](ConnId c, const std::string& name, const std::string& colour,
                                std::uint8_t transport, std::uint32_t kelbo_bytes) {
        rows_.new_link(c, name, colour, transport, kelbo_bytes);
    };
    callbacks.more_data = [this](std::int8_t c, std::uint32_t bytes) { more_data(c, bytes); };
    callbacks.datagram_numbers = [this](ConnId c, const DatagramNumbers& numbers, std::uint64_t arrival_ns) {
        ConnectionRecord& record = connections_[c];
        if (record.row_state != RowState::free)
            record.datagrams.add(numbers.sequence, numbers.send_ns, arrival_ns);
    };
    callbacks.shutdown_rcv = [this](ConnId c, int reason, const std::string& text) {
        rows_.shutdown_rcv(c, reason, text);
    };
    callbacks.release_conn_id = [this](ConnId c) { rows_.release_conn_id(c); };
    callbacks.link_stopped = [this](ConnId c) { return connections_[c].row_state == RowState::dirty; };
    callbacks.remove_stopped = [this](ConnId c) { rows_.remove_row(c); };
    callbacks.link_refused = [this](const SocketAddress& peer, Refusal why) {
        const char* reason = why == Refusal::host_limit    ? REFUSED_HOST_LIMIT
                             : why == Refusal::not_allowed ? REFUSED_NOT_ALLOWED
                                                           : rows_.allocation_refusal();
        rows_.link_refused(address_text(peer), reason);
    };
    engine_ = std::make_unique<LinkEngine>(std::move(callbacks), options_.engine);
    rows_.set_link_socket([this](ConnId c) { return engine_ ? engine_->link_socket(c) : -1; });
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
    const std::uint64_t kelbos = count_bytes(connections_, c, bytes);
    if (kelbos > 0) picture_.place(kelbos, connections_[c].colour_slot);
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
    rows_.destroy_rows();
}

void ReceiverProgram::tick_rows() {
    const std::uint64_t now = now_ms();
    rows_.tick_rows(now - last_tick_ms_);
    last_tick_ms_ = now;
    if (views_) {
        // The live rows, TOTAL first, each link a line of its own.
        std::vector<RowRate> rates;
        for (const std::optional<RowTick>& tick : rows_.ticks())
            if (tick && tick->state == RowState::live) rates.push_back(row_rate(*tick));
        views_->ticked(rates);
    }
    publish_metrics();
}

// The figures of the tick just shown: the rows' ticks, as the JSON lines give them.
void ReceiverProgram::publish_metrics() {
    if (!options_.metrics) return;
    ReceiverFigures figures;
    for (const std::optional<RowTick>& tick : rows_.ticks()) {
        if (!tick) continue;
        if (tick->conn_id == CONN_NONE) {
            figures.all_bytes = tick->bytes;
            continue;
        }
        (tick->state == RowState::dirty ? figures.stopped : figures.live) += 1;
        figures.links.push_back(link_figures(*tick));
    }
    figures.refused = rows_.refused();
    figures.setting_up = engine_ ? engine_->links_setting_up() : 0;
    figures.ended = rows_.ended();
    options_.metrics->publish(metric_families(figures));
}

}  // namespace kelbos
