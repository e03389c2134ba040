// SPDX-License-Identifier: Apache-2.0
// Waiting for a condition while the event loop runs, with a deadline.
#pragma once

#include <QCoreApplication>
#include <chrono>
#include <thread>

namespace kelbos::testing {

// Runs the event loop until `done()` holds or `limit` passes; returns done().
template <typename Pred>
bool pump_until(Pred done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::yield();
    }
    return true;
}

}  // namespace kelbos::testing
