#include "loop_monitor.h"

#include <QEvent>
#include <QWidget>
#include <cstdio>
#include <cstring>

#include "clock.h"

namespace kelbos {

namespace {
// A turn of the loop runs this timer; the time between two of its runs bounds how
// long the loop went without a turn. Short enough to see a 20 ms stall, long enough
// to cost nothing.
constexpr int TICK_MS = 5;
}  // namespace

LoopMonitor::LoopMonitor(std::uint64_t start_ms, QObject* parent) : QObject(parent), start_ms_(start_ms) {
    ticker_.setTimerType(Qt::PreciseTimer);
    ticker_.setInterval(TICK_MS);
    connect(&ticker_, &QTimer::timeout, this, [this] { on_tick(); });
    last_turn_ms_ = now_ms();
    ticker_.start();
}

void LoopMonitor::on_tick() {
    const std::uint64_t now = now_ms();
    if (now - last_turn_ms_ > max_gap_ms_) max_gap_ms_ = now - last_turn_ms_;
    last_turn_ms_ = now;
}

void LoopMonitor::watch_first_frame(QWidget* widget) {
    if (widget) widget->installEventFilter(this);
}

bool LoopMonitor::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Paint && first_frame_ms_ < 0) {
        first_frame_ms_ = static_cast<std::int64_t>(now_ms() - start_ms_);
        watched->removeEventFilter(this);
    }
    return false;
}

std::string LoopMonitor::exit_event() const {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "{\"event\":\"exit\",\"time_ms\":%llu,\"max_loop_gap_ms\":%llu,\"first_frame_ms\":%lld,"
                  "\"peak_rss_kb\":%llu}",
                  static_cast<unsigned long long>(now_ms() - start_ms_),
                  static_cast<unsigned long long>(max_gap_ms_), static_cast<long long>(first_frame_ms_),
                  static_cast<unsigned long long>(peak_resident_kb()));
    return buf;
}

std::uint64_t peak_resident_kb() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    unsigned long long kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmHWM:", 6) == 0) std::sscanf(line + 6, "%llu", &kb);
    std::fclose(f);
    return kb;
}

}  // namespace kelbos
