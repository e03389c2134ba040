// SPDX-License-Identifier: Apache-2.0
#include "receiver/engine/datagram_reader.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <QSocketNotifier>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>
#include <span>
#include <type_traits>

#include "receiver/engine/engine_contract.h"

namespace kelbos {

namespace {

// How long a link's end waits at most for the datagram socket to be emptied: other
// links may keep it full.
constexpr std::chrono::milliseconds DRAIN_SLICE{50};

// How long the emptied datagram socket is left to fill before it is watched again.
constexpr std::chrono::milliseconds READ_REST{1};
// The datagram socket rests only when its buffer holds a few milliseconds of the
// fastest link, as the system reports its size.
constexpr int DATAGRAM_REST_BUFFER = 8 * 1024 * 1024;

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

}  // namespace

DatagramReader::DatagramReader(LinkTable& links, const EngineCallbacks& callbacks, ReceiveBufferPool& buffers,
                               Endpoint& socket)
    : links_(links), callbacks_(callbacks), buffers_(buffers), socket_(socket) {
    rest_timer_.setSingleShot(true);
    rest_timer_.setTimerType(Qt::PreciseTimer);
    rest_timer_.setInterval(READ_REST);
    QObject::connect(&rest_timer_, &QTimer::timeout, &rest_timer_, [this] { end_rest(); });
}

void DatagramReader::read(bool until_empty) {
    // The batch's headers live in the call's own buffer: the handler can be entered
    // again from a callback.
    const ReceiveBufferPool::Lease buffer = buffers_.take();
    auto* batch = new (buffer.data()) DatagramBatch;
    const auto slice_end = std::chrono::steady_clock::now() + (until_empty ? DRAIN_SLICE : READ_SLICE);
    for (;;) {
        if (!socket_.socket) return;  // closed by a nested call
        batch->prepare();
        // MSG_TRUNC: each datagram's length as it came, although only its first bytes
        // are copied; the rest of it is never looked at.
        const int count = ::recvmmsg(socket_.socket.fd(), batch->headers.data(), DATAGRAM_BATCH,
                                     MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (count <= 0) {  // emptied, or failed: the next report tries again
            rest();
            return;
        }
        for (int i = 0; i < count; ++i) {
            const std::uint32_t length = batch->headers[i].msg_len;
            if (length == 0) continue;  // nothing to count
            SocketAddress& source = batch->sources[i];
            source.length = batch->headers[i].msg_hdr.msg_namelen;
            const ConnId conn_id = link_of(batch->heads[i][0], source);
            if (conn_id == CONN_NONE) {
                ++foreign_;
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
            rest();
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
void DatagramReader::rest() {
    if (!socket_.notifier || receive_buffer_ < DATAGRAM_REST_BUFFER) return;
    socket_.notifier->setEnabled(false);
    resting_ = true;
    rest_timer_.start();
}

void DatagramReader::end_rest() {
    // The socket may have been closed meanwhile.
    if (resting_ && socket_.notifier) socket_.notifier->setEnabled(true);
    resting_ = false;
}

// The first byte names the link; the datagram counts for it only while the link is set
// up, and only when it comes from the host at the other end of the link's connection
// (which is on the allow list, if there is one). Once the link has ended, datagrams
// naming its ConnId count for nothing.
ConnId DatagramReader::link_of(std::uint8_t first_byte, const SocketAddress& source) {
    if (first_byte < CONN_FIRST || first_byte > CONN_LAST) return CONN_NONE;
    LinkEntry& entry = links_[first_byte];
    if (entry.phase != LinkPhase::set_up || !same_host(entry.peer, source)) return CONN_NONE;
    entry.datagrams_seen = true;
    return static_cast<ConnId>(first_byte);
}

}  // namespace kelbos
