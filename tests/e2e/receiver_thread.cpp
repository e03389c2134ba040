// SPDX-License-Identifier: Apache-2.0
#include "receiver_thread.h"

#include <QMetaObject>

namespace kelbos::test {

namespace {

// Bound of a held callback, so that a test that forgets to release cannot hang.
constexpr auto HOLD_LIMIT = 5s;

}  // namespace

std::uint64_t ReceiverLog::bytes_for(int conn_id) const {
    std::uint64_t sum = 0;
    for (const MoreDataCall& call : more_data)
        if (call.conn_id == conn_id) sum += call.bytes;
    return sum;
}

std::size_t ReceiverLog::datagrams_for(int conn_id) const {
    std::size_t n = 0;
    for (const MoreDataCall& call : more_data)
        if (call.conn_id == conn_id) ++n;
    return n;
}

int ReceiverLog::remove_dirty_rows() {
    int removed = 0;
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        if (table[static_cast<ConnId>(c)].row_state != RowState::dirty) continue;
        table.set_free(static_cast<ConnId>(c));
        ++removed;
    }
    return removed;
}

ReceiverThread::ReceiverThread(EngineOptions options) : context_(std::make_unique<QObject>()) {
    // Ports the system picks: tests run in parallel.
    options.ports = Ports{0, 0, 0};
    context_->moveToThread(&thread_);
    thread_.start();
    run([&] {
        // Made on the receiver thread, so its notifiers and timer belong to it.
        engine_ = std::make_unique<LinkEngine>(callbacks(), options);
        status_ = engine_->comm_init();
        ports_ = engine_->bound_ports();
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
            if (engine->link_socket(conn_id) != -1 || engine->link_phase(conn_id) != LinkPhase::empty)
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

// The callbacks as the receiver's link callbacks and more_data use the records.
EngineCallbacks ReceiverThread::callbacks() {
    EngineCallbacks cb;
    cb.alloc_conn_id = [this] {
        maybe_hold(Hold::alloc);
        ++log_.allocs;
        const ConnId c = log_.refuse ? CONN_NONE_FREE : log_.table.take_free();
        changed();
        return c;
    };
    cb.new_link = [this](ConnId c, const std::string& name, const std::string& colour, std::uint8_t transport,
                         std::uint32_t kelbo_bytes) {
        ConnectionRecord& record = log_.table[c];
        if (record.row_state != RowState::live) ++log_.faults;
        record.pending_bytes = record.bytes_received = record.bytes_at_tick = 0;
        record.transport = transport;
        record.kelbo_bytes = kelbo_bytes;
        set_peer_name(record, name);
        log_.new_links.push_back({c, name, colour, transport, kelbo_bytes});
        changed();
    };
    cb.more_data = [this](std::int8_t c, std::uint32_t bytes) {
        maybe_hold(Hold::more_data);
        log_.more_data.push_back({c, bytes});
        // Chunks for no live link are ignored.
        if (c >= CONN_FIRST && c <= CONN_LAST &&
            log_.table[static_cast<ConnId>(c)].row_state == RowState::live) {
            log_.table[static_cast<ConnId>(c)].bytes_received += bytes;
            log_.table[0].bytes_received += bytes;
        }
        changed();
    };
    cb.shutdown_rcv = [this](ConnId c, int reason, const std::string& text) {
        log_.ends.push_back({c, reason, text, engine_ ? engine_->link_socket(c) : -1});
        if (c >= CONN_FIRST && c <= CONN_LAST) {
            if (log_.table[c].row_state == RowState::dirty)
                ++log_.faults;  // a link reported ended twice
            else
                log_.table[c].row_state = RowState::dirty;
        }
        changed();
    };
    cb.release_conn_id = [this](ConnId c) {
        log_.released.push_back(c);
        if (!log_.table.give_back(c)) ++log_.faults;
        changed();
    };
    return cb;
}

}  // namespace kelbos::test
