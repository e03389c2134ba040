// The transmitter's end of a link: opens it with the setup handshake, sends one data
// message at a time, closes it with the shutdown handshake, and notices when the
// receiver's side of the connection ends the link or signals something.
//
// One link at a time per object. Everything runs on the thread of the event loop; the
// waits inside link_open block it, each for at most options.wait. The waits of the
// shutdown handshake do not: link_shutdown turns the event loop while it waits, so the
// window repaints and its commands work, and returns when the handshake is over.
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
#include <string>
#include <vector>

#include "message_path.h"
#include "net.h"
#include "protocol.h"

class QEventLoop;
class QSocketNotifier;

namespace kelbos {

// Called when an open link ends by itself (receiver closed or reset the connection,
// a failed send, a shutdown sent by the receiver), never for link_shutdown. Called
// once per link, after the link's sockets are closed.
using EndCallback = std::function<void(ConnId conn_id, int reason)>;

struct LinkOptions {
    Ports ports{};                               // the receiver's ports
    std::chrono::milliseconds wait = LINK_WAIT;  // bound of every wait of the link
    SendPath send_path = SendPath::copy;         // how a TCP link's messages reach the system
    FileSendCall file_send = system_sendfile;    // the copy-free path's call
};

class TransmitterLink : public QObject {
    Q_OBJECT

public:
    explicit TransmitterLink(LinkOptions options = {}, QObject* parent = nullptr);
    // An open link is dropped without a ShutdownRequest and without the end callback.
    ~TransmitterLink() override;

    TransmitterLink(const TransmitterLink&) = delete;
    TransmitterLink& operator=(const TransmitterLink&) = delete;

    // Opens a link to receiver_host: connects, sends the SetupRequest and waits for
    // the SetupReply. `send_on` is accepted and not used. kelbo_bytes, message_length,
    // own_host and colour_text travel in the SetupRequest; socket_buffer_size is the
    // send-buffer size wanted on a TCP link (0 for the largest). On success the link
    // is open and its control socket is watched for readability (link_event). On an
    // already open link, that link is dropped first as the destructor does.
    LinkStatus link_open(int transport, int send_on, const std::string& own_host,
                         const std::string& receiver_host, const std::string& colour_text,
                         std::uint32_t message_length, EndCallback end, std::uint32_t kelbo_bytes,
                         std::uint32_t socket_buffer_size);

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
    // How the link sends: the last TCP send went without a copy; the system refused
    // the copy-free path on this link, which sends by copy since.
    bool sent_copy_free() const { return sender_.sent_copy_free(); }
    bool copy_free_refused() const { return sender_.refused(); }

    // Closes the link with the shutdown handshake: waits for the connection to take
    // the request, sends [ConnId, 2, reason] and waits for the ShutdownAck, each wait
    // bounded by options.wait. The event loop runs meanwhile; events it dispatches
    // must not start another link or shutdown. The link is closed whatever the
    // result; the end callback is not called. Without an open link (or during a
    // handshake): send_error, ENOTCONN.
    LinkStatus link_shutdown(int reason);
    // Ends a shutdown handshake that is waiting: the link closes at once and
    // link_shutdown returns. Also what happens when the event loop is told to end
    // during the handshake.
    void abandon_shutdown();
    bool shutting_down() const { return handshake_ != Handshake::none; }

    // Handles readability of the control socket; connected to its notifier. Safe to
    // call at any time: without an open link, or with nothing pending, it does nothing.
    void link_event();

    bool is_open() const { return open_; }
    // The socket that carries data messages (the datagram socket on UDP links, the
    // connection on TCP links); -1 when closed.
    int data_fd() const;
    // The TCP control (UDP links) or stream (TCP links) connection; -1 when closed.
    int control_fd() const { return open_ ? control_.fd() : -1; }
    // errno of the last failing system call of the last operation; 0 when that
    // operation failed without one (or succeeded).
    int last_error() const { return last_error_; }
    // Length of every data message of the current (or last) link.
    std::uint32_t message_length() const { return message_length_; }
    // ConnId given by the receiver to the current (or last) link.
    ConnId conn_id() const { return conn_id_; }
    // Bound of the waits of the next operations.
    void set_wait(std::chrono::milliseconds wait) { options_.wait = wait; }

    // SO_SNDBUF of the data socket: the UDP maximum on UDP links; on TCP links the
    // setting when it is 1..150000, 150000 above that, and 0 (none set: the system
    // sizes the buffer itself, as far as it allows) for a setting of 0.
    static std::uint32_t send_buffer_size(int transport, std::uint32_t setting);

private:
    LinkStatus fail(LinkStatus status, int error);
    bool connect_within(const Socket& socket, const SocketAddress& address, std::chrono::milliseconds wait);
    void start_notification();
    void stop_notification();
    // Stops the notification and closes every socket of the link.
    void close_link();
    // Closes the link and reports its end with reason 2.
    void abort_link();
    void report_end(ConnId conn_id, int reason);
    int send_messages(std::size_t messages);

    // The steps of the shutdown handshake, each a reaction to the event loop.
    enum class Handshake { none, writable, ack };
    void send_shutdown_request();
    void read_shutdown_ack();
    void finish_handshake(LinkStatus status);
    void check_peer();

    LinkOptions options_;
    QSocketNotifier* notifier_ = nullptr;  // child; watches control_ while open
    bool open_ = false;
    int transport_ = TRANSPORT_NONE;
    Socket control_;
    Socket datagram_;  // UDP links only
    ConnId conn_id_ = CONN_NONE;
    std::uint32_t message_length_ = 0;
    std::vector<std::uint8_t> data_buffer_;  // LARGEST_MESSAGE zero bytes; only 0..3 written
    MessageSender sender_;
    EndCallback end_;
    int last_error_ = 0;

    QTimer peer_check_;  // while open: is the receiver still there?
    Handshake handshake_ = Handshake::none;
    QSocketNotifier* handshake_writable_;  // children, on control_ during the handshake
    QSocketNotifier* handshake_readable_;
    QTimer handshake_timer_;  // the bound of the current wait
    QEventLoop* handshake_loop_ = nullptr;
    ShutdownRequestBytes handshake_request_{};
    LinkStatus handshake_status_ = LinkStatus::ok;
};

}  // namespace kelbos
