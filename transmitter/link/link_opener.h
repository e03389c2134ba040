// SPDX-License-Identifier: Apache-2.0
// Opening a link: the name's lookup and the connects, the sockets' options, the
// SetupRequest and the wait for the SetupReply, each a step driven by the event loop
// and bounded by the link's wait. A link opened is handed over whole: its sockets and
// the ConnId the receiver gave it.
#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/protocol.h"
#include "net/address.h"
#include "net/connect.h"
#include "net/sockets.h"
#include "transmitter/link/message_path.h"
#include "transmitter/link/step_wait.h"

namespace kelbos {

// The socket settings of every link, chosen on the command line.
struct SocketChoices {
    std::optional<SocketAddress> bind;  // the local address of all the link's sockets
    std::string congestion;             // TCP_CONGESTION of its TCP sockets; empty: the system's
    int dscp = -1;                      // DSCP of its data sockets; -1: left to the system
};

// What a link is opened with: the receiver, what travels in the SetupRequest and the
// send buffer wanted.
struct OpenRequest {
    int transport = TRANSPORT_NONE;
    int send_on = 0;  // accepted and not used
    std::string own_host;
    std::string receiver_host;
    std::string colour_text;
    std::uint32_t message_length = 0;
    std::uint32_t kelbo_bytes = 0;
    std::uint32_t socket_buffer_size = 0;  // the send buffer wanted on a TCP link; 0 for the largest
};

struct LinkOptions {
    Ports ports{};                               // the receiver's ports
    std::chrono::milliseconds wait = LINK_WAIT;  // bound of every wait of the link
    SendPath send_path = SendPath::copy;         // how a TCP link's messages reach the system
    FileSendCall file_send = system_sendfile;    // the copy-free path's call
    SocketChoices sockets{};
};

// A link the opener opened: its sockets and ConnId.
struct OpenedLink {
    Socket control;   // the TCP control (UDP links) or stream (TCP links) connection
    Socket datagram;  // UDP links only
    ConnId conn_id = CONN_NONE;
};

class LinkOpener : public QObject {
    Q_OBJECT
public:
    // Reads the options at every opening: the link may change its wait.
    explicit LinkOpener(const LinkOptions& options);

    // Opens a link to the request's receiver, whose transport and message length are
    // known good; `done` is given the result from the event loop, or before begin
    // returns when it is known at once. After ok, take() hands the link over.
    void begin(const OpenRequest& request, std::function<void(LinkStatus)> done);
    bool opening() const { return step_ != Step::none; }
    // Ends an opening under way at once: its sockets close and nothing is reported.
    void cancel();
    OpenedLink take() { return std::move(opened_); }
    // errno of the last failing system call of the last opening; 0 when it failed
    // without one (or succeeded).
    int last_error() const { return last_error_; }

    // SO_SNDBUF of the data socket: the UDP maximum on UDP links; on TCP links the
    // setting when it is 1..150000, 150000 above that, and 0 (none set: the system
    // sizes the buffer itself, as far as it allows) for a setting of 0.
    static std::uint32_t send_buffer_size(int transport, std::uint32_t setting);

private:
    enum class Step { none, resolving, connecting, replying };
    LinkStatus fail(LinkStatus status, int error);
    void on_readable();
    void on_writable();
    void on_wait_over();
    int prepare_socket(const SocketAddress& address, const Socket& candidate);
    void connecting(StreamConnector::State state);
    void connected();
    void read_setup_reply();
    void finish(LinkStatus status);

    const LinkOptions& options_;
    Step step_ = Step::none;
    int transport_ = TRANSPORT_NONE;
    std::uint32_t buffer_size_ = 0;
    SetupRequestBytes setup_request_{};
    std::function<void(LinkStatus)> done_;
    int last_error_ = 0;
    StepWait wait_{this, &LinkOpener::on_readable, &LinkOpener::on_writable, &LinkOpener::on_wait_over};
    // The name's lookup and the connects, and the sockets made so far.
    StreamConnector connector_;
    Socket opening_control_;
    Socket opening_datagram_;
    OpenedLink opened_;
};

}  // namespace kelbos
