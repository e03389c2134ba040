// SPDX-License-Identifier: Apache-2.0
// The receiver_input fuzz target's rig: a fresh link engine on free loopback ports per
// run, driven by direct calls after each write of a scripted transmitter, and callbacks
// that keep a ConnectionTable as the receiver does, checking what it must never see.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connection_records.h"
#include "engine_recorder.h"
#include "fuzz_support.h"
#include "link_engine.h"
#include "sockets.h"
#include "protocol.h"

namespace kelbos::fuzz {

using namespace std::chrono_literals;

// Longest wait for what loopback delivers at once.
inline constexpr std::chrono::milliseconds DELIVERY_WAIT = 10000ms;

// What the engine reported through one callback.
using EngineReport = test::EngineCall;
using test::describe;
using test::stage_name;

// The receiver's link callbacks over a real ConnectionTable; each report is checked
// against the life of a ConnId.
class LinkBook : public test::EngineRecorder {
public:
    LinkBook();
    // The reports since the last call.
    std::vector<EngineReport> take_reports();
    // The engine's table and the records agree, and no link is left half admitted.
    void check_settled(const LinkEngine& engine) const;
};

// A scripted transmitter's connection or datagram socket on loopback.
class Client {
public:
    static Client tcp(std::uint16_t port) { return connected(SOCK_STREAM, port); }
    static Client udp(std::uint16_t port) { return connected(SOCK_DGRAM, port); }

    int fd() const { return socket_.fd(); }
    void send(const Bytes& bytes);
    // Takes whatever has arrived, without waiting; notes an end of stream or error.
    void collect();
    // Waits until at least n bytes have arrived in all, or the connection ended.
    void collect_until(std::size_t n);
    // An orderly close (after taking what arrived, so the close sends no reset).
    void close();
    // A close with an immediate reset.
    void reset();

    Bytes received;
    bool ended = false;      // end of stream or error seen
    std::uint64_t sent = 0;  // bytes the system took from all sends

private:
    static Client connected(int type, std::uint16_t port);
    Socket socket_;
};

// A fresh engine on free ports with a LinkBook.
class EngineRig {
public:
    EngineRig();
    LinkBook book;
    std::unique_ptr<LinkEngine> engine;
    Ports ports;

    // Waits for a connection on the listener and reports it to the engine.
    void deliver_accept(int listener);
    // Reports a link's socket readable while it is (and the entry holds it).
    void settle_link(ConnId conn_id);
    // Waits until `total` bytes in all have arrived on the link's socket (read or not).
    void wait_arrival(ConnId conn_id, std::uint64_t total);
    // Waits until the link's socket holds at least n unread bytes, then reports it once.
    void deliver_chunk(ConnId conn_id, std::size_t n);
    // Waits for a datagram and reports it.
    void deliver_datagram();
    // Runs the event loop until no link is admitted (the admission timer fires).
    void run_until_admissions_expire();
    // Closes or resets the clients and reports every link's end to the engine.
    void close_all(std::vector<Client*> clients, bool reset);
};

}  // namespace kelbos::fuzz
