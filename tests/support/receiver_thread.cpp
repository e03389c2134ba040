// SPDX-License-Identifier: Apache-2.0
#include "receiver_thread.h"

#include <QMetaObject>

namespace kelbos::test {

namespace {

// Bound of a held callback, so that a test that forgets to release cannot hang.
constexpr auto HOLD_LIMIT = 5s;

}  // namespace

ReceiverThread::ReceiverThread(Ports ports) : context_(std::make_unique<QObject>()) {
    context_->moveToThread(&thread_);
    thread_.start();
    log_.on_alloc = [this] { maybe_hold(Hold::alloc); };
    log_.on_more_data = [this](std::int8_t) { maybe_hold(Hold::more_data); };
    log_.on_change = [this] { changed(); };
    log_.link_socket = [this](ConnId c) { return engine_ ? engine_->link_socket(c) : -1; };
    run([&] {
        // Made on the receiver thread, so its notifiers and timer belong to it.
        engine_ = std::make_unique<LinkEngine>(log_.callbacks(), EngineOptions{ports});
        status_ = engine_->comm_init();
        ports_ = LinkEnginePeer::bound_ports(*engine_);
    });
}

ReceiverThread::~ReceiverThread() {
    release();
    destroy_engine();
    thread_.quit();
    thread_.wait();
    // context_ goes now, with its thread ended.
}

void ReceiverThread::run(const std::function<void()>& f) {
    QMetaObject::invokeMethod(
        context_.get(), [&f] { f(); }, Qt::BlockingQueuedConnection);
}

bool ReceiverThread::wait_for(const std::function<bool(LinkEngine*, ReceiverLog&)>& done,
                              std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lock(mutex_);
            seen = generation_;
        }
        if (on_receiver([&](LinkEngine* engine, ReceiverLog& log) { return done(engine, log); })) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // Until a callback reports a change; not every change of the engine comes with
        // one, so look again after a short while in any case.
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, 2ms, [&] { return generation_ != seen; });
    }
}

bool ReceiverThread::table_empty() {
    return on_receiver([](LinkEngine* engine, ReceiverLog&) {
        for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
            const auto conn_id = static_cast<ConnId>(c);
            if (engine->link_socket(conn_id) != -1 ||
                LinkEnginePeer::link_phase(*engine, conn_id) != LinkPhase::empty)
                return false;
        }
        return true;
    });
}

void ReceiverThread::hold_next(Hold where) {
    std::lock_guard lock(mutex_);
    armed_ = where;
    holding_ = false;
    released_ = false;
}

bool ReceiverThread::wait_held(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return holding_; });
}

void ReceiverThread::release() {
    std::lock_guard lock(mutex_);
    armed_ = Hold::none;
    released_ = true;
    cv_.notify_all();
}

void ReceiverThread::destroy_engine() {
    run([&] { engine_.reset(); });
}

void ReceiverThread::maybe_hold(Hold where) {
    std::unique_lock lock(mutex_);
    if (armed_ != where) return;
    armed_ = Hold::none;
    holding_ = true;
    cv_.notify_all();
    cv_.wait_for(lock, HOLD_LIMIT, [&] { return released_; });
    holding_ = false;
}

void ReceiverThread::changed() {
    std::lock_guard lock(mutex_);
    ++generation_;
    cv_.notify_all();
}

}  // namespace kelbos::test
