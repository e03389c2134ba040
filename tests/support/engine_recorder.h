// SPDX-License-Identifier: Apache-2.0
// The receiver link engine's callbacks, recorded: every call in order and by kind,
// over a real ConnectionTable kept the way the receiver's link callbacks keep it, with
// the life of each ConnId checked (allocated, then set up or given back; a set-up link
// ends at most once).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "net/address.h"
#include "net/sockets.h"
#include "receiver/engine/link_engine.h"
#include "receiver/records/connection_records.h"

namespace kelbos {

// The engine's table, endpoints and buffers, for tests that look at them directly.
struct LinkEnginePeer {
    static ConnId lookup_conn_id(const LinkEngine& engine, int fd) { return engine.links_.lookup(fd); }
    static const ReceiveBufferPool& buffer_pool(const LinkEngine& engine) { return engine.buffers_; }
    static LinkPhase link_phase(const LinkEngine& engine, ConnId conn_id) {
        return conn_id < CONN_FIRST || conn_id > CONN_LAST ? LinkPhase::empty : engine.links_[conn_id].phase;
    }
    static int control_listener(const LinkEngine& engine) { return engine.control_.socket.fd(); }
    static int stream_listener(const LinkEngine& engine) { return engine.stream_.socket.fd(); }
    // The ports actually bound (the OS picks those given as 0); 0 for an endpoint not bound.
    static Ports bound_ports(const LinkEngine& engine) {
        const auto port = [](const Socket& s) -> std::uint16_t {
            return s ? port_of(local_address(s.fd())) : 0;
        };
        return {port(engine.control_.socket), port(engine.datagram_.socket), port(engine.stream_.socket)};
    }
};

}  // namespace kelbos

namespace kelbos::test {

struct NewLinkCall {
    ConnId conn_id;
    std::string peer_name;
    std::string colour_text;
    std::uint8_t transport;
    std::uint32_t kelbo_bytes;
};
struct ShutdownCall {
    ConnId conn_id;
    int reason;
    std::string text;
    int entry_fd;  // the link's table entry while shutdown_rcv ran (-1 unless asked)
};
struct MoreDataCall {
    std::int8_t conn_id;
    std::uint32_t bytes;
};

// One callback of the engine, in the order of all of them.
struct EngineCall {
    enum Kind { alloc, new_link, data, end, release } kind;
    int conn_id = 0;
    std::uint32_t bytes = 0;  // data: the chunk's length
    int reason = 0;           // end
    std::string text;         // end
    bool operator==(const EngineCall&) const = default;

    static EngineCall of(Kind kind, int conn_id) { return {kind, conn_id, 0, 0, {}}; }
    static EngineCall chunk(int conn_id, std::size_t bytes) {
        return {data, conn_id, static_cast<std::uint32_t>(bytes), 0, {}};
    }
    static EngineCall ended(int conn_id, int reason, std::string text) {
        return {end, conn_id, 0, reason, std::move(text)};
    }
    // "alloc 1", "new 1", "data 1", "end 1", "release 1".
    std::string brief() const;
};

// "alloc(1) data(1, 100) end(1, 1, 'text') ", or "nothing".
std::string describe(const std::vector<EngineCall>& calls);

struct EngineRecorder {
    enum class Stage { unused, foreign, admitted, set_up, ended, given_back };

    EngineCallbacks callbacks();
    std::uint64_t bytes_for(int conn_id) const;
    std::size_t datagrams_for(int conn_id) const;
    // The calls as brief() words.
    std::vector<std::string> order() const;
    // The removal of every ended link's row: dirty records become free. Returns how
    // many went.
    int remove_dirty_rows();
    // Marks the first n free records as links of an earlier run that have ended and
    // wait for removal: their ConnIds are not handed out.
    void hold_ended_records(int n);
    Stage stage(int conn_id) const;

    ConnectionTable table;
    bool refuse = false;  // alloc_conn_id refuses, as it does while no scene is loaded
    // An ended link's record is freed at once, so cycles can reuse ConnIds; otherwise
    // it stays dirty until remove_dirty_rows, as until the receiver removes its row.
    bool free_ended = false;
    int allocs = 0;
    std::vector<NewLinkCall> new_links;
    std::vector<ShutdownCall> shutdowns;
    std::vector<MoreDataCall> more_data;
    std::vector<ConnId> released;
    std::vector<EngineCall> calls;
    std::uint64_t data_bytes = 0;  // of every chunk, for whichever ConnId
    int faults = 0;                // calls the life of a ConnId does not allow

    std::function<void()> on_alloc;                 // runs inside alloc_conn_id, first
    std::function<void(std::int8_t)> on_more_data;  // runs inside more_data, once recorded
    std::function<void(ConnId)> on_shutdown_rcv;    // runs inside shutdown_rcv, once recorded
    std::function<void()> on_change;                // runs at the end of every callback
    std::function<void(const std::string&)> on_fault;
    // The socket of a ConnId's table entry, for ShutdownCall::entry_fd.
    std::function<int(ConnId)> link_socket;

private:
    // Counts a fault and reports it, described by what(), when `ok` does not hold.
    template <typename F>
    void check(bool ok, F what) {
        if (!ok) fault(what());
    }
    void fault(const std::string& what);

    std::array<Stage, CONN_TABLE_SIZE> stage_{};
};

const char* stage_name(EngineRecorder::Stage stage);

}  // namespace kelbos::test
