// SPDX-License-Identifier: Apache-2.0
// A transmission: Go opens the link with the current settings and schedules the
// sending; the send loop sends data messages back to back or one per delay, keeps
// the counters and takes kelbos away; Halt closes the link with the shutdown
// handshake; link_ended handles a link that ended by itself. Go and Halt only begin
// their waits: the event loop runs on while the link opens or closes, and they finish
// when the link reports its result.
//
// Back to back (delay 0) the loop sends for one slice (a few milliseconds, well inside
// a frame) and continues through a queued invocation, so the event loop handles Halt,
// Exit, socket notifications, paints and the row's tick between slices. A full socket buffer
// waits for the data socket to become writable, with the back-off timer as the upper
// bound. At any time while transmitting exactly one of these is pending: the running
// slice, its queued continuation, or the send timer (with the write wait).
//
// With a target rate the loop follows a PaceSchedule instead of the delay: each wake
// sends what is due, then waits for the next message's time on a nanosecond timer
// (a timerfd), or, when that is nearer than a wake through the event loop takes, waits
// it out on the spot. A byte limit halts the link once exactly that many bytes went.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/offered_load.h"
#include "transmitter/link/link.h"

class QSocketNotifier;

namespace kelbos {

struct CommSettings;
struct Scene;

// The send counters: bytes not yet turned into a kelbo, and bytes sent since Go.
struct ByteCounters {
    std::uint64_t pending_bytes = 0;
    std::uint64_t total_bytes = 0;
};

// What a transmission needs from the rest of the program.
class TransmitShell {
public:
    virtual ~TransmitShell() = default;
    // Menu enabling for the transmitting (true) or idle (false) state.
    virtual void set_transmitting(bool transmitting) = 0;
    virtual void rearm_picture() = 0;
    // The kelbos one send completed, taken in turn.
    virtual void take_kelbos(std::uint64_t count) = 0;
    virtual void row_start() = 0;
    virtual void row_stop() = 0;
    // A Go is opening the link; the event loop runs while it waits for the receiver.
    virtual void open_started() {}
    // A Go that did not start (no scene, no transport, the link did not open).
    virtual void start_refused() {}
    // A Go's link is open and the sending is scheduled.
    virtual void transmission_started() {}
    // A halt has begun; the event loop runs while it waits for the receiver.
    virtual void halt_started() {}
    // A transmission has ended: halted, ended by itself, or its halt failed.
    enum class End { halted, aborted, halt_failed };
    virtual void transmission_ended(End) {}
};

// What a transmission reads: the settings, the scene's flag, the colour and host texts
// of the SetupRequest.
struct TransmitInputs {
    const CommSettings& settings;
    const Scene& scene;
    const std::string& colour_text;
    const std::string& local_host;
};

struct LoopOptions {
    LinkOptions link{};                   // the receiver's ports, the link's waits
    std::chrono::milliseconds slice{5};  // back to back: time between returns to the event loop
    // Back to back, the longest wait on a full socket buffer before trying again (the
    // socket becoming writable ends the wait sooner).
    std::chrono::milliseconds full_buffer_wait{2};
};

class TransmitLoop : public QObject {
    Q_OBJECT
public:
    TransmitLoop(TransmitInputs inputs, ByteCounters& counters, TransmitShell& shell,
                 LoopOptions options = {}, QObject* parent = nullptr);
    ~TransmitLoop() override;

    // Begins a Go; it ends when the link has opened or failed to. Ignored while a Go
    // or a halt is under way.
    void start_transmit();
    // Begins a halt; it ends when the shutdown handshake is over. A second Halt during
    // it is ignored, and so is a Halt while a Go is under way.
    void halt_transmit();
    void link_ended(ConnId conn_id, int reason);
    // The program is ending: stop sending at once and drop a Go or a halt under way,
    // with nothing reported. No ShutdownRequest is sent; the link goes with the
    // program.
    void abandon();

    // The transport of the transmission, set from the start of a Go to its end.
    int active_transport() const { return active_transport_; }
    // The link is open and the sending scheduled (a halt may be under way).
    bool transmitting() const { return active_transport_ != TRANSPORT_NONE && !opening_; }
    bool opening() const { return opening_; }
    bool halting() const { return halting_; }
    const TransmitterLink& link() const { return link_; }
    TransmitterLink& link() { return link_; }
    // now_ms() when the current (or last) transmission started.
    std::uint64_t started_ms() const { return started_ms_; }
    // The current (or last) transmission was halted by its byte limit.
    bool limit_reached() const { return limit_reached_; }

    // What is scheduled to run the loop next.
    enum class Wake { none, queued, wait };
    bool waiting_for_writable() const;

private:
    friend struct TransmitLoopPeer;  // the tests' door to the schedule and the counts

    // The send loop; runs from the queued continuation, the send timer or writability.
    void send_message();
    void open_finished(LinkStatus status);
    void halt_finished(LinkStatus status);
    void schedule_queued();
    void schedule_wait(std::uint64_t ms, bool until_writable);
    // Wakes the loop at `due_ns` of the steady clock.
    void schedule_at(std::int64_t due_ns);
    void on_pace_timer();
    void cancel_schedule();
    void on_queued();
    void on_timer();
    void on_writable();

    TransmitInputs in_;
    ByteCounters& counters_;
    TransmitShell& shell_;
    LoopOptions options_;
    TransmitterLink link_;
    QTimer send_timer_;
    QSocketNotifier* write_notifier_;
    Socket pace_timer_;  // a timerfd; its notifier is pace_notifier_
    QSocketNotifier* pace_notifier_ = nullptr;
    std::optional<PaceSchedule> pace_;  // while a paced transmission runs
    bool limit_reached_ = false;

    int active_transport_ = TRANSPORT_NONE;
    std::uint64_t generation_ = 0;  // one per Go: tells a loop that its link has gone
    std::uint64_t started_ms_ = 0;
    Wake scheduled_ = Wake::none;
    bool queued_in_flight_ = false;
    bool running_ = false;
    bool opening_ = false;
    bool halting_ = false;

    // Slices run, queued invocations posted, wakes by the send timer and by writability.
    std::uint64_t slices_ = 0;
    std::uint64_t posts_ = 0;
    std::uint64_t timer_wakes_ = 0;
    std::uint64_t writable_wakes_ = 0;
};

// The send timer's period after a send found the buffer full: 2 ms back to back,
// the delay + 2 ms otherwise, 4 ms for the largest delay (whose sum wraps).
std::uint64_t backoff_ms(std::uint32_t delay_ms);

}  // namespace kelbos
