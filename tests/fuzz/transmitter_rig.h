// SPDX-License-Identifier: Apache-2.0
// The receiver played by the transmitter_input fuzz target, for the whole session: the
// link tests' loopback listeners and datagram socket, and a worker thread that answers the link's
// handshakes with scripted bytes while the link blocks in link_open or link_shutdown.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "fuzz_support.h"
#include "protocol.h"
#include "scripted_receiver.h"
#include "sockets.h"

namespace kelbos::fuzz {

using namespace std::chrono_literals;

// Longest wait for the link's side of a handshake.
inline constexpr std::chrono::milliseconds HANDSHAKE_WAIT = 10000ms;

// What the receiver does with the connection after its answer.
enum class After { keep, close, reset };
inline After after_from(std::uint8_t byte) {
    return static_cast<After>(byte % 3);
}

class ScriptedReceiver {
public:
    ScriptedReceiver();
    ~ScriptedReceiver();
    ScriptedReceiver(const ScriptedReceiver&) = delete;
    ScriptedReceiver& operator=(const ScriptedReceiver&) = delete;

    Ports ports() const { return sockets_.ports; }
    int datagram_fd() const { return sockets_.datagram.fd(); }

    // What the worker saw of one handshake.
    struct Played {
        bool complete = false;  // the link's message came whole and the answer went out
        Bytes request;          // the SetupRequest, or the ShutdownRequest
        Socket connection;      // kept open when the script says so
    };

    // On the worker: accepts the link's connection on the transport's listener, reads
    // its SetupRequest, sends `reply` in one send (nothing when empty), then keeps,
    // closes or resets the connection. Connections that end before a whole request
    // (left over from a link that gave up) are skipped.
    void play_setup(int transport, Bytes reply, After after);
    // On the worker: reads `data_before` bytes of data and then the ShutdownRequest
    // from the connection, sends `ack` in one send, then keeps, closes or resets it.
    void play_shutdown(Socket connection, std::size_t data_before, Bytes ack, After after);
    // Tells the worker that the link's call has returned, waits for it to finish its
    // script and returns what it saw. When the link's message was certainly sent, the
    // worker still waits for it; otherwise it stops waiting at once.
    Played finish(bool message_sent);

private:
    struct Job {
        bool setup = true;
        int listener = -1;
        Socket connection;
        std::size_t data_before = 0;
        Bytes answer;
        After after = After::keep;
    };
    enum class Got { all, ended, released };

    void post(Job job);
    void run();
    Played perform(Job& job);
    Played answer(Socket connection, Bytes request, const Job& job);
    // Waits until fd is readable or the link's call has returned.
    bool readable_before_release(int fd);
    Got read_exactly(int fd, std::size_t n, Bytes& out);
    void wait_release();

    test::ScriptedReceiver sockets_;  // the listeners and the datagram socket, non-blocking
    Socket release_;  // eventfd: the link's call has returned

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Job> job_;
    std::optional<Played> played_;
    bool stop_ = false;
    std::atomic<bool> message_sent_{false};  // set before the release
    std::thread worker_;
};

}  // namespace kelbos::fuzz
