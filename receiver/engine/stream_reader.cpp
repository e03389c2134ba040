// SPDX-License-Identifier: Apache-2.0
#include "receiver/engine/stream_reader.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <span>

#include "core/clock.h"
#include "receiver/engine/engine_contract.h"

namespace kelbos {

namespace {

// How often links that wait for whole chunks are looked at: one that was not read since
// the last look goes back to being reported for every byte, so the end of a
// transmission (its last bytes, its shutdown request) waits at most two of these.
constexpr std::chrono::milliseconds SWEEP_EVERY{1};

// A link chunk at least this long has its body dropped by the system instead of copied
// out: only its last bytes are ever looked at. Below this size the copy costs about as
// much as the extra system call that dropping it takes.
constexpr std::size_t DISCARD_FROM = 16 * 1024;

// A link waiting for whole chunks is reported readable once this many wait: one wake-up
// (and one look at the socket's queue) for several chunks. The reads still take one
// chunk at a time, and the system reports the link at once when its room runs short.
constexpr std::size_t WHOLE_CHUNKS_PER_REPORT = 8;

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

// The chunk to take of what waits: what one read of a buffer would take, except that a
// chunk never leaves 1 or 2 bytes behind it. Those would be read as a chunk of their own,
// which is always data, and a ShutdownRequest that ends the backlog would be split and
// never recognised: such a chunk is taken 3 bytes short of what waits instead.
std::size_t chunk_of(std::size_t waiting, std::size_t buffer) {
    if (waiting > buffer && waiting - buffer < SHUTDOWN_REQUEST_LEN) return waiting - SHUTDOWN_REQUEST_LEN;
    return std::min(waiting, buffer);
}

}  // namespace

StreamReader::StreamReader(LinkTable& links, const EngineCallbacks& callbacks, ReceiveBufferPool& buffers)
    : links_(links), callbacks_(callbacks), buffers_(buffers) {
    sweep_timer_.setTimerType(Qt::PreciseTimer);
    sweep_timer_.setInterval(SWEEP_EVERY);
    QObject::connect(&sweep_timer_, &QTimer::timeout, &sweep_timer_, [this] { sweep_links(); });
}

std::optional<std::uint8_t> StreamReader::read(ConnId conn_id) {
    std::string failure;
    const std::optional<std::uint8_t> request_reason = read_chunks(conn_id, failure);
    // A failed link ends once the call's buffer is back: its end reads the datagrams
    // that wait, into a buffer of its own.
    if (!failure.empty()) links_.end_link(conn_id, failure);
    return request_reason;
}

std::optional<std::uint8_t> StreamReader::read_chunks(ConnId conn_id, std::string& failure) {
    const int fd = links_[conn_id].socket.fd();
    // The chunks are read into a buffer of this call: a callback below may bring the
    // engine back in. A ShutdownRequest for the link ends it once the buffer is back.
    const ReceiveBufferPool::Lease buffer = buffers_.take();
    const auto slice_end = std::chrono::steady_clock::now() + READ_SLICE;
    std::array<std::uint8_t, SHUTDOWN_REQUEST_LEN> tail{};
    std::size_t waiting = 0;  // bytes known to be waiting in the system
    links_[conn_id].read_lately = true;
    for (bool must_read = true;;) {
        // A chunk is what one read of the buffer's size would take now. When that much is
        // known to wait and it is long, its body is dropped in the system and only its
        // end copied out, for the chunk rule. A link waiting for whole chunks leaves a
        // part chunk for its next report, which comes at once if a whole one is there
        // already; the first read of a report is always made, whatever waits, or a
        // report for want of room would come again, and so is the read of what a
        // shortened chunk left.
        if (!must_read && waiting < buffer.size() && links_[conn_id].whole_chunks) return std::nullopt;
        must_read = false;
        if (waiting < buffer.size()) waiting = bytes_waiting(fd);
        const std::size_t chunk = chunk_of(waiting, buffer.size());
        const bool shortened = chunk < std::min(waiting, buffer.size());
        const bool dropped = chunk >= DISCARD_FROM;
        const ssize_t n = dropped ? take_chunk(fd, chunk, buffer.bytes(), tail)
                                  : ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            const int err = errno;
            if (!would_block(err)) failure = error_text(err);
            return std::nullopt;
        }
        if (n == 0) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "ZERO length message received (EOF!) on socket %d, shutting it down", fd);
            failure = text;
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
        if (links_.lookup(fd) != conn_id || links_[conn_id].phase != LinkPhase::set_up) return std::nullopt;
        // A chunk short of the buffer took what had arrived: the next report comes when
        // more has come. What a shortened chunk left is read at once; full chunks are
        // read on while the slice lasts.
        if (shortened && taken == chunk) {
            must_read = true;
            continue;
        }
        if (taken < buffer.size()) return std::nullopt;
        if (waiting >= buffer.size()) wait_for_whole_chunks(conn_id);
        if (std::chrono::steady_clock::now() >= slice_end) return std::nullopt;
    }
}

// A link found with two whole chunks waiting has a sender well ahead of the reads: from
// then on it is reported readable only when several whole chunks wait (SO_RCVLOWAT),
// one wake-up for those chunks instead of one for every segment that arrives. The system
// still reports it at once when it runs short of room for more, and the sweep lets a
// link that slows down or stops be reported for every byte again. (A sender with a
// small buffer never gets that far ahead, and is never kept waiting for a whole chunk.)
void StreamReader::wait_for_whole_chunks(ConnId conn_id) {
    LinkEntry& entry = links_[conn_id];
    if (entry.whole_chunks) return;
    const auto mark = static_cast<int>(WHOLE_CHUNKS_PER_REPORT * buffers_.buffer_size());
    if (!set_int_option(entry.socket.fd(), SOL_SOCKET, SO_RCVLOWAT, mark)) return;
    entry.whole_chunks = true;
    if (!sweep_timer_.isActive()) sweep_timer_.start();
}

void StreamReader::sweep_links() {
    bool any = false;
    for (LinkEntry& entry : links_) {
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

}  // namespace kelbos
