// SPDX-License-Identifier: Apache-2.0
// The transmitter's reading of what a receiver sends, fed any bytes: the SetupReply
// that link_open reads, bytes that arrive on an open link and reach link_event, and
// the ShutdownAck that link_shutdown reads. A scripted receiver on loopback answers
// the handshakes on threads of its own; everything else is driven by direct calls on
// this thread. Each run uses a fresh link and checks every status, every end of a
// link and the bytes the link sent against what they must be.
//
// Input: a flags byte (bit 0: UDP transport), a message length code (0..200 that many
// bytes, 201..254 (code - 200) * 600 bytes, 255 one more than the transport allows),
// then link cycles. A cycle is the reply piece (a length byte and that many bytes,
// sent in one send), a byte for what the receiver then does with the connection
// (mod 3: keep, close, reset), and while the link is open, operations (op byte mod 8):
//   0 the receiver sends a piece          1 the receiver closes
//   2 the receiver resets                 3 link_event
//   4 link_send                           5 link_shutdown: reason byte, ack piece,
//   6 the next cycle at once (the open      and what the receiver does afterwards
//     link is dropped by the next open)   7 the receiver sends a piece whose last
//                                           byte is urgent (out of band)
#include <poll.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <cerrno>
#include <utility>
#include <vector>

#include "core/show_message.h"
#include "fuzz_support.h"
#include "link_peer.h"
#include "transmitter/link/link.h"
#include "transmitter_rig.h"

using namespace kelbos;
using namespace kelbos::fuzz;

namespace {

// A wait the scripted receiver lets run out: short, so timeouts are cheap.
constexpr std::chrono::milliseconds SHORT_WAIT{3};

constexpr std::uint32_t SOCKET_BUFFER = 65535;

using End = std::pair<int, int>;  // ConnId, reason

std::uint32_t message_length(std::uint8_t code, int transport) {
    if (code == 255) return max_message_size(transport) + 1;
    if (code <= 200) return code;
    return (code - 200u) * 600u;
}

void check_range(LinkStatus status) {
    const int value = static_cast<int>(status);
    FUZZ_CHECK(value >= 0 && value <= 17, "status %d", value);
}

// What link_open gives for the SetupReply `answer`, or link_shutdown for the ShutdownAck.
LinkStatus expected_status(bool setup, const Bytes& answer, After after) {
    if (answer.empty() && after == After::keep)
        return setup ? LinkStatus::setup_ack_timeout : LinkStatus::shutdown_ack_timeout;
    if (answer.size() < (setup ? SETUP_REPLY_LEN : SHUTDOWN_ACK_LEN)) return LinkStatus::protocol_error;
    if (setup && answer[1] == MSG_SETUP_REJECTED) return LinkStatus::rejected;
    return answer[1] == (setup ? MSG_SETUP_ACCEPTED : MSG_SHUTDOWN_ACK) ? LinkStatus::ok
                                                                        : LinkStatus::protocol_error;
}

ScriptedReceiver& receiver() {
    static ScriptedReceiver rx;
    return rx;
}

// One run: a link and the receiver's side of its connection.
class Session {
public:
    Session(int transport, std::uint32_t length)
        : transport_(transport), length_(length), link_(LinkOptions{receiver().ports(), HANDSHAKE_WAIT}) {}

