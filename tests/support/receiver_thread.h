// SPDX-License-Identifier: Apache-2.0
// A real receiver for tests of the two link ends: the LinkEngine with callbacks that
// keep a real ConnectionTable the way the receiver's link callbacks do, running on a
// thread of its own with its own event loop, as the receiver runs in a process of its
// own. The test thread plays the transmitter: its link_open and link_shutdown block
// while they wait, exactly as on the transmitter's one thread, and the receiver
// answers meanwhile.
//
// Everything of the engine and of the records lives on the receiver thread. The test
// reaches it only through on_receiver(), which runs a function there between two of
// its events and returns the result, so every look is a consistent snapshot.
#pragma once

#include <QObject>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "core/protocol.h"
#include "engine_recorder.h"
#include "receiver/engine/link_engine.h"

namespace kelbos::test {

using namespace std::chrono_literals;

// What the callbacks saw, and the records they keep, the way the receiver's link
// callbacks and more_data keep them. Receiver thread only.
using ReceiverLog = EngineRecorder;

// Where a callback can be held, keeping the receiver thread busy as a long callback
// (a modal box, for instance) keeps the receiver's one thread.
enum class Hold { none, alloc, more_data };

class ReceiverThread {
public:
    // On the given ports; by default ports the system picks, as tests run in parallel.
    explicit ReceiverThread(Ports ports = Ports{0, 0, 0});
    ~ReceiverThread();
    ReceiverThread(const ReceiverThread&) = delete;
    ReceiverThread& operator=(const ReceiverThread&) = delete;

    LinkStatus status() const { return status_; }
    // The engine's bound ports, for the transmitter's LinkOptions.
    Ports ports() const { return ports_; }

    // Runs f(engine, log) on the receiver thread and returns its result. The engine
    // pointer is null once destroy_engine() has run.
    template <typename F>
    auto on_receiver(F f) {
        using R = std::invoke_result_t<F, LinkEngine*, ReceiverLog&>;
        if constexpr (std::is_void_v<R>) {
            run([&] { f(engine_.get(), log_); });
        } else {
            R result{};
            run([&] { result = f(engine_.get(), log_); });
            return result;
        }
    }

    // Waits until done(engine, log) holds on the receiver thread, at most `limit`.
    bool wait_for(const std::function<bool(LinkEngine*, ReceiverLog&)>& done,
                  std::chrono::milliseconds limit = 5000ms);

    // A copy of everything the callbacks saw.
    ReceiverLog snapshot() {
        return on_receiver([](LinkEngine*, ReceiverLog& log) { return log; });
    }
    // What the receiver counts; the test thread reads these while the link runs.
    std::uint64_t bytes() {
        return on_receiver([](LinkEngine*, ReceiverLog& log) { return log.data_bytes; });
    }
    void set_refuse(bool on) {
        on_receiver([on](LinkEngine*, ReceiverLog& log) { log.refuse = on; });
    }
    // Every entry of the link socket table empty.
    bool table_empty();

    // Holds the receiver thread in the next call of that callback, until release() or
    // a 5-second safety bound.
    void hold_next(Hold where);
    // Waits until a callback is being held.
    bool wait_held(std::chrono::milliseconds limit = 5000ms);
    void release();

    // The receiver program goes away: the engine and its sockets are destroyed.
    void destroy_engine();

private:
    void run(const std::function<void()>& f);
    // In a callback: holds there if that callback is the one armed.
    void maybe_hold(Hold where);
    // In a callback: something changed that wait_for may be waiting on.
    void changed();

    QThread thread_;
    std::unique_ptr<QObject> context_;  // lives on thread_; target of on_receiver
    std::unique_ptr<LinkEngine> engine_;
    ReceiverLog log_;
    LinkStatus status_ = LinkStatus::ok;
    Ports ports_{};

    std::mutex mutex_;
    std::condition_variable cv_;
    std::uint64_t generation_ = 0;
    Hold armed_ = Hold::none;
    bool holding_ = false;
    bool released_ = false;
};

}  // namespace kelbos::test
