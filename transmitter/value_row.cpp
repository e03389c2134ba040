// SPDX-License-Identifier: Apache-2.0
#include "value_row.h"

#include "rate.h"
#include "settings.h"
#include "status_row.h"

namespace kelbos {

ValueRow::ValueRow(StatusRow& row, ByteCounters& counters, std::chrono::milliseconds period, QObject* parent)
    : QObject(parent), row_(row), counters_(counters) {
    timer_.setInterval(period);
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
}

void ValueRow::start(const CommSettings& settings, std::uint64_t now) {
    timer_.start();
    row_.set_name(QString::fromStdString(settings.receiver_name));
    row_.set_protocol(protocol_text(settings.transport));
    row_.set_kelbo_bits(QString::number(settings.kelbo_size));
    row_.set_rate_text("0.0000");
    tick_time_ = now;
}

double ValueRow::tick(std::uint64_t now) {
    const std::uint64_t bytes = counters_.total_bytes - counters_.rate_mark_bytes;
    const std::uint64_t elapsed = now - tick_time_;
    tick_time_ = now;
    counters_.rate_mark_bytes = counters_.total_bytes;
    const double rate = rate_mbits(bytes, elapsed);
    row_.set_rate_text(QString::fromStdString(rate_text(rate)));
    row_.bar()->draw_for_tick(static_cast<float>(rate), bar_colour_);
    if (tick_listener_) tick_listener_(rate);
    return rate;
}

void ValueRow::stop() {
    timer_.stop();
    row_.set_protocol("Stopped");
    row_.update();
}

void ValueRow::set_bar_colour(QColor colour) {
    bar_colour_ = colour;
    row_.bar()->set_repaint_colour(colour);
}

}  // namespace kelbos
