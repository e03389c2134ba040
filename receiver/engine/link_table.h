// SPDX-License-Identifier: Apache-2.0
// The link socket table of the receiver's link engine: one entry for each ConnId, the
// socket and the state of the link it names, and the ways a link leaves the table. The
// admission, the stream reader and the datagram reader all work on this one table; it
// is, with the endpoints and the callbacks, the only state that outlives a call of the
// engine's handler.
#pragma once

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "core/protocol.h"
#include "net/address.h"
#include "net/sockets.h"
#include "receiver/engine/engine_contract.h"

class QObject;
class QSocketNotifier;

namespace kelbos {

// How long one readiness report reads on while data keeps coming. A busy link is
// drained in fewer turns of the event loop (each turn asks the system about every
// socket); after this the other links, the timers and the window get their turn.
inline constexpr std::chrono::microseconds READ_SLICE{2000};

// Where a ConnId's entry of the link socket table stands.
enum class LinkPhase : std::uint8_t {
    empty,     // no socket
    admitted,  // accepted and given a ConnId; its SetupRequest is still coming
    set_up,    // SetupReply sent, new_link called; data flows
};

// A listening endpoint or the datagram socket, with its watch.
struct Endpoint {
    Socket socket;
    QSocketNotifier* notifier = nullptr;
};

struct LinkEntry {
    Socket socket;
    LinkPhase phase = LinkPhase::empty;
    QSocketNotifier* notifier = nullptr;
    // The SetupRequest as it accumulates while admitted.
    SetupRequestBytes setup{};
    std::size_t setup_received = 0;
    std::uint64_t deadline_ms = 0;
    // The peer of the connection. Datagrams for the link count only from this host,
    // and only while the link is set up.
    SocketAddress peer{};
    // A busy link is reported readable only once a whole chunk waits (or the system is
    // short of room for it); `read_lately` tells the sweep it still is.
    bool whole_chunks = false;
    bool read_lately = false;
    std::uint8_t transport = 0;  // of the SetupRequest
    // When the link last brought data, as far as the idle check has seen; for UDP
    // links, whether a datagram came since the last check.
    std::uint64_t active_ms = 0;
    bool datagrams_seen = false;
    // Where the end of the entry's last link came among all ends (1 the first); 0 while
    // none has ended since the entry was last admitted. With `peer` it tells which host
    // an ended link's ConnId, still held by its "Stopped" row, belongs to.
    std::uint64_t ended = 0;
};

// One send of a whole control message. MSG_NOSIGNAL: a peer that has gone away makes
// the send fail instead of raising SIGPIPE.
bool send_bytes(int fd, std::span<const std::uint8_t> bytes);

// A socket operation that failed only for want of something to do now.
inline bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// Stops a notifier's reports at once and deletes it once control is back in the event
// loop: it may be the very notifier whose report is being handled.
void retire(QSocketNotifier*& notifier);

class LinkTable {
public:
    using Entries = std::array<LinkEntry, CONN_TABLE_SIZE>;  // entry 0 unused

    // Link sockets are watched on behalf of `owner`, their reports handed to the
    // engine through `hooks`; ends are reported through the engine's callbacks.
    LinkTable(QObject& owner, TableHooks hooks, const EngineCallbacks& callbacks)
        : owner_(owner), hooks_(std::move(hooks)), callbacks_(callbacks) {}
    LinkTable(const LinkTable&) = delete;
    LinkTable& operator=(const LinkTable&) = delete;

    LinkEntry& operator[](std::size_t conn_id) { return entries_[conn_id]; }
    const LinkEntry& operator[](std::size_t conn_id) const { return entries_[conn_id]; }
    Entries::iterator begin() { return entries_.begin(); }
    Entries::iterator end() { return entries_.end(); }
    Entries::const_iterator begin() const { return entries_.begin(); }
    Entries::const_iterator end() const { return entries_.end(); }

    // The ConnId whose entry holds fd, or CONN_NONE.
    ConnId lookup(int fd) const {
        if (fd < 0) return CONN_NONE;
        for (int c = CONN_FIRST; c <= CONN_LAST; ++c)
            if (entries_[c].socket.fd() == fd) return static_cast<ConnId>(c);
        return CONN_NONE;
    }

    // Starts the watch over the socket of an entry: its reports go to the engine.
    void watch(ConnId conn_id);
    // Shut down both ways, stop the notifications, close; the entry is empty afterwards.
    void close(ConnId conn_id);
    // A set-up link ends: a UDP link's datagrams that wait are counted first, then its
    // socket is closed and its end reported, with reason 2 (failed) unless told.
    void end_link(ConnId conn_id, const std::string& text, int reason = REASON_ABORTED);

private:
    Entries entries_;
    std::uint64_t ends_ = 0;
    QObject& owner_;
    TableHooks hooks_;
    const EngineCallbacks& callbacks_;
};

}  // namespace kelbos
