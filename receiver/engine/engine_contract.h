// SPDX-License-Identifier: Apache-2.0
// The contract between the receiver's link engine and the program that uses it: the
// callbacks through which the engine reports links, the options it runs with, why it
// refuses a connection and the kinds of readiness report it handles. The engine's parts
// (table, admission, readers) and the command line need only this, never the engine.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "net/address.h"
#include "net/address_list.h"

namespace kelbos {

// The kinds of readiness report comm_event handles. The values are the read and
// accept bits of a socket notification's event mask, so a report carries the same
// number whichever layer produced it; any other value is ignored.
enum EngineEvent : int {
    EVENT_READ = 1,    // data (or a connection, on a listener) waits
    EVENT_ACCEPT = 8,  // a connection waits on a listener
};

// Why a connection was refused.
enum class Refusal : std::uint8_t {
    allocation,   // alloc_conn_id gave no ConnId (no scene loaded, or all ten taken)
    host_limit,   // the peer's host has its share of links already
    not_allowed,  // the peer's host is not on the allow list
};

struct EngineCallbacks {
    // A ConnId 1..10 for a new link, or CONN_NONE_FREE to refuse it.
    std::function<ConnId()> alloc_conn_id;
    // The link is set up: its SetupReply has gone out.
    std::function<void(ConnId, const std::string& peer_name, const std::string& colour_text,
                       std::uint8_t transport, std::uint32_t kelbo_bytes)>
        new_link;
    // A chunk of data arrived; conn_id as found (datagrams: their first byte).
    std::function<void(std::int8_t conn_id, std::uint32_t bytes)> more_data;
    // A numbered datagram counted for a link: its numbers and its arrival time, in
    // nanoseconds of the system's real-time clock.
    std::function<void(ConnId, const DatagramNumbers&, std::uint64_t arrival_ns)> datagram_numbers;
    // A set-up link has ended.
    std::function<void(ConnId, int reason, const std::string& text)> shutdown_rcv;
    // Gives back a ConnId that never reached new_link.
    std::function<void(ConnId)> release_conn_id;
    // Whether the ConnId of an ended link is still held by its "Stopped" row, and the
    // removal of that row at once, which frees the ConnId (the links per host).
    std::function<bool(ConnId)> link_stopped;
    std::function<void(ConnId)> remove_stopped;
    // A connection was refused, after its refusing SetupReply (if any) has gone out.
    std::function<void(const SocketAddress& peer, Refusal why)> link_refused;
};

struct EngineOptions {
    Ports ports{};
    // How long a new link may take to deliver its SetupRequest.
    std::chrono::milliseconds setup_wait = LINK_WAIT;
    // How long the reverse lookup of a peer's name may take.
    std::chrono::milliseconds name_budget{10};
    // The hosts that may connect; empty: every host.
    std::vector<AddressPrefix> allow{};
    // How many ConnIds one host may hold at once: its links set up or being set up, and
    // its ended links whose rows still show "Stopped" (the oldest of which a new link
    // takes over). The addresses of one IPv6 /64 are one host.
    int links_per_host = CONN_LAST;
    // A set-up link that brings no data for this long ends as a failed link; 0: never.
    std::chrono::seconds idle_timeout{0};
};

// What the link table asks of the engine that owns it.
struct TableHooks {
    // A readiness report for a link socket the table watches.
    std::function<void(int fd, EngineEvent event)> socket_event;
    // Reads the datagrams that wait (before a UDP link leaves the table).
    std::function<void()> read_waiting_datagrams;
};

}  // namespace kelbos
