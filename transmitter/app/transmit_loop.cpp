// SPDX-License-Identifier: Apache-2.0
#include "transmitter/app/transmit_loop.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QMetaObject>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "core/clock.h"
#include "core/scene.h"
#include "core/show_message.h"
#include "transmitter/app/settings.h"

namespace kelbos {

std::uint64_t backoff_ms(std::uint32_t delay_ms) {
    if (delay_ms == 0) return 2;
    if (delay_ms == UINT32_MAX) return 4;
    return std::uint64_t{delay_ms} + 2;
}

namespace {
// QTimer counts in int milliseconds: longer periods wait as long as it can.
std::chrono::milliseconds timer_period(std::uint64_t ms) {
    return std::chrono::milliseconds(std::min<std::uint64_t>(ms, INT_MAX));
}

// The steady clock (CLOCK_MONOTONIC, the timerfd's clock) in nanoseconds.
std::int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A paced message due sooner than this is waited for on the spot: a wake through the
// event loop takes about as long.
constexpr std::int64_t SHORT_WAIT_NS = 20'000;

}  // namespace

TransmitLoop::TransmitLoop(TransmitInputs inputs, ByteCounters& counters, TransmitShell& shell,
                           LoopOptions options, QObject* parent)
    : QObject(parent),
      in_(inputs),
      counters_(counters),
      shell_(shell),
      options_(options),
      link_(options.link),
      write_notifier_(new QSocketNotifier(QSocketNotifier::Write, this)),
      pace_timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
    if (pace_timer_) {
        pace_notifier_ = new QSocketNotifier(pace_timer_.fd(), QSocketNotifier::Read, this);
        pace_notifier_->setEnabled(false);
        connect(pace_notifier_, &QSocketNotifier::activated, this, &TransmitLoop::on_pace_timer);
    }
    send_timer_.setSingleShot(true);
    send_timer_.setTimerType(Qt::PreciseTimer);
    connect(&send_timer_, &QTimer::timeout, this, &TransmitLoop::on_timer);
    connect(write_notifier_, &QSocketNotifier::activated, this, &TransmitLoop::on_writable);
}

TransmitLoop::~TransmitLoop() {
    cancel_schedule();
}

bool TransmitLoop::waiting_for_writable() const {
    return write_notifier_->isEnabled();
}

void TransmitLoop::start_transmit() {
    if (halting_ || opening_) return;
    const CommSettings& s = in_.settings;
    if (!in_.scene.scene_loaded) {
        show_message({"An init file must be read before starting\n", "Use Open on the File pulldown"});
        shell_.start_refused();
        return;
    }
    counters_ = ByteCounters{};
    if (s.transport == TRANSPORT_NONE) {
        show_message({"Please select a transport"});
        shell_.start_refused();
        return;
    }
    cancel_schedule();
    active_transport_ = s.transport;
    ++generation_;
    opening_ = true;
    shell_.open_started();
    link_.number_datagrams(s.udp_numbered);
    const OpenRequest request{.transport = s.transport,
                              .send_on = s.send_on,
                              .own_host = in_.local_host,
                              .receiver_host = s.receiver_name,
                              .colour_text = in_.colour_text,
                              .message_length = s.msg_size,
                              .kelbo_bytes = s.kelbo_size / 8,
                              .socket_buffer_size = s.sock_buf_size};
    link_.begin_open(
        request, [this](ConnId conn_id, int reason) { link_ended(conn_id, reason); },
        [this](LinkStatus status) { open_finished(status); });
}

