// SPDX-License-Identifier: Apache-2.0
#include "receiver/engine/link_table.h"

#include <sys/socket.h>

#include <QSocketNotifier>
#include <cerrno>

namespace kelbos {

bool send_bytes(int fd, std::span<const std::uint8_t> bytes) {
    ssize_t n;
    do {
        n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(bytes.size());
}

void retire(QSocketNotifier*& notifier) {
    if (!notifier) return;
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}

void LinkTable::watch(ConnId conn_id) {
    LinkEntry& entry = entries_[conn_id];
    const int fd = entry.socket.fd();
    entry.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &owner_);
    QObject::connect(entry.notifier, &QSocketNotifier::activated, &owner_,
                     [this, fd] { hooks_.socket_event(fd, EVENT_READ); });
}

void LinkTable::close(ConnId conn_id) {
    LinkEntry& entry = entries_[conn_id];
    if (entry.socket) ::shutdown(entry.socket.fd(), SHUT_RDWR);
    retire(entry.notifier);
    entry.socket.reset();
    entry.phase = LinkPhase::empty;
    entry.setup_received = 0;
    entry.whole_chunks = false;
    entry.read_lately = false;
    entry.datagrams_seen = false;
}

void LinkTable::end_link(ConnId conn_id, const std::string& text, int reason) {
    // Whatever ends a UDP link, the datagrams its host sent before that wait in the
    // datagram socket: once the link has left the table they would count for nothing.
    if (entries_[conn_id].transport == TRANSPORT_UDP) {
        const int fd = entries_[conn_id].socket.fd();
        hooks_.read_waiting_datagrams();
        if (lookup(fd) != conn_id) return;  // a nested call ended it meanwhile
    }
    close(conn_id);
    entries_[conn_id].ended = ++ends_;
    if (callbacks_.shutdown_rcv) callbacks_.shutdown_rcv(conn_id, reason, text);
}

}  // namespace kelbos
