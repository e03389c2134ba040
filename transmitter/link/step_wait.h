// SPDX-License-Identifier: Apache-2.0
// The wait of one step of a handshake: a socket readable or writable, bounded in time.
// The owner reacts to each from the event loop through its own three slots.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>

namespace kelbos {

class StepWait {
public:
    template <class Owner>
    StepWait(Owner* owner, void (Owner::*readable)(), void (Owner::*writable)(), void (Owner::*over)())
        : readable_(new QSocketNotifier(QSocketNotifier::Read, owner)),
          writable_(new QSocketNotifier(QSocketNotifier::Write, owner)) {
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);  // a bound is never cut short
        QObject::connect(&timer_, &QTimer::timeout, owner, over);
        QObject::connect(readable_, &QSocketNotifier::activated, owner, readable);
        QObject::connect(writable_, &QSocketNotifier::activated, owner, writable);
    }

    // Waits for fd; a bound of 0 waits without one.
    void readable(int fd, std::chrono::milliseconds bound) { wait(readable_, fd, bound); }
    void writable(int fd, std::chrono::milliseconds bound) { wait(writable_, fd, bound); }
    // The notifiers are only disabled, never deleted: this may run inside their own signal.
    void stop() {
        stop_readable();
        stop_writable();
        timer_.stop();
    }
    void stop_readable() { readable_->setEnabled(false); }
    void stop_writable() { writable_->setEnabled(false); }

private:
    void wait(QSocketNotifier* notifier, int fd, std::chrono::milliseconds bound) {
        notifier->setSocket(fd);  // leaves it disabled
        notifier->setEnabled(true);
        if (bound.count() > 0) timer_.start(bound);
    }

    QSocketNotifier* readable_;  // children of the owner
    QSocketNotifier* writable_;
    QTimer timer_;
};

}  // namespace kelbos