// A box is shown while the Go (or the halt) is still under way: what its modal loop
// dispatches finds a Go (or halt) going on, and an Exit meanwhile drops it.
void TransmitLoop::open_finished(LinkStatus status) {
    const CommSettings& s = in_.settings;
    if (status != LinkStatus::ok) {
        const int error = link_.last_error();
        const std::string error_string = error != 0 ? error_text(error) : std::string();
        show_message({"Unable to start ", transport_name(active_transport_), " connection to ",
                      s.receiver_name.c_str(), "\n", status_text(status), "\n",
                      error != 0 ? error_string.c_str() : nullptr});
        if (!opening_) return;  // abandoned
        opening_ = false;
        active_transport_ = TRANSPORT_NONE;
        shell_.start_refused();
        return;
    }
    opening_ = false;
    started_ms_ = now_ms();
    write_notifier_->setSocket(link_.data_fd());
    limit_reached_ = false;
    pace_.reset();
    if (s.rate_bps != 0) {
        // The rate governs; the delay is not used.
        // TCP's own pacing (SO_MAX_PACING_RATE) is left off: it sends in packets of up to
        // a millisecond's worth, and on a link of large frames those wait longer than a
        // send buffer of the default size can hold, so the link falls behind the target.
        pace_.emplace(s.rate_bps, s.msg_size, steady_ns());
        schedule_queued();
    } else if (s.delay_ms >= 1)
        schedule_wait(s.delay_ms, false);
    else
        schedule_queued();
    shell_.set_transmitting(true);
    shell_.rearm_picture();
    shell_.row_start();
    shell_.transmission_started();
}

void TransmitLoop::send_message() {
    if (active_transport_ == TRANSPORT_NONE) return;
    const CommSettings& s = in_.settings;
    const std::uint64_t generation = generation_;
    const std::uint32_t delay = pace_ ? 0 : s.delay_ms;
    const std::uint64_t kelbo_bytes = s.kelbo_size / 8;
    const std::uint64_t slice_end = now_ms() + static_cast<std::uint64_t>(options_.slice.count());
    ++slices_;
    running_ = true;
    for (;;) {
        // Back to back, one call carries several messages; paced, those due.
        std::size_t messages = delay == 0 ? SIZE_MAX : 1;
        if (pace_) {
            const std::int64_t now = steady_ns();
            messages = static_cast<std::size_t>(pace_->allowed(now));
            if (messages == 0) {
                const std::int64_t due = pace_->due_ns();
                if (due - now > SHORT_WAIT_NS) {
                    running_ = false;
                    schedule_at(due);
                    return;
                }
                while (steady_ns() < due) {
                }
                continue;
            }
        }
        const std::uint64_t room = s.byte_limit != 0 ? s.byte_limit - counters_.total_bytes : UINT64_MAX;
        const int sent = link_.link_send_messages(messages, room);
        if (sent < 0) {
            running_ = false;
            if (generation != generation_ || active_transport_ == TRANSPORT_NONE) {
                // The send failed for good: the link has ended and said so.
                std::fputs("send_message: unscheduling the work proc\n", stdout);
                std::fflush(stdout);
                return;
            }
            // A full buffer: back to back, go on as soon as the socket takes data again.
            const int error = link_.last_error();
            const bool writable_ends_wait = delay == 0 && (error == EAGAIN || error == EWOULDBLOCK);
            schedule_wait(delay == 0 ? static_cast<std::uint64_t>(options_.full_buffer_wait.count())
                                     : backoff_ms(delay),
                          writable_ends_wait);
            return;
        }
        // The counters go message by message, as one send per message would leave
        // them. Nothing else happens between the messages of one send, so the kelbos
        // they complete are taken together, once the send is counted.
        const std::uint64_t length = link_.message_length();
        std::uint64_t left = static_cast<std::uint64_t>(sent);
        std::uint64_t taken = 0;
        do {
            const std::uint64_t part = length == 0 ? left : std::min(left, length);
            left -= part;
            counters_.pending_bytes += part;
            counters_.total_bytes += part;
            if (kelbo_bytes != 0 && counters_.pending_bytes >= kelbo_bytes) {
                taken += counters_.pending_bytes / kelbo_bytes;
                counters_.pending_bytes %= kelbo_bytes;
            }
        } while (left != 0);
        if (taken != 0) shell_.take_kelbos(taken);
        if (pace_) pace_->sent(static_cast<std::uint64_t>(sent));
        if (s.byte_limit != 0 && counters_.total_bytes >= s.byte_limit) {
            running_ = false;
            limit_reached_ = true;
            halt_transmit();
            return;
        }
        if (delay != 0) {
            running_ = false;
            schedule_wait(delay, false);
            return;
        }
        if (now_ms() >= slice_end) {
            running_ = false;
            schedule_queued();
            return;
        }
    }
}

void TransmitLoop::halt_transmit() {
    if (halting_ || opening_) return;
    cancel_schedule();  // before the link's sockets close
    halting_ = true;
    shell_.halt_started();
    link_.begin_shutdown(REASON_NORMAL, [this](LinkStatus status) { halt_finished(status); });
}