    // One link: open, then operations until it ends or the input does.
    void cycle(ByteReader& in) {
        const Bytes reply = in.piece();
        const After after = after_from(in.byte());
        ends_.clear();
        peer_.reset();
        pending_.clear();
        urgent_ = false;
        peer_ended_ = false;
        sent_ = drained_ = 0;

        const bool too_big = length_ > max_message_size(transport_);
        const bool silent = reply.empty() && after == After::keep;
        if (!too_big) receiver().play_setup(transport_, reply, after);
        link_.set_wait(silent ? SHORT_WAIT : HANDSHAKE_WAIT);
        const LinkStatus status = link_.link_open({transport_, NETWORK_ETHERNET, FUZZ_HOST, "127.0.0.1", FUZZ_COLOUR,
                                                   length_, FUZZ_KELBO_BYTES, SOCKET_BUFFER},
                                                  end_callback());
        check_range(status);
        // The link has sent its SetupRequest unless its connect failed; a request left
        // unread now would be taken for the next link's.
        ScriptedReceiver::Played played =
            too_big ? ScriptedReceiver::Played{} : receiver().finish(status != LinkStatus::connect_error);

        if (too_big) {
            FUZZ_CHECK(status == LinkStatus::message_too_big, "a message of %u bytes gave status %d", length_,
                       static_cast<int>(status));
        } else if (silent) {
            // Under load even the connect may outlast the short wait.
            FUZZ_CHECK(status == LinkStatus::setup_ack_timeout || status == LinkStatus::connect_error,
                       "no reply gave status %d", static_cast<int>(status));
            FUZZ_CHECK(played.complete || status == LinkStatus::connect_error,
                       "the receiver did not get the whole SetupRequest");
        } else {
            FUZZ_CHECK(status == expected_status(true, reply, after), "reply %s (then %d) gave status %d",
                       hex(reply).c_str(), static_cast<int>(after), static_cast<int>(status));
            FUZZ_CHECK(played.complete, "the receiver did not get the whole SetupRequest");
        }
        if (played.complete)
            FUZZ_CHECK(played.request == fuzz_setup_request(transport_, length_), "SetupRequest %s",
                       hex(played.request).c_str());
        FUZZ_CHECK(ends_.empty(), "link_open called the end callback");
        FUZZ_CHECK(is_open() == (status == LinkStatus::ok), "open %d after status %d", is_open(),
                   static_cast<int>(status));
        if (status != LinkStatus::ok) return;

        FUZZ_CHECK(link_.conn_id() == reply[0], "ConnId %d from a reply naming %d", link_.conn_id(),
                   reply[0]);
        conn_id_ = link_.conn_id();
        peer_ = std::move(played.connection);
        peer_ended_ = after != After::keep;
        // Bytes of the reply beyond the four that link_open read wait on the link.
        pending_.assign(reply.begin() + SETUP_REPLY_LEN, reply.end());

        while (is_open() && !in.empty()) {
            const std::uint8_t op = in.byte();
            if (op % 8 == 6) return;  // the next open drops this link
            operate(op % 8, in);
        }
    }

private:
    bool is_open() const { return TransmitterLinkPeer::is_open(link_); }
    EndCallback end_callback() {
        return [this](ConnId conn_id, int reason) {
            FUZZ_CHECK(!is_open() && TransmitterLinkPeer::control_fd(link_) == -1 && link_.data_fd() == -1,
                       "the end callback ran before the link's sockets were closed");
            ends_.emplace_back(conn_id, reason);
            FUZZ_CHECK(ends_.size() == 1, "the end callback ran %zu times for one link", ends_.size());
            // A notification still queued when the link ended must find nothing to do.
            link_.link_event();
        };
    }

    void operate(int op, ByteReader& in) {
        switch (op) {
            case 0:
            case 7: {
                const Bytes piece = in.piece();
                if (!peer_ || piece.empty()) return;
                const bool urgent = op == 7;
                FUZZ_CHECK(
                    ::send(peer_.fd(), piece.data(), piece.size(), MSG_NOSIGNAL | (urgent ? MSG_OOB : 0)) ==
                        static_cast<ssize_t>(piece.size()),
                    "the receiver could not send: %s", std::strerror(errno));
                // An urgent byte leaves the stream; the bytes before it stay in it.
                pending_.insert(pending_.end(), piece.begin(), urgent ? piece.end() - 1 : piece.end());
                urgent_ = urgent_ || urgent;
                return;
            }
            case 1:
            case 2:
                if (!peer_) return;
                op == 1 ? peer_.reset() : reset_connection(peer_);
                peer_ended_ = true;
                return;
            case 3:
                return event();
            case 4:
                return send();
            case 5: {
                const int reason = in.byte();
                const Bytes ack = in.piece();
                return shutdown(reason, ack, after_from(in.byte()));
            }
        }
    }

    // link_event: bytes from the receiver are its shutdown, [ConnId, type, reason]
    // with reason 2 when fewer than 3 came; an end of the connection is an abort.
    void event() {
        std::vector<End> expected;
        const int fd = TransmitterLinkPeer::control_fd(link_);
        if (urgent_) {
            // Urgent data is an exceptional condition: the link is aborted.
            pollfd p{fd, POLLPRI, 0};
            FUZZ_CHECK(poll_through_signals(&p, 1, static_cast<int>(HANDSHAKE_WAIT.count())) == 1,
                       "the urgent byte did not arrive");
            expected.emplace_back(conn_id_, REASON_ABORTED);
        } else if (!pending_.empty()) {
            const std::size_t n = std::min<std::size_t>(pending_.size(), SHUTDOWN_REQUEST_LEN);
            FUZZ_CHECK(wait_on(fd, HANDSHAKE_WAIT, [&] { return unread_bytes(fd) >= static_cast<int>(n); }),
                       "%d of %zu bytes arrived at the link", unread_bytes(fd), n);
            const int reason =
                n == SHUTDOWN_REQUEST_LEN ? static_cast<std::int8_t>(pending_[2]) : REASON_ABORTED;
            expected.emplace_back(pending_[0], reason);
        } else if (peer_ended_) {
            FUZZ_CHECK(wait_readable(fd, HANDSHAKE_WAIT) == WaitResult::ready,
                       "the end of the connection did not arrive");
            expected.emplace_back(conn_id_, REASON_ABORTED);
        }
        link_.link_event();
        FUZZ_CHECK(ends_ == expected, "link_event with %s pending (urgent %d, ended %d) reported %zu ends",
                   hex(pending_).c_str(), urgent_, peer_ended_, ends_.size());
        FUZZ_CHECK(is_open() == expected.empty(), "open %d after link_event", is_open());
    }

