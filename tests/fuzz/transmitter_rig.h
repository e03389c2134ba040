// SPDX-License-Identifier: Apache-2.0
// The receiver played by the transmitter_input fuzz target, for the whole session: the
// link tests' loopback listeners and datagram socket, and for each handshake a thread
// that answers the link with scripted bytes while it blocks in link_open or
// link_shutdown.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>

#include "core/protocol.h"
#include "fuzz_support.h"
#include "net/sockets.h"
#include "scripted_receiver.h"

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

    Ports ports() const { return sockets_.ports; }
    int datagram_fd() const { return sockets_.datagram.fd(); }

    // What the script's thread saw of one handshake.
    struct Played {
        bool complete = false;  // the link's message came whole and the answer went out
        Bytes request;          // the SetupRequest, or the ShutdownRequest
        Socket connection;      // kept open when the script says so
    };

    // On a thread of its own: accepts the link's connection on the transport's listener, reads
    // its SetupRequest, sends `reply` in one send (nothing when empty), then keeps,
    // closes or resets the connection. Connections that end before a whole request
    // (left over from a link that gave up) are skipped.
    void play_setup(int transport, Bytes reply, After after);
    // On a thread of its own: reads `data_before` bytes of data and then the ShutdownRequest
    // from the connection, sends `ack` in one send, then keeps, closes or resets it.
    void play_shutdown(Socket connection, std::size_t data_before, Bytes ack, After after);
    // Tells the script's thread that the link's call has returned, waits for it to
    // finish and returns what it saw. When the link's message was certainly sent, the
    // script still waits for it; otherwise it stops waiting at once.
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

    void start(Job job);
    Played perform(Job& job);
    Played answer(Socket connection, Bytes request, const Job& job);
    // Waits until fd is readable or the link's call has returned.
    bool readable_before_release(int fd);
    Got read_exactly(int fd, std::size_t n, Bytes& out);

    test::ScriptedReceiver sockets_;  // the listeners and the datagram socket, non-blocking
    Socket release_;  // eventfd: the link's call has returned

    std::atomic<bool> message_sent_{false};  // set before the release
    std::future<Played> played_;
};

}  // namespace kelbos::fuzz
