// SPDX-License-Identifier: Apache-2.0
// The network side of kelbosrx: the three listening endpoints, admission of new links
// with their SetupRequest and SetupReply, the data of every link, the ShutdownRequest
// found at the end of a chunk and its ShutdownAck, and the end of every link. The
// engine owns the sockets and the table that maps ConnId to socket; what a link means
// to the user is decided by the callbacks.
//
// The engine ties three parts over one link socket table: the admission of new links
// (link_admission), the chunk reader of stream links (stream_reader) and the batch
// reader of the datagram socket (datagram_reader). It owns the endpoints and routes
// every readiness report to the part that handles it.
//
// Everything runs on the one GUI thread. Readiness comes from QSocketNotifier; the
// handling function can also be called directly (comm_event), so a harness can drive
// the real handling code without an event loop.
//
// Callbacks may run a nested event loop (a modal message box) that dispatches more
// notifications into the engine, even for the same socket: the engine keeps no
// reference into its state across a callback and looks at the state again afterwards.
#pragma once

#include <netinet/in.h>

#include <QObject>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/protocol.h"
#include "net/address.h"
#include "net/sockets.h"
#include "receiver/engine/datagram_reader.h"
#include "receiver/engine/engine_contract.h"
#include "receiver/engine/link_admission.h"
#include "receiver/engine/link_table.h"
#include "receiver/engine/receive_buffer_pool.h"
#include "receiver/engine/stream_reader.h"

class QSocketNotifier;

namespace kelbos {

// The receive buffer the datagram socket asks for, where the system lets it exceed its
// ceiling for unprivileged programs: about a thousand of the largest datagrams, some
// milliseconds of a fast link.
inline constexpr int DATAGRAM_RECEIVE_BUFFER = 16 * 1024 * 1024;

class LinkEngine : public QObject {
    Q_OBJECT

public:
    explicit LinkEngine(EngineCallbacks callbacks, EngineOptions options = {}, QObject* parent = nullptr);
    ~LinkEngine() override;
    LinkEngine(const LinkEngine&) = delete;
    LinkEngine& operator=(const LinkEngine&) = delete;

    // Opens the control listener, the datagram socket and the stream listener and
    // starts watching them. ok, socket_error (a receive-buffer or address-reuse option
    // could not be set), bind_error or listen_error; last_error() keeps the errno.
    LinkStatus comm_init();
    int last_error() const { return last_error_; }

    // One readiness report for a socket of the engine. A nonzero error is an error
    // condition on the socket. Reports for sockets the engine does not hold are
    // ignored.
    void comm_event(int fd, int event, int error = 0);

    // The socket in a ConnId's table entry, -1 when it holds none.
    int link_socket(ConnId conn_id) const;
    // Connections admitted whose set-up has not finished.
    int links_setting_up() const;

    int datagram_socket() const { return datagram_.socket.fd(); }
    // The datagram socket's receive buffer as the system reported it once set; -1
    // before comm_init has set one.
    int datagram_receive_buffer() const { return datagrams_.receive_buffer(); }
    // Datagrams dropped because they did not come from the host of the link their
    // first byte names (or named no link).
    std::uint64_t foreign_datagrams() const { return datagrams_.foreign(); }
    // Reads the datagrams that wait, until none does (within a bound).
    void read_waiting_datagrams() { datagrams_.read(true); }

private:
    friend struct LinkEnginePeer;  // tests look at the table, the endpoints and the buffers

    LinkStatus fail(LinkStatus status);
    void close_endpoints();
    void watch(Endpoint& endpoint, int event);
    Endpoint* endpoint_of(int fd);
    void endpoint_error(Endpoint& endpoint);
    void rest_listener(int listener_fd);
    void read_link(ConnId conn_id);
    void shutdown_link(ConnId conn_id, std::uint8_t reason);

    EngineCallbacks callbacks_;
    EngineOptions options_;
    int last_error_ = 0;
    Endpoint control_;
    Endpoint datagram_;
    Endpoint stream_;
    ReceiveBufferPool buffers_{LARGEST_MESSAGE};
    LinkTable links_{*this,
                     TableHooks{[this](int fd, EngineEvent event) { comm_event(fd, event); },
                                [this] { read_waiting_datagrams(); }},
                     callbacks_};
    LinkAdmission admission_{links_, callbacks_, options_};
    StreamReader streams_{links_, callbacks_, buffers_};
    DatagramReader datagrams_{links_, callbacks_, buffers_, datagram_};
};

}  // namespace kelbos
