// SPDX-License-Identifier: Apache-2.0
// The receiver's table of link records: one ConnectionRecord per ConnId (1..10) and
// the TOTAL record (0). The ledger (link_ledger.h) moves records between free, live
// and dirty; more_data counts bytes into them. Toolkit-free.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/figures.h"
#include "core/protocol.h"
#include "receiver/records/datagram_stats.h"

namespace kelbos {

inline constexpr std::size_t PEER_NAME_MAX = 40;

struct ConnectionRecord {
    std::uint64_t pending_bytes = 0;   // received, not yet turned into a kelbo
    std::uint64_t bytes_received = 0;  // since set-up (TOTAL: since start-up, all links)
    std::uint64_t bytes_at_tick = 0;   // bytes_received at the previous rate tick
    std::uint32_t kelbo_bytes = 0;     // one kelbo per this many bytes
    int colour_slot = 0;               // 0 is the default slot
    std::uint8_t transport = 0;        // TransportType byte of the SetupRequest
    std::string peer_name;             // at most PEER_NAME_MAX characters
    bool set_up = false;               // new_link has filled it
    RowState row_state = RowState::free;
    std::int32_t removal_countdown = 0;  // rate ticks left before a dirty row goes
    DatagramStats datagrams;             // a UDP link's numbered datagrams
};

// Stores a peer name cut to PEER_NAME_MAX characters.
void set_peer_name(ConnectionRecord& record, std::string_view name);

class ConnectionTable {
public:
    ConnectionTable() { reset(); }

    // The start-up state: all 11 records free and cleared.
    void reset();

    // Takes the first free record of 1..10, marks it live and returns its ConnId;
    // CONN_NONE_FREE when all ten are live or dirty.
    ConnId take_free();

    // Gives back at once a ConnId that never reached new_link (live, no row). Returns
    // false, changing nothing, for any other record.
    bool give_back(ConnId conn_id);

    // Sets a record free and clears it (the end of remove_row). Record 0 never goes.
    void set_free(ConnId conn_id);

    // Records 1..10 that are not free.
    int links_in_use() const;

    ConnectionRecord& operator[](ConnId conn_id) { return connections[conn_id]; }
    const ConnectionRecord& operator[](ConnId conn_id) const { return connections[conn_id]; }

    std::array<ConnectionRecord, CONN_TABLE_SIZE> connections;
};

}  // namespace kelbos