void TransmitLoop::halt_finished(LinkStatus status) {
    if (status != LinkStatus::ok) {
        const int error = link_.last_error();
        const std::string error_string = error != 0 ? error_text(error) : std::string();
        show_message({"Error terminating ", transport_name(active_transport_), " connection to ",
                      in_.settings.receiver_name.c_str(), "\n", status_text(status), "\n",
                      error != 0 ? error_string.c_str() : nullptr});
        if (!halting_) return;  // abandoned
    }
    halting_ = false;
    active_transport_ = TRANSPORT_NONE;
    shell_.set_transmitting(false);
    shell_.row_stop();
    shell_.transmission_ended(status == LinkStatus::ok ? TransmitShell::End::halted
                                                       : TransmitShell::End::halt_failed);
}

void TransmitLoop::link_ended(ConnId /*conn_id*/, int reason) {
    cancel_schedule();
    const int error = link_.last_error();
    active_transport_ = TRANSPORT_NONE;
    shell_.set_transmitting(false);
    const std::string error_string = error_text(error);
    // A peer that simply closed the connection leaves no error number: no error text
    // then, rather than the text of success.
    show_message({"Connection to ", in_.settings.receiver_name.c_str(), " terminated\n", reason_text(reason),
                  "\n", error != 0 ? error_string.c_str() : nullptr});
    shell_.row_stop();
    shell_.transmission_ended(TransmitShell::End::aborted);
}

void TransmitLoop::abandon() {
    cancel_schedule();
    active_transport_ = TRANSPORT_NONE;
    opening_ = halting_ = false;
    link_.abandon();
}

void TransmitLoop::schedule_queued() {
    scheduled_ = Wake::queued;
    // One invocation in the queue serves whatever is scheduled when it runs: a Go
    // right after a Halt reuses the one still queued instead of adding a second.
    if (queued_in_flight_) return;
    queued_in_flight_ = true;
    ++posts_;
    QMetaObject::invokeMethod(this, &TransmitLoop::on_queued, Qt::QueuedConnection);
}

void TransmitLoop::schedule_wait(std::uint64_t ms, bool until_writable) {
    scheduled_ = Wake::wait;
    send_timer_.start(timer_period(ms));
    if (until_writable) write_notifier_->setEnabled(true);
}

void TransmitLoop::schedule_at(std::int64_t due_ns) {
    scheduled_ = Wake::wait;
    itimerspec when{};
    when.it_value.tv_sec = due_ns / 1'000'000'000;
    when.it_value.tv_nsec = due_ns % 1'000'000'000;
    if (pace_notifier_ && ::timerfd_settime(pace_timer_.fd(), TFD_TIMER_ABSTIME, &when, nullptr) == 0) {
        pace_notifier_->setEnabled(true);
        return;
    }
    // Without a timerfd the millisecond timer serves.
    send_timer_.start(timer_period(
        static_cast<std::uint64_t>(std::max<std::int64_t>(due_ns - steady_ns(), 0)) / 1'000'000));
}

void TransmitLoop::cancel_schedule() {
    scheduled_ = Wake::none;
    send_timer_.stop();
    write_notifier_->setEnabled(false);
    if (pace_notifier_ && pace_notifier_->isEnabled()) {  // armed only while enabled
        pace_notifier_->setEnabled(false);
        const itimerspec off{};
        ::timerfd_settime(pace_timer_.fd(), 0, &off, nullptr);
    }
}

void TransmitLoop::on_queued() {
    queued_in_flight_ = false;
    if (scheduled_ != Wake::queued) return;
    scheduled_ = Wake::none;
    send_message();
}

void TransmitLoop::on_timer() {
    if (scheduled_ != Wake::wait) return;
    ++timer_wakes_;
    cancel_schedule();
    send_message();
}

void TransmitLoop::on_pace_timer() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t got = ::read(pace_timer_.fd(), &expirations, sizeof expirations);
    on_timer();
}

void TransmitLoop::on_writable() {
    if (scheduled_ != Wake::wait) {
        write_notifier_->setEnabled(false);
        return;
    }
    ++writable_wakes_;
    cancel_schedule();
    send_message();
}

}  // namespace kelbos
