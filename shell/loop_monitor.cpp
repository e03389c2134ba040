// SPDX-License-Identifier: Apache-2.0
#include "shell/loop_monitor.h"

#include <QEvent>
#include <QWidget>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/clock.h"

namespace kelbos {

namespace {
// A turn of the loop runs this timer; the time between two of its runs bounds how
// long the loop went without a turn. Short enough to see a 20 ms stall, long enough
// to cost nothing.
constexpr int TICK_MS = 5;

// Processor time used by the calling thread.
std::uint64_t thread_cpu_us() {
    timespec t{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
    return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(t.tv_nsec) / 1000u;
}
}  // namespace

LoopMonitor::LoopMonitor(std::uint64_t start_ms, QObject* parent) : QObject(parent), start_ms_(start_ms) {
    ticker_.setTimerType(Qt::PreciseTimer);
    ticker_.setInterval(TICK_MS);
    connect(&ticker_, &QTimer::timeout, this, [this] { on_tick(); });
    last_turn_ms_ = now_ms();
    last_cpu_us_ = thread_cpu_us();
    ticker_.start();
}

void LoopMonitor::on_tick() {
    const std::uint64_t now = now_ms();
    const std::uint64_t cpu = thread_cpu_us();
    if (now - last_turn_ms_ > max_gap_ms_) {
        max_gap_ms_ = now - last_turn_ms_;
        max_gap_at_ms_ = now - start_ms_;
        max_gap_busy_us_ = cpu - last_cpu_us_;
    }
    if (cpu - last_cpu_us_ > max_busy_us_) max_busy_us_ = cpu - last_cpu_us_;
    last_turn_ms_ = now;
    last_cpu_us_ = cpu;
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

std::string LoopMonitor::exit_event(const std::string& extra) const {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "{\"event\":\"exit\",\"time_ms\":%llu,\"max_loop_gap_ms\":%llu,\"max_loop_gap_at_ms\":%llu,"
                  "\"max_loop_gap_busy_ms\":%llu.%llu,\"max_loop_busy_ms\":%llu.%llu,\"first_frame_ms\":%lld,"
                  "\"peak_rss_kb\":%llu}",
                  static_cast<unsigned long long>(now_ms() - start_ms_),
                  static_cast<unsigned long long>(max_gap_ms_), static_cast<unsigned long long>(max_gap_at_ms_),
                  static_cast<unsigned long long>(max_gap_busy_us_ / 1000),
                  static_cast<unsigned long long>(max_gap_busy_us_ % 1000 / 100),
                  static_cast<unsigned long long>(max_busy_us_ / 1000),
                  static_cast<unsigned long long>(max_busy_us_ % 1000 / 100), static_cast<long long>(first_frame_ms_),
                  static_cast<unsigned long long>(peak_resident_kb()));
    std::string line = buf;
    if (!extra.empty()) line.insert(line.size() - 1, "," + extra);
    return line;
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
