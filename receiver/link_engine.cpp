// SPDX-License-Identifier: Apache-2.0
#include "link_engine.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <span>
#include <type_traits>

#include "clock.h"
#include "reverse_name.h"
#include "tcp_info.h"

namespace kelbos {

namespace {

// One send of a whole control message. MSG_NOSIGNAL: a peer that has gone away makes
// the send fail instead of raising SIGPIPE.
bool send_bytes(int fd, std::span<const std::uint8_t> bytes) {
    ssize_t n;
    do {
        n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(bytes.size());
}

// How long one readiness report reads on while data keeps coming. A busy link is
// drained in fewer turns of the event loop (each turn asks the system about every
// socket); after this the other links, the timers and the window get their turn.
constexpr std::chrono::microseconds READ_SLICE{2000};

// How long a link's end waits at most for the datagram socket to be emptied: other
// links may keep it full.
constexpr std::chrono::milliseconds DRAIN_SLICE{50};

// How long the emptied datagram socket is left to fill before it is watched again.
constexpr std::chrono::milliseconds READ_REST{1};
// The datagram socket rests only when its buffer holds a few milliseconds of the
// fastest link, as the system reports its size.
constexpr int DATAGRAM_REST_BUFFER = 8 * 1024 * 1024;

// How often links that wait for whole chunks are looked at: one that was not read since
// the last look goes back to being reported for every byte, so the end of a
// transmission (its last bytes, its shutdown request) waits at most two of these.
constexpr std::chrono::milliseconds SWEEP_EVERY{1};

// Datagrams taken from the socket by one system call.
constexpr int DATAGRAM_BATCH = 64;
// The bytes of each datagram copied out of the system: the ConnId in its first byte
// and, in a numbered datagram, the numbers that follow it.
constexpr std::size_t DATAGRAM_HEAD = NUMBERED_HEAD_LEN;
// Room for the system's note of each datagram's arrival time.
constexpr std::size_t DATAGRAM_NOTE = CMSG_SPACE(sizeof(timespec));

// One batched read's headers, placed in a receive buffer of the call.
struct DatagramBatch {
    std::array<mmsghdr, DATAGRAM_BATCH> headers;
    std::array<iovec, DATAGRAM_BATCH> vectors;
    std::array<SocketAddress, DATAGRAM_BATCH> sources;
    std::array<std::array<std::uint8_t, DATAGRAM_HEAD>, DATAGRAM_BATCH> heads;
    alignas(cmsghdr) std::array<std::array<std::uint8_t, DATAGRAM_NOTE>, DATAGRAM_BATCH> notes;

    void prepare() {
        for (int i = 0; i < DATAGRAM_BATCH; ++i) {
            vectors[i] = iovec{heads[i].data(), DATAGRAM_HEAD};
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_name = &sources[i].storage;
            headers[i].msg_hdr.msg_namelen = sizeof sources[i].storage;
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            headers[i].msg_hdr.msg_control = notes[i].data();
            headers[i].msg_hdr.msg_controllen = DATAGRAM_NOTE;
        }
    }

    // When datagram i arrived, in nanoseconds of the system's real-time clock: as the
    // system noted it, or now when it did not.
    std::uint64_t arrival_ns(int i) {
        timespec when{};
        msghdr& header = headers[i].msg_hdr;
        cmsghdr* note = CMSG_FIRSTHDR(&header);
        if (note && note->cmsg_level == SOL_SOCKET && note->cmsg_type == SCM_TIMESTAMPNS)
            std::memcpy(&when, CMSG_DATA(note), sizeof when);
        else
            ::clock_gettime(CLOCK_REALTIME, &when);
        return static_cast<std::uint64_t>(when.tv_sec) * 1000000000u +
               static_cast<std::uint64_t>(when.tv_nsec);
    }
};
static_assert(sizeof(DatagramBatch) <= LARGEST_MESSAGE);
static_assert(std::is_trivially_destructible_v<DatagramBatch>);

// A link chunk at least this long has its body dropped by the system instead of copied
// out: only its last bytes are ever looked at. Below this size the copy costs about as
// much as the extra system call that dropping it takes.
constexpr std::size_t DISCARD_FROM = 16 * 1024;

// The bytes of a stream socket the system holds, not yet read; 0 when it cannot tell.
std::size_t bytes_waiting(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Takes the next `chunk` bytes of a stream, all of them already waiting in the system,
// as one read of that size would, but copies out only the last SHUTDOWN_REQUEST_LEN of
// them, into `tail`. Returns the bytes taken, or -1 with errno set. Should the stream
// give fewer (a reset that came meanwhile), `tail` is left zeroed, which no request is.
ssize_t take_chunk(int fd, std::size_t chunk, std::span<std::uint8_t> scratch,
                   std::array<std::uint8_t, SHUTDOWN_REQUEST_LEN>& tail) {
    tail.fill(0);
    const std::size_t body = chunk - SHUTDOWN_REQUEST_LEN;
    // MSG_TRUNC on a stream socket: the bytes are consumed but never copied.
    const ssize_t dropped = ::recv(fd, scratch.data(), body, MSG_TRUNC | MSG_DONTWAIT);
    if (dropped < 0 || static_cast<std::size_t>(dropped) < body) return dropped;
    const ssize_t last = ::recv(fd, tail.data(), tail.size(), MSG_DONTWAIT);
    if (last == static_cast<ssize_t>(tail.size())) return static_cast<ssize_t>(chunk);
    tail.fill(0);
    return dropped + std::max<ssize_t>(last, 0);
}

bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// An accept that failed for want of descriptors or memory leaves the connection queued
// and the listener readable: trying again at once fails again, in a busy loop.
bool out_of_resources(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// How long a listener rests after such a failure before it accepts again.
constexpr std::chrono::milliseconds ACCEPT_REST{100};

// How often idle links are looked for: an eighth of the time-out, within these bounds.
// A UDP link's datagrams are seen at these checks, so it ends at most this much late.
constexpr std::chrono::milliseconds IDLE_CHECK_MIN{100};
constexpr std::chrono::milliseconds IDLE_CHECK_MAX{1000};

// Stops a notifier's reports at once and deletes it once control is back in the event
// loop: it may be the very notifier whose report is being handled.
void retire(QSocketNotifier*& notifier) {
    if (!notifier) return;
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}

std::uint16_t bound_port(const Socket& socket) {
    return socket ? port_of(local_address(socket.fd())) : 0;
}

bool bind_to(const Socket& socket, const SocketAddress& address) {
    return ::bind(socket.fd(), address.get(), address.length) == 0;
}

}  // namespace

LinkEngine::LinkEngine(EngineCallbacks callbacks, EngineOptions options, QObject* parent)
    : QObject(parent), callbacks_(std::move(callbacks)), options_(options) {
    admission_timer_.setSingleShot(true);
    admission_timer_.setTimerType(Qt::PreciseTimer);
    connect(&admission_timer_, &QTimer::timeout, this, &LinkEngine::expire_admissions);
    rest_timer_.setSingleShot(true);
    rest_timer_.setTimerType(Qt::PreciseTimer);
    rest_timer_.setInterval(READ_REST);
    connect(&rest_timer_, &QTimer::timeout, this, &LinkEngine::end_rests);
    sweep_timer_.setTimerType(Qt::PreciseTimer);
    sweep_timer_.setInterval(SWEEP_EVERY);
    connect(&sweep_timer_, &QTimer::timeout, this, &LinkEngine::sweep_links);
    connect(&idle_timer_, &QTimer::timeout, this, &LinkEngine::end_idle_links);
}

LinkEngine::~LinkEngine() {
    // The sockets close themselves; their notifiers must stop first.
    for (LinkEntry& entry : link_sockets_) retire(entry.notifier);
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
    datagram_receive_buffer_ = set_large_receive_buffer(datagram_.socket.fd(), DATAGRAM_RECEIVE_BUFFER,
                                                        static_cast<int>(UDP_MAX_MESSAGE));
    if (datagram_receive_buffer_ < 0) return fail(LinkStatus::socket_error);
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
    if (options_.idle_timeout.count() > 0) {
        const auto eighth = std::chrono::duration_cast<std::chrono::milliseconds>(options_.idle_timeout) / 8;
        idle_timer_.start(std::clamp(eighth, IDLE_CHECK_MIN, IDLE_CHECK_MAX));
    }
    return LinkStatus::ok;
}

Ports LinkEngine::bound_ports() const {
    return Ports{bound_port(control_.socket), bound_port(datagram_.socket), bound_port(stream_.socket)};
}

void LinkEngine::watch(Endpoint& endpoint, int event) {
    const int fd = endpoint.socket.fd();
    endpoint.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(endpoint.notifier, &QSocketNotifier::activated, this,
            [this, fd, event] { comm_event(fd, event); });
}

void LinkEngine::watch_link(ConnId conn_id) {
    LinkEntry& entry = link_sockets_[conn_id];
    const int fd = entry.socket.fd();
    entry.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(entry.notifier, &QSocketNotifier::activated, this, [this, fd] { comm_event(fd, EVENT_READ); });
}

LinkEngine::Endpoint* LinkEngine::endpoint_of(int fd) {
    for (Endpoint* endpoint : {&control_, &datagram_, &stream_})
        if (endpoint->socket && endpoint->socket.fd() == fd) return endpoint;
    return nullptr;
}

ConnId LinkEngine::lookup_conn_id(int fd) const {
    if (fd < 0) return CONN_NONE;
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c)
        if (link_sockets_[c].socket.fd() == fd) return static_cast<ConnId>(c);
    return CONN_NONE;
}

int LinkEngine::link_socket(ConnId conn_id) const {
    if (conn_id < CONN_FIRST || conn_id > CONN_LAST) return -1;
    return link_sockets_[conn_id].socket.fd();
}

LinkPhase LinkEngine::link_phase(ConnId conn_id) const {
    if (conn_id < CONN_FIRST || conn_id > CONN_LAST) return LinkPhase::empty;
    return link_sockets_[conn_id].phase;
}

int LinkEngine::links_setting_up() const {
    return static_cast<int>(std::count_if(link_sockets_.begin(), link_sockets_.end(),
                                          [](const LinkEntry& e) { return e.phase == LinkPhase::admitted; }));
}

int LinkEngine::host_links(const SocketAddress& peer) const {
    return static_cast<int>(std::count_if(
        link_sockets_.begin(), link_sockets_.end(),
        [&](const LinkEntry& e) { return e.phase != LinkPhase::empty && same_host(e.peer, peer); }));
}

void LinkEngine::report_refusal(const SocketAddress& peer, Refusal why) {
    if (callbacks_.link_refused) callbacks_.link_refused(peer, why);
}

void LinkEngine::comm_event(int fd, int event, int error) {
    if (fd < 0) return;
    if (Endpoint* endpoint = endpoint_of(fd)) {
        if (error != 0) {
            endpoint_error(*endpoint);
        } else if (event == EVENT_READ || event == EVENT_ACCEPT) {
            // A listener's readiness is a connection waiting, whatever the report says.
            if (endpoint == &datagram_)
                read_datagram();
            else
                accept_link(fd);
        }
        return;
    }
    const ConnId conn_id = lookup_conn_id(fd);
    if (conn_id == CONN_NONE) return;  // not (or no longer) ours: a stale report
    if (error != 0) {
        if (link_sockets_[conn_id].phase == LinkPhase::admitted)
            drop_admission(conn_id);
        else
            end_link(conn_id, error_text(error));
        return;
    }
    if (event != EVENT_READ && event != EVENT_ACCEPT) return;
    if (link_sockets_[conn_id].phase == LinkPhase::admitted)
        read_setup(conn_id);
    else
        read_link(conn_id);
}

// An error reported on an endpoint closes it; the receiver goes on with the others.
void LinkEngine::endpoint_error(Endpoint& endpoint) {
    ::shutdown(endpoint.socket.fd(), SHUT_RDWR);
    retire(endpoint.notifier);
    endpoint.socket.reset();
}

void LinkEngine::accept_link(int listener_fd) {
    SocketAddress peer;
    Socket socket(::accept4(listener_fd, peer.get(), &peer.length, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!socket) {
        const int err = errno;
        // Nothing waiting is no failure: a nested call took the connection already.
        if (would_block(err)) return;
        perror_diag("inted: accept");
        if (out_of_resources(err)) rest_listener(listener_fd);
        return;
    }
    // A host that is not allowed gets nothing: no ConnId, no reply.
    if (!options_.allow.empty() && !list_holds(options_.allow, peer)) {
        socket.reset();
        report_refusal(peer, Refusal::not_allowed);
        return;
    }
    // A socket that cannot be given its watch over a vanishing peer is closed here, on
    // every return path below that does not hand it to the table. Its receive buffer
    // is left to the system's automatic sizing: a fixed size would cap the link at
    // that many bytes per round trip, whatever the network could carry.
    if (!set_keepalive(socket.fd())) return;

    // A host with its share of links is refused as a full receiver refuses.
    if (options_.links_per_host < CONN_LAST && host_links(peer) >= options_.links_per_host) {
        send_bytes(socket.fd(), encode_setup_reject());
        report_refusal(peer, Refusal::host_limit);
        return;
    }
    // May run a modal loop that comes back into the engine; nothing is held across it
    // but the new socket, which no other call knows of.
    const ConnId conn_id = callbacks_.alloc_conn_id ? callbacks_.alloc_conn_id() : CONN_NONE_FREE;
    if (conn_id < CONN_FIRST || conn_id > CONN_LAST) {
        send_bytes(socket.fd(), encode_setup_reject());
        report_refusal(peer, Refusal::allocation);
        return;
    }

    // The ConnId is ours again: whatever its entry still held is replaced.
    close_entry(conn_id);
    LinkEntry& entry = link_sockets_[conn_id];
    entry.socket = std::move(socket);
    entry.phase = LinkPhase::admitted;
    entry.setup_received = 0;
    entry.deadline_ms = now_ms() + static_cast<std::uint64_t>(options_.setup_wait.count());
    entry.peer = peer;
    watch_link(conn_id);
    arm_admission_timer();
    read_setup(conn_id);  // the request has often arrived with the connection
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

void LinkEngine::read_setup(ConnId conn_id) {
    LinkEntry& entry = link_sockets_[conn_id];
    // Only what is still missing: data that follows the request belongs to the link.
    const std::size_t missing = SETUP_REQUEST_LEN - entry.setup_received;
    const ssize_t n = ::recv(entry.socket.fd(), entry.setup.data() + entry.setup_received, missing, 0);
    if (n > 0) {
        entry.setup_received += static_cast<std::size_t>(n);
        if (entry.setup_received == SETUP_REQUEST_LEN) complete_setup(conn_id);
        return;
    }
    if (n < 0 && would_block(errno)) return;
    drop_admission(conn_id);  // closed before the whole request came, or failed
}

void LinkEngine::complete_setup(ConnId conn_id) {
    LinkEntry& entry = link_sockets_[conn_id];
    const auto request = decode_setup_request(entry.setup);
    std::string name = reverse_name(entry.peer, options_.name_budget);
    if (name.size() > SETUP_HOST_FIELD) name.resize(SETUP_HOST_FIELD);
    if (!request || !send_bytes(entry.socket.fd(), encode_setup_accept(conn_id))) {
        drop_admission(conn_id);
        return;
    }
    entry.phase = LinkPhase::set_up;
    entry.transport = request->transport;
    entry.active_ms = now_ms();
    entry.datagrams_seen = false;
    arm_admission_timer();
    if (callbacks_.new_link)
        callbacks_.new_link(conn_id, name, request->colour_text, request->transport, request->kelbo_bytes);
}

void LinkEngine::read_link(ConnId conn_id) {
    const int fd = link_sockets_[conn_id].socket.fd();
    // The chunks, read into a buffer of this read; a ShutdownRequest for the link ends it
    // once the buffer is back, after the datagrams waiting for it.
    const std::optional<std::uint8_t> request_reason = [&]() -> std::optional<std::uint8_t> {
        // The buffer belongs to this call: a callback below may bring the engine back in.
        const ReceiveBufferPool::Lease buffer = buffers_.take();
        const auto slice_end = std::chrono::steady_clock::now() + READ_SLICE;
        std::array<std::uint8_t, SHUTDOWN_REQUEST_LEN> tail{};
        std::size_t waiting = 0;  // bytes known to be waiting in the system
        link_sockets_[conn_id].read_lately = true;
        for (bool first = true;; first = false) {
            // A chunk is what one read of the buffer's size would take now. When that much is
            // known to wait and it is long, its body is dropped in the system and only its
            // end copied out, for the chunk rule. A link waiting for whole chunks leaves a
            // part chunk for its next report, which comes at once if a whole one is there
            // already; the first read of a report is always made, whatever waits, or a
            // report for want of room would come again.
            if (!first && waiting < buffer.size() && link_sockets_[conn_id].whole_chunks) return std::nullopt;
            if (waiting < buffer.size()) waiting = bytes_waiting(fd);
            const std::size_t chunk = std::min(waiting, buffer.size());
            const bool dropped = chunk >= DISCARD_FROM;
            const ssize_t n = dropped ? take_chunk(fd, chunk, buffer.bytes(), tail)
                                      : ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n < 0) {
                const int err = errno;
                if (!would_block(err)) end_link(conn_id, error_text(err));
                return std::nullopt;
            }
            if (n == 0) {
                char text[96];
                std::snprintf(text, sizeof text,
                              "ZERO length message received (EOF!) on socket %d, shutting it down", fd);
                end_link(conn_id, text);
                return std::nullopt;
            }
            const auto taken = static_cast<std::size_t>(n);
            waiting = waiting > taken ? waiting - taken : 0;
            // A chunk ends the link only with a request naming this link; one that looks
            // like a request for any other is data of this link. The data in front of the
            // request arrived like any other and is counted before the link ends; the
            // request's own bytes are not data.
            const auto request =
                dropped ? find_shutdown_request(tail) : find_shutdown_request(buffer.bytes().first(taken));
            const bool ends = request && request->conn_id == conn_id;
            const std::size_t data = ends ? taken - SHUTDOWN_REQUEST_LEN : taken;
            if (data > 0 && callbacks_.more_data)
                callbacks_.more_data(static_cast<std::int8_t>(conn_id), static_cast<std::uint32_t>(data));
            if (ends) return request->reason;
            // The callback may have ended the link, or let a nested loop end it.
            if (lookup_conn_id(fd) != conn_id || link_sockets_[conn_id].phase != LinkPhase::set_up)
                return std::nullopt;
            // A chunk short of the buffer took what had arrived: the next report comes when
            // more has come. Full chunks are read on while the slice lasts.
            if (taken < buffer.size()) return std::nullopt;
            if (waiting >= buffer.size()) wait_for_whole_chunks(conn_id);
            if (std::chrono::steady_clock::now() >= slice_end) return std::nullopt;
        }
    }();
    if (!request_reason) return;
    // The datagrams sent before the request are waiting too: they count for the link
    // before it ends.
    read_datagram(true);
    if (lookup_conn_id(fd) == conn_id) shutdown_link(conn_id, *request_reason);
}

// A link found with two whole chunks waiting has a sender well ahead of the reads: from
// then on it is reported readable only when a whole chunk waits (SO_RCVLOWAT), one
// wake-up for each chunk instead of one for every segment that arrives. The system
// still reports it at once when it runs short of room for more, and the sweep lets a
// link that slows down or stops be reported for every byte again. (A sender with a
// small buffer never gets that far ahead, and is never kept waiting for a whole chunk.)
void LinkEngine::wait_for_whole_chunks(ConnId conn_id) {
    LinkEntry& entry = link_sockets_[conn_id];
    if (entry.whole_chunks) return;
    if (!set_int_option(entry.socket.fd(), SOL_SOCKET, SO_RCVLOWAT, static_cast<int>(buffers_.buffer_size())))
        return;
    entry.whole_chunks = true;
    if (!sweep_timer_.isActive()) sweep_timer_.start();
}

void LinkEngine::sweep_links() {
    bool any = false;
    for (LinkEntry& entry : link_sockets_) {
        if (!entry.whole_chunks) continue;
        if (entry.read_lately) {
            entry.read_lately = false;
            any = true;
            continue;
        }
        // Not read since the last look: what waits is less than a chunk, and is
        // reported (by the system, at once) as soon as any byte is enough again.
        entry.whole_chunks = false;
        if (entry.socket) set_int_option(entry.socket.fd(), SOL_SOCKET, SO_RCVLOWAT, 1);
    }
    if (!any) sweep_timer_.stop();
}

void LinkEngine::read_datagram(bool until_empty) {
    // The batch's headers live in the call's own buffer: the handler can be entered
    // again from a callback.
    const ReceiveBufferPool::Lease buffer = buffers_.take();
    auto* batch = new (buffer.data()) DatagramBatch;
    const auto slice_end = std::chrono::steady_clock::now() + (until_empty ? DRAIN_SLICE : READ_SLICE);
    for (;;) {
        if (!datagram_.socket) return;  // closed by a nested call
        batch->prepare();
        // MSG_TRUNC: each datagram's length as it came, although only its first bytes
        // are copied; the rest of it is never looked at.
        const int count = ::recvmmsg(datagram_.socket.fd(), batch->headers.data(), DATAGRAM_BATCH,
                                     MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (count <= 0) {  // emptied, or failed: the next report tries again
            rest_datagrams();
            return;
        }
        for (int i = 0; i < count; ++i) {
            const std::uint32_t length = batch->headers[i].msg_len;
            if (length == 0) continue;  // nothing to count
            SocketAddress& source = batch->sources[i];
            source.length = batch->headers[i].msg_hdr.msg_namelen;
            const ConnId conn_id = datagram_link(batch->heads[i][0], source);
            if (conn_id == CONN_NONE) {
                ++foreign_datagrams_;
                continue;
            }
            if (callbacks_.more_data) callbacks_.more_data(static_cast<std::int8_t>(conn_id), length);
            if (!callbacks_.datagram_numbers) continue;
            const auto head = std::span<const std::uint8_t>(batch->heads[i])
                                  .first(std::min<std::size_t>(length, DATAGRAM_HEAD));
            if (const auto numbers = read_datagram_numbers(head))
                callbacks_.datagram_numbers(conn_id, *numbers, batch->arrival_ns(i));
        }
        // A short batch emptied the socket; a full one may have left more, read on
        // while the slice lasts.
        if (count < DATAGRAM_BATCH) {
            rest_datagrams();
            return;
        }
        if (std::chrono::steady_clock::now() >= slice_end) return;
    }
}

// Once the datagram socket is empty the next datagram would wake the thread at once,
// and at a fast link's rate that is tens of thousands of wake-ups a second, each of
// them paid for by the sender too. Where its buffer holds far more than arrives
// meanwhile, the socket is left to fill for a moment instead, then read in batches.
// (TCP links are not rested: a sender whose window or buffer is small would wait out
// every rest with nothing to send.)
void LinkEngine::rest_datagrams() {
    if (!datagram_.notifier || datagram_receive_buffer_ < DATAGRAM_REST_BUFFER) return;
    datagram_.notifier->setEnabled(false);
    datagram_resting_ = true;
    rest_timer_.start();
}

void LinkEngine::end_rests() {
    // The socket may have been closed meanwhile.
    if (datagram_resting_ && datagram_.notifier) datagram_.notifier->setEnabled(true);
    datagram_resting_ = false;
}

// The first byte names the link; the datagram counts for it only while the link is set
// up, and only when it comes from the host at the other end of the link's connection
// (which is on the allow list, if there is one). Once the link has ended, datagrams
// naming its ConnId count for nothing.
ConnId LinkEngine::datagram_link(std::uint8_t first_byte, const SocketAddress& source) {
    if (first_byte < CONN_FIRST || first_byte > CONN_LAST) return CONN_NONE;
    LinkEntry& entry = link_sockets_[first_byte];
    if (entry.phase != LinkPhase::set_up || !same_host(entry.peer, source)) return CONN_NONE;
    entry.datagrams_seen = true;
    return static_cast<ConnId>(first_byte);
}

// A link's own request: acknowledged on its connection, which then closes. A failed
// acknowledgement leaves the link open.
void LinkEngine::shutdown_link(ConnId conn_id, std::uint8_t reason) {
    const LinkEntry& entry = link_sockets_[conn_id];
    if (entry.phase != LinkPhase::set_up) return;
    if (!send_bytes(entry.socket.fd(), encode_shutdown_ack(conn_id))) return;
    close_entry(conn_id);
    if (callbacks_.shutdown_rcv) callbacks_.shutdown_rcv(conn_id, reason, "Remote shutdown request");
}

// Shut down both ways, stop the notifications, close; the entry is empty afterwards.
void LinkEngine::close_entry(ConnId conn_id) {
    LinkEntry& entry = link_sockets_[conn_id];
    if (entry.socket) ::shutdown(entry.socket.fd(), SHUT_RDWR);
    retire(entry.notifier);
    entry.socket.reset();
    entry.phase = LinkPhase::empty;
    entry.setup_received = 0;
    entry.whole_chunks = false;
    entry.read_lately = false;
    entry.datagrams_seen = false;
}

// A link that never got set up: socket closed, ConnId given back.
void LinkEngine::drop_admission(ConnId conn_id) {
    close_entry(conn_id);
    arm_admission_timer();
    if (callbacks_.release_conn_id) callbacks_.release_conn_id(conn_id);
}

// A set-up link that failed: socket closed, its end reported with reason 2.
void LinkEngine::end_link(ConnId conn_id, const std::string& text) {
    close_entry(conn_id);
    if (callbacks_.shutdown_rcv) callbacks_.shutdown_rcv(conn_id, REASON_ABORTED, text);
}

void LinkEngine::expire_admissions() {
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        // Read afresh each time: a release callback may have changed the table.
        const LinkEntry& entry = link_sockets_[c];
        if (entry.phase == LinkPhase::admitted && entry.deadline_ms <= now_ms())
            drop_admission(static_cast<ConnId>(c));
    }
    arm_admission_timer();
}

void LinkEngine::arm_admission_timer() {
    std::uint64_t earliest = std::numeric_limits<std::uint64_t>::max();
    for (const LinkEntry& entry : link_sockets_)
        if (entry.phase == LinkPhase::admitted && entry.deadline_ms < earliest) earliest = entry.deadline_ms;
    if (earliest == std::numeric_limits<std::uint64_t>::max()) {
        admission_timer_.stop();
        return;
    }
    const std::uint64_t now = now_ms();
    const std::uint64_t left = earliest > now ? earliest - now : 0;
    admission_timer_.start(static_cast<int>(std::min<std::uint64_t>(left, std::numeric_limits<int>::max())));
}

// A set-up link that has brought no data for the time-out ends as a failed link does.
// A TCP link's data is what its connection received, as the system tells; a UDP link's
// is the datagrams from its host.
void LinkEngine::end_idle_links() {
    const auto limit = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(options_.idle_timeout).count());
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        // Read afresh each time: ending a link may show a box, whose loop changes the table.
        LinkEntry& entry = link_sockets_[c];
        if (entry.phase != LinkPhase::set_up) continue;
        const std::uint64_t now = now_ms();
        if (entry.transport == TRANSPORT_UDP) {
            if (entry.datagrams_seen) entry.active_ms = now;
            entry.datagrams_seen = false;
        } else if (const auto figures = read_tcp_figures(entry.socket.fd())) {
            const std::uint64_t since = std::min<std::uint64_t>(figures->since_data_ms, now);
            entry.active_ms = std::max(entry.active_ms, now - since);
        }
        if (now - entry.active_ms < limit) continue;
        end_link(static_cast<ConnId>(c),
                 "Link idle: no data for " + std::to_string(options_.idle_timeout.count()) + " seconds");
    }
}

}  // namespace kelbos
