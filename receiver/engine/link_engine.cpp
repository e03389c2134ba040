// SPDX-License-Identifier: Apache-2.0
#include "receiver/engine/link_engine.h"

#include <sys/socket.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>

#include "core/clock.h"

namespace kelbos {

namespace {

// How long a listener rests after an accept failed for want of descriptors or memory
// before it accepts again.
constexpr std::chrono::milliseconds ACCEPT_REST{100};

bool bind_to(const Socket& socket, const SocketAddress& address) {
    return ::bind(socket.fd(), address.get(), address.length) == 0;
}

}  // namespace

LinkEngine::LinkEngine(EngineCallbacks callbacks, EngineOptions options, QObject* parent)
    : QObject(parent), callbacks_(std::move(callbacks)), options_(options) {}

LinkEngine::~LinkEngine() {
    // The sockets close themselves; their notifiers must stop first.
    for (LinkEntry& entry : links_) retire(entry.notifier);
    close_endpoints();
}

LinkStatus LinkEngine::fail(LinkStatus status) {
    last_error_ = errno;
    return status;
}

void LinkEngine::close_endpoints() {
    for (Endpoint* endpoint : {&control_, &datagram_, &stream_}) {
        retire(endpoint->notifier);
        endpoint->socket.reset();
    }
}

LinkStatus LinkEngine::comm_init() {
    close_endpoints();
    last_error_ = 0;

    // Each endpoint takes IPv6 and IPv4 alike where the system has IPv6.
    WildcardSocket control = make_wildcard_socket(SOCK_STREAM, options_.ports.control);
    WildcardSocket datagram = make_wildcard_socket(SOCK_DGRAM, options_.ports.datagram);
    control_.socket = std::move(control.socket);
    datagram_.socket = std::move(datagram.socket);
    // Datagrams that arrive while the thread is busy elsewhere (a frame, another link)
    // wait in this buffer; when it is full the system drops them. A buffer of one
    // datagram would lose most of a fast link's data.
    datagrams_.set_receive_buffer(set_large_receive_buffer(datagram_.socket.fd(), DATAGRAM_RECEIVE_BUFFER,
                                                           static_cast<int>(UDP_MAX_MESSAGE)));
    if (datagrams_.receive_buffer() < 0) return fail(LinkStatus::socket_error);
    // The system notes when each datagram arrived, for the jitter of numbered ones: a
    // batch is read well after its first datagram came. Without the notes the time of
    // the read stands in.
    set_int_option(datagram_.socket.fd(), SOL_SOCKET, SO_TIMESTAMPNS, 1);
    // The stream listener and the links it accepts keep the system's automatic sizing
    // of their receive buffers: a fixed size would cap every link at that many bytes
    // per round trip, whatever the network could carry.
    WildcardSocket stream = make_wildcard_socket(SOCK_STREAM, options_.ports.stream);
    stream_.socket = std::move(stream.socket);
    // A restarted receiver must get its listening ports back while connections of
    // its previous run still linger in TIME_WAIT. Not on the datagram port: there it
    // would let two receivers share the port.
    if (!set_int_option(control_.socket.fd(), SOL_SOCKET, SO_REUSEADDR, 1) ||
        !set_int_option(stream_.socket.fd(), SOL_SOCKET, SO_REUSEADDR, 1))
        return fail(LinkStatus::socket_error);

    if (!bind_to(control_.socket, control.any)) return fail(LinkStatus::bind_error);
    if (!bind_to(datagram_.socket, datagram.any)) return fail(LinkStatus::bind_error);
    if (!bind_to(stream_.socket, stream.any)) return fail(LinkStatus::bind_error);

    if (::listen(control_.socket.fd(), LISTEN_BACKLOG) != 0) return fail(LinkStatus::listen_error);
    if (::listen(stream_.socket.fd(), LISTEN_BACKLOG) != 0) return fail(LinkStatus::listen_error);

    // Readiness may be reported for a connection or datagram that a nested call has
    // already taken: no endpoint may ever block the thread.
    for (const Endpoint* endpoint : {&control_, &datagram_, &stream_})
        if (!set_nonblocking(endpoint->socket.fd())) return fail(LinkStatus::socket_error);

    watch(control_, EVENT_ACCEPT);
    watch(datagram_, EVENT_READ);
    watch(stream_, EVENT_ACCEPT);
    admission_.start_idle_checks();
    return LinkStatus::ok;
}

void LinkEngine::watch(Endpoint& endpoint, int event) {
    const int fd = endpoint.socket.fd();
    endpoint.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(endpoint.notifier, &QSocketNotifier::activated, this,
            [this, fd, event] { comm_event(fd, event); });
}

Endpoint* LinkEngine::endpoint_of(int fd) {
    for (Endpoint* endpoint : {&control_, &datagram_, &stream_})
        if (endpoint->socket && endpoint->socket.fd() == fd) return endpoint;
    return nullptr;
}

int LinkEngine::link_socket(ConnId conn_id) const {
    if (conn_id < CONN_FIRST || conn_id > CONN_LAST) return -1;
    return links_[conn_id].socket.fd();
}

int LinkEngine::links_setting_up() const {
    return admission_.links_setting_up();
}

void LinkEngine::comm_event(int fd, int event, int error) {
    if (fd < 0) return;
    if (Endpoint* endpoint = endpoint_of(fd)) {
        if (error != 0) {
            endpoint_error(*endpoint);
        } else if (event == EVENT_READ || event == EVENT_ACCEPT) {
            // A listener's readiness is a connection waiting, whatever the report says.
            if (endpoint == &datagram_)
                datagrams_.read();
            else if (!admission_.accept_link(fd))
                rest_listener(fd);
        }
        return;
    }
    const ConnId conn_id = links_.lookup(fd);
    if (conn_id == CONN_NONE) return;  // not (or no longer) ours: a stale report
    if (error != 0) {
        if (links_[conn_id].phase == LinkPhase::admitted)
            admission_.drop_admission(conn_id);
        else
            links_.end_link(conn_id, error_text(error));
        return;
    }
    if (event != EVENT_READ && event != EVENT_ACCEPT) return;
    if (links_[conn_id].phase == LinkPhase::admitted)
        admission_.read_setup(conn_id);
    else
        read_link(conn_id);
}

// An error reported on an endpoint closes it; the receiver goes on with the others.
void LinkEngine::endpoint_error(Endpoint& endpoint) {
    ::shutdown(endpoint.socket.fd(), SHUT_RDWR);
    retire(endpoint.notifier);
    endpoint.socket.reset();
}

// The listener stops reporting for a moment; its connections wait in its queue until
// descriptors are free again. This runs when no descriptor is left, and the undefined
// behaviour checker's type check of a call on a Qt object reads the process's memory
// map, which needs one: it is left out here.
__attribute__((no_sanitize("vptr"))) void LinkEngine::rest_listener(int listener_fd) {
    Endpoint* endpoint = endpoint_of(listener_fd);
    if (!endpoint || !endpoint->notifier) return;
    endpoint->notifier->setEnabled(false);
    QTimer::singleShot(ACCEPT_REST, this, [this, listener_fd] {
        // The endpoint may have been closed meanwhile.
        if (Endpoint* rested = endpoint_of(listener_fd); rested && rested->notifier)
            rested->notifier->setEnabled(true);
    });
}

void LinkEngine::read_link(ConnId conn_id) {
    const std::optional<std::uint8_t> request_reason = streams_.read(conn_id);
    if (request_reason) shutdown_link(conn_id, *request_reason);
}

// A link's own request: acknowledged on its connection, which then closes (the
// datagrams sent before the request still count for the link). A failed
// acknowledgement leaves the link open.
void LinkEngine::shutdown_link(ConnId conn_id, std::uint8_t reason) {
    const LinkEntry& entry = links_[conn_id];
    if (entry.phase != LinkPhase::set_up) return;
    if (!send_bytes(entry.socket.fd(), encode_shutdown_ack(conn_id))) return;
    links_.end_link(conn_id, "Remote shutdown request", reason);
}

}  // namespace kelbos