    // link_send: the bytes taken, or -1 with a full buffer (link open) or with any
    // other error (link ended once, with reason 2).
    void send() {
        const int sent = link_.link_send();
        if (sent < 0) {
            const int error = link_.last_error();
            if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
                FUZZ_CHECK(is_open() && ends_.empty(), "a full buffer ended the link");
            } else {
                const std::vector<End> aborted{{conn_id_, REASON_ABORTED}};
                FUZZ_CHECK(!is_open() && ends_ == aborted, "a failed send (%s) left open %d with %zu ends",
                           std::strerror(error), is_open(), ends_.size());
            }
            return;
        }
        FUZZ_CHECK(static_cast<std::uint32_t>(sent) <= length_, "%d bytes sent of a %u-byte message", sent,
                   length_);
        if (transport_ == TRANSPORT_UDP) {
            FUZZ_CHECK(static_cast<std::uint32_t>(sent) == length_, "a datagram of %d bytes, not %u", sent,
                       length_);
            check_datagram();
        } else {
            sent_ += static_cast<std::size_t>(sent);
            if (peer_) drained_ += test::drain(peer_.fd());
        }
    }

    // Each datagram is a whole data message: the ConnId sign-extended to 32 bits, then zeros.
    void check_datagram() {
        const int fd = receiver().datagram_fd();
        FUZZ_CHECK(wait_readable(fd, HANDSHAKE_WAIT) == WaitResult::ready, "the datagram did not arrive");
        Bytes datagram(LARGEST_MESSAGE + 1);
        const ssize_t n = ::recv(fd, datagram.data(), datagram.size(), MSG_DONTWAIT);
        FUZZ_CHECK(n == static_cast<ssize_t>(length_), "a datagram of %zd bytes, not %u", n, length_);
        datagram.resize(static_cast<std::size_t>(n));
        const std::uint8_t sign = (conn_id_ & 0x80) ? 0xFF : 0x00;
        FUZZ_CHECK(datagram == test::data_message({conn_id_, sign, sign, sign}, length_), "datagram %s",
                   hex(Bytes(datagram.begin(), datagram.begin() + std::min<ssize_t>(n, 8))).c_str());
    }

    // link_shutdown against a receiver that reads the request and answers `ack`. With
    // the receiver's side already gone or bytes of its own waiting, only the bounds
    // are checked: the link takes whatever comes for the acknowledgement.
    void shutdown(int reason, const Bytes& ack, After after) {
        const bool open = is_open();
        const bool scripted = open && peer_ && pending_.empty() && !urgent_ && !peer_ended_;
        const bool silent = ack.empty() && after == After::keep;
        if (scripted) receiver().play_shutdown(std::move(peer_), sent_ - drained_, ack, after);
        link_.set_wait(scripted && !silent ? HANDSHAKE_WAIT : SHORT_WAIT);
        const LinkStatus status = link_.link_shutdown(reason);
        check_range(status);
        FUZZ_CHECK(!is_open() && ends_.empty(), "after link_shutdown: open %d, %zu ends", is_open(),
                   ends_.size());
        if (!open) {
            FUZZ_CHECK(status == LinkStatus::send_error, "link_shutdown without a link gave %d",
                       static_cast<int>(status));
            return;
        }
        if (!scripted) return;
        // Without an acknowledgement to wait for, the link may have given up before it
        // could send its request.
        ScriptedReceiver::Played played = receiver().finish(!silent);
        peer_ = std::move(played.connection);
        const Bytes request{conn_id_, MSG_SHUTDOWN_REQUEST, static_cast<std::uint8_t>(reason)};
        if (silent) {
            FUZZ_CHECK(status == LinkStatus::shutdown_ack_timeout, "no acknowledgement gave status %d",
                       static_cast<int>(status));
        } else {
            FUZZ_CHECK(played.complete, "the receiver did not get the whole ShutdownRequest");
            FUZZ_CHECK(status == expected_status(false, ack, after), "ack %s (then %d) gave status %d",
                       hex(ack).c_str(), static_cast<int>(after), static_cast<int>(status));
        }
        if (played.complete)
            FUZZ_CHECK(played.request == request, "ShutdownRequest %s", hex(played.request).c_str());
    }

    int transport_;
    std::uint32_t length_;
    TransmitterLink link_;
    std::vector<End> ends_;
    ConnId conn_id_ = CONN_NONE;
    Socket peer_;          // the receiver's side of the link's connection
    Bytes pending_;        // sent by the receiver, not yet read by the link
    bool urgent_ = false;  // the receiver sent urgent data
    bool peer_ended_ = false;
    std::size_t sent_ = 0;     // data bytes the link sent on its connection (TCP)
    std::size_t drained_ = 0;  // of those, read by the receiver
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // The link's socket notifier needs the application's event dispatcher.
    static QCoreApplication app(*argc, *argv);
    set_message_presenter([](const std::string&) {});
    receiver();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in({data, size});
    const int transport = (in.byte() & 1) ? TRANSPORT_UDP : TRANSPORT_TCP;
    const std::uint32_t length = message_length(in.byte(), transport);
    {
        Session session(transport, length);
        while (!in.empty()) session.cycle(in);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    check_descriptors();
    return 0;
}
