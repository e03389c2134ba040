// SPDX-License-Identifier: Apache-2.0
// The transmitter's end of a link: opens it with the setup handshake, sends one data
// message at a time, closes it with the shutdown handshake, and notices when the
// receiver's side of the connection ends the link or signals something.
//
// One link at a time per object. Everything runs on the thread of the event loop, and
// nothing holds it: opening a link (the name's lookup, the connect, the wait for the
// SetupReply) and the shutdown handshake are steps driven by socket notifications and
// timers, each wait bounded by options.wait, and each reports its result through a
// callback. link_open and link_shutdown are the same steps for callers without an
// event loop of their own: they turn the event loop until the result is there.
//
// An open link watches for a receiver that vanishes without a word: keepalive while
// nothing is owed, and a check once a second while data or window probes wait for an
// answer. Either ends the link through the end callback (reason 2, ETIMEDOUT).
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "net/sockets.h"
#include "transmitter/link/link_opener.h"
#include "transmitter/link/message_path.h"
#include "transmitter/link/step_wait.h"

class QEventLoop;
class QSocketNotifier;

namespace kelbos {

// Called when an open link ends by itself (receiver closed or reset the connection,
// a failed send, a shutdown sent by the receiver), never for link_shutdown. Called
// once per link, after the link's sockets are closed.
using EndCallback = std::function<void(ConnId conn_id, int reason)>;
// Called once with the result of begin_open or begin_shutdown, from the event loop, or
// before they return when the result is known at once; never after abandon().
using DoneCallback = std::function<void(LinkStatus status)>;

class TransmitterLink : public QObject {
    Q_OBJECT

public:
    explicit TransmitterLink(LinkOptions options = {}, QObject* parent = nullptr);
    // An open link is dropped without a ShutdownRequest and without the end callback.
    ~TransmitterLink() override;

    TransmitterLink(const TransmitterLink&) = delete;
    TransmitterLink& operator=(const TransmitterLink&) = delete;

    // Opens a link to the request's receiver_host: looks the name up, connects to its
    // addresses in turn, sends the SetupRequest and waits for the SetupReply; `done` is
    // given the result. On success the link is open and its control socket is watched
    // for readability (link_event). An already open link, or an opening or handshake
    // under way, is dropped first as the destructor does.
    void begin_open(const OpenRequest& request, EndCallback end, DoneCallback done);
    // begin_open, returning when the result is there; the event loop runs meanwhile.
    LinkStatus link_open(const OpenRequest& request, EndCallback end);
    bool opening() const { return opener_.opening(); }

    // Sends one data message. Returns the bytes the system accepted (on TCP possibly
    // fewer than the message length; the rest is never sent), or -1. After -1,
    // last_error() is EAGAIN/EWOULDBLOCK or ENOBUFS when the buffer was full and the
    // link is still open (try again when data_fd() is writable); any other error has
    // ended the link through the end callback with reason 2. -1 with ENOTCONN when
    // no link is open.
    int link_send();
    // As link_send, with as many messages as one call carries (back to back): the
    // bytes accepted are whole messages and, on TCP, possibly the start of one more,
    // as that many link_send calls would have sent them.
    int link_send_batch();
    // As link_send, with up to `messages` messages in one call and no more than
    // `max_bytes` bytes: a last message that would pass it is cut short there (on UDP a
    // shorter datagram).
    int link_send_messages(std::size_t messages, std::uint64_t max_bytes);
    // Whether the next links opened over UDP number their datagrams (a message length
    // too short for the numbers sends them as they are).
    void number_datagrams(bool on) { numbering_wanted_ = on; }
    // Datagrams the system took for sending on the current (or last) UDP link.
    std::uint64_t datagrams_sent() const { return datagrams_sent_; }

    // Closes the link with the shutdown handshake: waits for the connection to take
    // the request, sends [ConnId, 2, reason] and waits for the ShutdownAck, each wait
    // bounded by options.wait; `done` is given the result. The link is closed
    // whatever the result; the end callback is not called. Without an open link (or
    // during an opening or handshake): send_error, ENOTCONN, at once.
    void begin_shutdown(int reason, DoneCallback done);
    // begin_shutdown, returning when the handshake is over; the event loop runs
    // meanwhile. Events it dispatches must not start another link or shutdown. When
    // the event loop is told to end first, the handshake is abandoned.
    LinkStatus link_shutdown(int reason);
    // Ends an opening or a shutdown handshake under way at once: every socket of the
    // link closes and nothing is reported (link_open and link_shutdown return).
    void abandon();

    // Handles readability of the control socket; connected to its notifier. Safe to
    // call at any time: without an open link, during a shutdown handshake, or with
    // nothing pending, it does nothing.
    void link_event();

    // The transport of the current (or last) link.
    int transport() const { return transport_; }
    // The socket that carries data messages (the datagram socket on UDP links, the
    // connection on TCP links); -1 when closed.
    int data_fd() const;
    // errno of the last failing system call of the last operation; 0 when that
    // operation failed without one (or succeeded).
    int last_error() const { return last_error_; }
    // Length of every data message of the current (or last) link.
    std::uint32_t message_length() const { return message_length_; }
    // ConnId given by the receiver to the current (or last) link.
    ConnId conn_id() const { return conn_id_; }
    // Bound of the waits of the next operations.
    void set_wait(std::chrono::milliseconds wait) { options_.wait = wait; }

private:
    friend struct TransmitterLinkPeer;  // the tests' door to the link's state

    void start_notification();
    void stop_notification();
    // Stops the notification and closes every socket of the link.
    void close_link();
    // Closes the link and reports its end with reason 2.
    void abort_link();
    void report_end(ConnId conn_id, int reason);
    int send_messages(std::size_t messages, std::uint64_t max_bytes = UINT64_MAX);

    // The opener's result: an open link taken over, or the failure reported.
    void opened(LinkStatus status);

    // The steps of the shutdown handshake, each a reaction to the event loop:
    // writable, readable or the bound of the step's wait.
    enum class Step { none, shutdown_writable, shutdown_ack };
    void on_readable();
    void on_writable();
    void on_wait_over();
    void send_shutdown_request();
    void read_shutdown_ack();
    void finish_handshake(LinkStatus status);
    void report_done(LinkStatus status);
    LinkStatus run_until_done(LinkStatus abandoned);
    void check_peer();

    LinkOptions options_;
    QSocketNotifier* notifier_ = nullptr;  // child; watches control_ while open
    bool open_ = false;
    int transport_ = TRANSPORT_NONE;
    Socket control_;
    Socket datagram_;  // UDP links only
    ConnId conn_id_ = CONN_NONE;
    std::uint32_t message_length_ = 0;
    std::vector<std::uint8_t> data_buffer_;  // LARGEST_MESSAGE zero bytes; only the head written
    MessageSender sender_;
    bool numbering_wanted_ = false;
    bool numbered_ = false;  // this link's datagrams carry numbers
    std::uint64_t datagrams_sent_ = 0;
    EndCallback end_;
    int last_error_ = 0;

    QTimer peer_check_;  // while open: is the receiver still there?
    Step step_ = Step::none;
    DoneCallback done_;
    StepWait wait_{this, &TransmitterLink::on_readable, &TransmitterLink::on_writable,
                   &TransmitterLink::on_wait_over};
    LinkOpener opener_{options_};
    ShutdownRequestBytes shutdown_request_{};
    // link_open and link_shutdown: their loop and the result it waits for.
    QEventLoop* done_loop_ = nullptr;
    std::optional<LinkStatus> result_;
};

}  // namespace kelbos
