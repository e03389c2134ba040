// SPDX-License-Identifier: Apache-2.0
#include "receiver/engine/link_admission.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <string>

#include "core/clock.h"
#include "net/reverse_name.h"
#include "net/tcp_info.h"
#include "receiver/engine/engine_contract.h"

namespace kelbos {

namespace {

// An accept that failed for want of descriptors or memory leaves the connection queued
// and the listener readable: trying again at once fails again, in a busy loop.
bool out_of_resources(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// How often idle links are looked for: an eighth of the time-out, within these bounds.
// A UDP link's datagrams are seen at these checks, so it ends at most this much late.
constexpr std::chrono::milliseconds IDLE_CHECK_MIN{100};
constexpr std::chrono::milliseconds IDLE_CHECK_MAX{1000};

}  // namespace

LinkAdmission::LinkAdmission(LinkTable& links, const EngineCallbacks& callbacks, const EngineOptions& options)
    : links_(links), callbacks_(callbacks), options_(options) {
    admission_timer_.setSingleShot(true);
    admission_timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&admission_timer_, &QTimer::timeout, &admission_timer_, [this] { expire_admissions(); });
    QObject::connect(&idle_timer_, &QTimer::timeout, &idle_timer_, [this] { end_idle_links(); });
}

void LinkAdmission::start_idle_checks() {
    if (options_.idle_timeout.count() <= 0) return;
    const auto eighth = std::chrono::duration_cast<std::chrono::milliseconds>(options_.idle_timeout) / 8;
    idle_timer_.start(std::clamp(eighth, IDLE_CHECK_MIN, IDLE_CHECK_MAX));
}

int LinkAdmission::links_setting_up() const {
    return static_cast<int>(std::count_if(links_.begin(), links_.end(),
                                          [](const LinkEntry& e) { return e.phase == LinkPhase::admitted; }));
}

bool LinkAdmission::take_share(const SocketAddress& peer) {
    int held = 0;
    ConnId oldest_stopped = CONN_NONE;
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        const LinkEntry& entry = links_[c];
        if (!same_share_host(entry.peer, peer)) continue;
        if (entry.phase != LinkPhase::empty) {
            ++held;
        } else if (entry.ended != 0 && callbacks_.link_stopped &&
                   callbacks_.link_stopped(static_cast<ConnId>(c))) {
            ++held;
            if (oldest_stopped == CONN_NONE || entry.ended < links_[oldest_stopped].ended)
                oldest_stopped = static_cast<ConnId>(c);
        }
    }
    if (held < options_.links_per_host) return true;
    if (oldest_stopped == CONN_NONE || !callbacks_.remove_stopped) return false;
    links_[oldest_stopped].ended = 0;
    callbacks_.remove_stopped(oldest_stopped);
    return true;
}

void LinkAdmission::report_refusal(const SocketAddress& peer, Refusal why) {
    if (callbacks_.link_refused) callbacks_.link_refused(peer, why);
}

bool LinkAdmission::accept_link(int listener_fd) {
    SocketAddress peer;
    Socket socket(::accept4(listener_fd, peer.get(), &peer.length, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!socket) {
        const int err = errno;
        // Nothing waiting is no failure: a nested call took the connection already.
        if (would_block(err)) return true;
        perror_diag("inted: accept");
        return !out_of_resources(err);
    }
    // A host that is not allowed gets nothing: no ConnId, no reply.
    if (!options_.allow.empty() && !list_holds(options_.allow, peer)) {
        socket.reset();
        report_refusal(peer, Refusal::not_allowed);
        return true;
    }
    // A socket that cannot be given its watch over a vanishing peer is closed here, on
    // every return path below that does not hand it to the table. Its receive buffer
    // is left to the system's automatic sizing: a fixed size would cap the link at
    // that many bytes per round trip, whatever the network could carry.
    if (!set_keepalive(socket.fd())) return true;

    // A host with its share of links is refused as a full receiver refuses.
    if (options_.links_per_host < CONN_LAST && !take_share(peer)) {
        send_bytes(socket.fd(), encode_setup_reject());
        report_refusal(peer, Refusal::host_limit);
        return true;
    }
    // May run a modal loop that comes back into the engine; nothing is held across it
    // but the new socket, which no other call knows of.
    const ConnId conn_id = callbacks_.alloc_conn_id ? callbacks_.alloc_conn_id() : CONN_NONE_FREE;
    if (conn_id < CONN_FIRST || conn_id > CONN_LAST) {
        send_bytes(socket.fd(), encode_setup_reject());
        report_refusal(peer, Refusal::allocation);
        return true;
    }

    // The ConnId is ours again: whatever its entry still held is replaced.
    links_.close(conn_id);
    LinkEntry& entry = links_[conn_id];
    entry.socket = std::move(socket);
    entry.phase = LinkPhase::admitted;
    entry.setup_received = 0;
    entry.deadline_ms = now_ms() + static_cast<std::uint64_t>(options_.setup_wait.count());
    entry.peer = peer;
    entry.ended = 0;
    links_.watch(conn_id);
    arm_admission_timer();
    read_setup(conn_id);  // the request has often arrived with the connection
    return true;
}

void LinkAdmission::read_setup(ConnId conn_id) {
    LinkEntry& entry = links_[conn_id];
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

void LinkAdmission::complete_setup(ConnId conn_id) {
    LinkEntry& entry = links_[conn_id];
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

void LinkAdmission::drop_admission(ConnId conn_id) {
    links_.close(conn_id);
    arm_admission_timer();
    if (callbacks_.release_conn_id) callbacks_.release_conn_id(conn_id);
}

void LinkAdmission::expire_admissions() {
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        // Read afresh each time: a release callback may have changed the table.
        const LinkEntry& entry = links_[c];
        if (entry.phase == LinkPhase::admitted && entry.deadline_ms <= now_ms())
            drop_admission(static_cast<ConnId>(c));
    }
    arm_admission_timer();
}

void LinkAdmission::arm_admission_timer() {
    std::uint64_t earliest = std::numeric_limits<std::uint64_t>::max();
    for (const LinkEntry& entry : links_)
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
void LinkAdmission::end_idle_links() {
    const auto limit = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(options_.idle_timeout).count());
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        // Read afresh each time: ending a link may show a box, whose loop changes the table.
        LinkEntry& entry = links_[c];
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
        links_.end_link(
            static_cast<ConnId>(c),
            "Link idle: no data for " + std::to_string(options_.idle_timeout.count()) + " seconds");
    }
}

}  // namespace kelbos
