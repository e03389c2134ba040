// SPDX-License-Identifier: Apache-2.0
#include "transmitter/app/transmitter_program.h"

#include <QColorDialog>
#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <cmath>

#include "core/rate.h"
#include "net/tcp_info.h"
#include "shell/kelbo_canvas.h"
#include "shell/rate_views.h"
#include "shell/row_widget.h"
#include "shell/scene_commands.h"
#include "transmitter/app/settings_dialog.h"
#include "transmitter/app/transmitter_window.h"

namespace kelbos {

TransmitterProgram::TransmitterProgram(TransmitterOptions options)
    : options_(std::move(options)), settings_(init_defaults()), json_(options_.json, options_.json_out) {
    brushes_.kelbo_colour = DEFAULT_KELBO_COLOUR;
    make_kelbo_brushes(brushes_);
    LoopOptions loop_options;
    loop_options.link = LinkOptions{options_.ports, options_.link_wait};
    loop_options.link.send_path = options_.send_path;
    loop_options.link.sockets = options_.sockets;
    loop_options.slice = options_.slice;
    loop_ =
        std::make_unique<TransmitLoop>(TransmitInputs{settings_, scene_, brushes_.colour_text, local_host_},
                                       counters_, static_cast<TransmitShell&>(*this), loop_options);
    custom_colours_.fill(qRgb(0, 0, 0));
}

TransmitterProgram::~TransmitterProgram() {
    // The loop and the rate tick draw into the window: stop both before it goes.
    loop_->abandon();
    tick_timer_.stop();
    window_.reset();
}

void TransmitterProgram::set_kelbo_colour(Rgb colour) {
    brushes_.kelbo_colour = colour;
    make_kelbo_brushes(brushes_);
    if (!window_) return;
    window_->set_bar_colour(brushes_.base);
    window_->canvas().invalidate_all();
}

void TransmitterProgram::start_up(const std::vector<std::string>& words) {
    load_startup_scene(scene_, words);
    local_host_ = local_host_name();
    create_window();
}

void TransmitterProgram::create_window() {
    window_ = std::make_unique<TransmitterWindow>([this](int id) { do_command(id); }, [this] { quit_app(); });
    KelboCanvas& canvas = window_->canvas();
    canvas.set_paint_handler([this, &canvas](QPainter& painter, const QRect& update) {
        paint_scene(painter, update, scene_, canvas.client_bottom(), brushes_);
    });
    window_->set_bar_colour(brushes_.base);
    tick_timer_.setInterval(options_.row_period);
    connect(&tick_timer_, &QTimer::timeout, this, &TransmitterProgram::tick);
    views_ = new RateViews(window_.get(), options_.bar_scale, [this](double full) {
        show_bar_scale(full, &window_->header_row(), {window_->value_row().bar()});
    });
    publish_metrics(0);
}

void TransmitterProgram::show() {
    window_->show();
    if (options_.rate_history) views_->open_history();
    if (options_.go) QMetaObject::invokeMethod(this, &TransmitterProgram::go_now, Qt::QueuedConnection);
    if (options_.time_seconds) {
        const auto ms = static_cast<std::int64_t>(std::llround(*options_.time_seconds * 1000.0));
        QTimer::singleShot(std::chrono::milliseconds(ms), this, &TransmitterProgram::time_up);
    }
}

bool TransmitterProgram::do_command(int id) {
    switch (id) {
        case ID_OPEN:
            open_scene_file();
            return true;
        case ID_EXIT:
            quit_app();
            return true;
        case ID_COLOR:
            choose_kelbo_color();
            return true;
        case ID_SETTINGS:
            show_settings();
            return true;
        case ID_GO:
            loop_->start_transmit();
            return true;
        case ID_HALT:
            loop_->halt_transmit();
            return true;
        default:
            return false;  // "&Save settings" does nothing
    }
}

void TransmitterProgram::open_scene_file() {
    kelbos::open_scene_file(window_.get(), scene_, [this] { window_->canvas().invalidate_all(); });
}

void TransmitterProgram::choose_kelbo_color() {
    const Rgb c = brushes_.kelbo_colour;
    QColorDialog dialog(QColor(c.r, c.g, c.b), window_.get());
    dialog.setOption(QColorDialog::DontUseNativeDialog);
    for (int i = 0; i < 16; ++i) QColorDialog::setCustomColor(i, QColor::fromRgb(custom_colours_[i]));
    const bool chosen = dialog.exec() == QDialog::Accepted;
    for (int i = 0; i < 16; ++i) custom_colours_[i] = QColorDialog::customColor(i).rgb();
    // A cancelled dialog keeps the colour; the brushes are made and drawn anew anyway.
    Rgb colour = c;
    if (chosen) {
        const QColor q = dialog.selectedColor();
        colour = Rgb{static_cast<std::uint8_t>(q.red()), static_cast<std::uint8_t>(q.green()),
                     static_cast<std::uint8_t>(q.blue())};
    }
    set_kelbo_colour(colour);
}

void TransmitterProgram::show_settings() {
    SettingsDialog dialog(settings_, window_.get());
    dialog.exec();
    if (dialog.outcome() == SettingsDialog::Outcome::go && !quitting_) loop_->start_transmit();
}

void TransmitterProgram::quit_app() {
    quitting_ = true;
    loop_->abandon();
    if (window_) row_stop();
    const int status = exit_status();
    if (options_.quit)
        options_.quit(status);
    else
        QCoreApplication::exit(status);
}

void TransmitterProgram::set_transmitting(bool transmitting) {
    CommandMenu& menu = window_->menu();
    for (int id : {ID_GO, ID_SETTINGS, ID_COLOR, ID_OPEN, ID_SAVE_SETTINGS})
        menu.set_enabled(id, !transmitting);
    menu.set_enabled(ID_HALT, transmitting);
}

void TransmitterProgram::rearm_picture() {
    kelbos::rearm_picture(scene_, window_->canvas());
}

void TransmitterProgram::take_kelbos(std::uint64_t count) {
    kelbos::take_kelbos(scene_, window_->canvas(), count);
}

void TransmitterProgram::row_start() {
    ++transmissions_;
    ticked_ = false;
    tick_timer_.start();
    sent_ = SendFigures{settings_.receiver_name, protocol_text(settings_.transport), settings_.kelbo_size};
    window_->show_transmission(sent_.name, sent_.protocol, sent_.kelbo_bits);
    meter_.start(now_ms(), counters_.total_bytes);
}

void TransmitterProgram::row_stop() {
    tick_timer_.stop();
    window_->show_stopped();
}

// While the link opens, Go, Settings, Open, Color and Save settings are grayed, as
// Halt is already. A Go that fails leaves the menu as it was.
void TransmitterProgram::open_started() {
    save_was_enabled_ = window_->menu().is_enabled(ID_SAVE_SETTINGS);
    for (int id : {ID_GO, ID_SETTINGS, ID_COLOR, ID_OPEN, ID_SAVE_SETTINGS})
        window_->menu().set_enabled(id, false);
}

void TransmitterProgram::start_refused() {
    for (int id : {ID_GO, ID_SETTINGS, ID_COLOR, ID_OPEN}) window_->menu().set_enabled(id, true);
    window_->menu().set_enabled(ID_SAVE_SETTINGS, save_was_enabled_);
    if (go_running_) {
        go_running_ = false;
        go_failed_ = true;
        if (options_.headless && !quitting_) quit_app();
    }
    resume_time_up();
}

void TransmitterProgram::transmission_started() {
    resume_time_up();
}

// The time that ran out while the link opened is acted on now that the Go is over.
void TransmitterProgram::resume_time_up() {
    if (!time_up_after_go_) return;
    time_up_after_go_ = false;
    QMetaObject::invokeMethod(this, &TransmitterProgram::time_up, Qt::QueuedConnection);
}

// Until the halt is over the row keeps its last values and, with Go, Settings, Open
// and Color, Halt is grayed too.
void TransmitterProgram::halt_started() {
    window_->menu().set_enabled(ID_HALT, false);
    tick_timer_.stop();
}

void TransmitterProgram::transmission_ended(End how) {
    const std::uint64_t elapsed = now_ms() - loop_->started_ms();
    const char* how_text = how == End::halted ? "halted" : how == End::aborted ? "aborted" : "halt failed";
    EndEvent end{program_ms(),
                 counters_.total_bytes,
                 static_cast<double>(elapsed) / 1000.0,
                 rate_mbits(counters_.total_bytes, elapsed),
                 how_text,
                 datagrams_sent(),
                 target_mbits()};
    if (how == End::halted && loop_->limit_reached()) end.byte_limit = settings_.byte_limit;
    json_.write(end);
    ++(how == End::halted ? figures_.halted : how == End::aborted ? figures_.aborted : figures_.halt_failed);
    publish_metrics(0);
    // A transmission that ended before its row's first tick is one point in the history.
    if (!ticked_) views_->ticked({history_rate(rate_mbits(counters_.total_bytes, elapsed))});
    if (quit_after_halt_ && !quitting_)
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!quitting_) quit_app();
            },
            Qt::QueuedConnection);
    if (!go_running_) return;
    go_running_ = false;
    go_failed_ = how != End::halted;
    if (options_.headless && !quitting_) quit_app();
}

void TransmitterProgram::go_now() {
    if (quitting_) return;
    go_running_ = true;
    loop_->start_transmit();  // a refusal ends the program at once when headless
}

void TransmitterProgram::time_up() {
    if (quitting_) return;
    // A Go under way is let finish: a transmission it starts is halted then, and one
    // it fails to start ends the program as it would have without the time.
    if (loop_->opening()) {
        time_up_after_go_ = true;
        return;
    }
    // A halt, under way or begun now, is let finish; the program ends after it.
    if (loop_->halting() || loop_->transmitting()) {
        quit_after_halt_ = true;
        if (!loop_->halting()) loop_->halt_transmit();
        return;
    }
    quit_app();
}

void TransmitterProgram::tick() {
    const double rate = sent_.rate = meter_.sample(now_ms(), counters_.total_bytes);
    window_->show_rate(rate);
    publish_metrics(rate);
    RowWidget& row = window_->value_row();
    // A TCP link's path as the kernel sees it: in the JSON line and the row's tool tip.
    std::optional<TcpFigures> path;
    if (loop_->active_transport() == TRANSPORT_TCP) path = read_tcp_figures(loop_->link().data_fd());
    row.setToolTip(path ? QString("Round trip %1 ms\nRetransmits %2\nCongestion window %3 bytes")
                              .arg(path->rtt_ms, 0, 'f', 3)
                              .arg(path->retransmits)
                              .arg(path->cwnd_bytes)
                        : QString());
    if (json_.enabled()) {
        const TickEvent tick{program_ms(),
                             sent_.name,
                             loop_->link().conn_id(),
                             sent_.protocol,
                             sent_.kelbo_bits,
                             rate,
                             counters_.total_bytes,
                             datagrams_sent(),
                             target_mbits()};
        if (path)
            json_.write(tick, TickPath{path->rtt_ms, path->retransmits, path->cwnd_bytes});
        else
            json_.write(tick);
    }
    ticked_ = true;
    views_->ticked({history_rate(rate)});
}

// The transmission's line in the rate history, named by its receiver and ConnId.
RowRate TransmitterProgram::history_rate(double rate) const {
    const QString name = QString::fromStdString(sent_.name);
    return RowRate{transmissions_, QString("%1 #%2").arg(name).arg(loop_->link().conn_id()).toStdString(),
                   brushes_.kelbo_colour, rate};
}

// The figures of the tick (or end) just shown: the same the row and the JSON lines show.
void TransmitterProgram::publish_metrics(double rate) {
    if (!options_.metrics) return;
    figures_.sent_bytes = counters_.total_bytes;
    figures_.rate_mbits = rate;
    options_.metrics->publish(metric_families(figures_));
}

std::optional<DatagramFigures> TransmitterProgram::datagrams_sent() const {
    if (loop_->link().transport() != TRANSPORT_UDP) return std::nullopt;
    return DatagramFigures{loop_->link().datagrams_sent()};
}

std::optional<double> TransmitterProgram::target_mbits() const {
    if (settings_.rate_bps == 0) return std::nullopt;
    return static_cast<double>(settings_.rate_bps) / 1e6;
}

std::uint64_t TransmitterProgram::program_ms() const {
    return now_ms() - options_.start_ms;
}

}  // namespace kelbos
