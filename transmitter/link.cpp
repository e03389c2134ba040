#include "link.h"

#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <algorithm>
#include <array>
#include <cerrno>
#include <span>

namespace kelbos {

namespace {

// The protocol level of TCP_NODELAY, as the protocol database names it for "TCP".
int tcp_protocol_level() {
    protoent entry{};
    protoent* result = nullptr;
    char buffer[1024];
    if (::getprotobyname_r("TCP", &entry, buffer, sizeof buffer, &result) == 0 && result)
        return result->p_proto;
    return IPPROTO_TCP;
}

// The pending error of a socket (0 when none).
int socket_error(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

// The perror form with a chosen error number: for failures that are no failing call.
void diagnose(const char* text, int error) {
    errno = error;
    perror_diag(text);
}

// How often an open link asks whether its receiver still answers.
constexpr std::chrono::seconds PEER_CHECK_PERIOD{1};

// A receiver that answers at all answers a ShutdownRequest within a round trip: the
// handshake waits this long for it in place, well inside a frame, before it lets the
// event loop run while it waits on.
constexpr std::chrono::milliseconds ACK_WAIT_IN_PLACE{50};

}  // namespace

TransmitterLink::TransmitterLink(LinkOptions options, QObject* parent)
    : QObject(parent),
      options_(options),
      notifier_(new QSocketNotifier(QSocketNotifier::Read, this)),
      data_buffer_(LARGEST_MESSAGE, 0),
      sender_(options.send_path, options.file_send),
      handshake_writable_(new QSocketNotifier(QSocketNotifier::Write, this)),
      handshake_readable_(new QSocketNotifier(QSocketNotifier::Read, this)) {
    connect(notifier_, &QSocketNotifier::activated, this, [this] { link_event(); });
    peer_check_.setInterval(PEER_CHECK_PERIOD);
    connect(&peer_check_, &QTimer::timeout, this, &TransmitterLink::check_peer);
    handshake_timer_.setSingleShot(true);
    handshake_timer_.setTimerType(Qt::PreciseTimer);  // a bound is never cut short
    connect(&handshake_timer_, &QTimer::timeout, this,
            [this] { finish_handshake(LinkStatus::shutdown_ack_timeout); });
    connect(handshake_writable_, &QSocketNotifier::activated, this, &TransmitterLink::send_shutdown_request);
    connect(handshake_readable_, &QSocketNotifier::activated, this, &TransmitterLink::read_shutdown_ack);
}

TransmitterLink::~TransmitterLink() {
    close_link();
}

std::uint32_t TransmitterLink::send_buffer_size(int transport, std::uint32_t setting) {
    if (transport == TRANSPORT_UDP) return UDP_MAX_MESSAGE;
    if (setting == 0) return 0;
    return setting <= TCP_MAX_MESSAGE ? setting : TCP_MAX_MESSAGE;
}

int TransmitterLink::data_fd() const {
    if (!open_) return -1;
    return transport_ == TRANSPORT_UDP ? datagram_.fd() : control_.fd();
}

LinkStatus TransmitterLink::fail(LinkStatus status, int error) {
    last_error_ = error;
    return status;
}

// Connects a non-blocking socket; a connect that cannot complete at once gets up to
// `wait`. A connect that fails while waiting (refused, unreachable) fails at
// once rather than at the end of the wait.
bool TransmitterLink::connect_within(const Socket& socket, const SocketAddress& address,
                                     std::chrono::milliseconds wait) {
    if (::connect(socket.fd(), address.get(), address.length) == 0) return true;
    const int error = errno;
    if (error != EINPROGRESS) {
        last_error_ = error;
        return false;
    }
    switch (wait_writable(socket.fd(), wait)) {
        case WaitResult::ready:
            break;
        case WaitResult::timeout:
            last_error_ = ETIMEDOUT;
            return false;
        case WaitResult::error:
            last_error_ = errno;
            return false;
    }
    last_error_ = socket_error(socket.fd());
    return last_error_ == 0;
}

LinkStatus TransmitterLink::link_open(int transport, int /*send_on*/, const std::string& own_host,
                                      const std::string& receiver_host, const std::string& colour_text,
                                      std::uint32_t message_length, EndCallback end,
                                      std::uint32_t kelbo_bytes, std::uint32_t socket_buffer_size) {
    abandon_shutdown();
    close_link();
    last_error_ = 0;
    end_ = std::move(end);
    if (transport != TRANSPORT_UDP && transport != TRANSPORT_TCP) return LinkStatus::unknown_transport;
    transport_ = transport;
    const bool udp = transport == TRANSPORT_UDP;
    if (message_length > max_message_size(transport)) return LinkStatus::message_too_big;
    const auto buffer_size = send_buffer_size(transport, socket_buffer_size);
    message_length_ = message_length;

    // Every address of the receiver, IPv6 and IPv4, tried in turn until one answers.
    const std::vector<SocketAddress> addresses =
        resolve_host(receiver_host, udp ? options_.ports.control : options_.ports.stream);
    if (addresses.empty()) return LinkStatus::host_unknown;
    const auto deadline = std::chrono::steady_clock::now() + options_.wait;

    // From here on every return closes what was made so far: the sockets are locals
    // until the link is open.
    Socket control;
    Socket datagram;
    for (std::size_t i = 0; i < addresses.size() && !control; ++i) {
        const SocketAddress& address = addresses[i];
        Socket candidate = make_socket(SOCK_STREAM, address.family());
        // An address of a family this system lacks is passed over.
        if (!candidate && errno == EAFNOSUPPORT) continue;
        if (!candidate) return fail(LinkStatus::socket_error, errno);
        if (udp) {
            datagram = make_socket(SOCK_DGRAM, address.family());
            if (!datagram) return fail(LinkStatus::socket_error, errno);
        }
        const Socket& data = udp ? datagram : candidate;
        // No size at all leaves the send buffer to the system's automatic sizing, which
        // grows it with the path's bandwidth and delay.
        if (buffer_size != 0 && !set_send_buffer(data.fd(), static_cast<int>(buffer_size))) {
            const int error = errno;
            perror_diag("setsockopt");
            return fail(LinkStatus::socket_error, error);
        }
        if (!udp && !set_int_option(candidate.fd(), tcp_protocol_level(), TCP_NODELAY, 1)) {
            const int error = errno;
            perror_diag("setsockopt");
            return fail(LinkStatus::socket_error, error);
        }
        if (!set_keepalive(candidate.fd())) {
            const int error = errno;
            perror_diag("setsockopt");
            return fail(LinkStatus::socket_error, error);
        }
        if (!set_nonblocking(candidate.fd())) return fail(LinkStatus::socket_error, errno);
        // Each address gets an equal share of what is left of the bound, so one that
        // never answers leaves time for the next.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto share =
            std::max(left, std::chrono::milliseconds(0)) / static_cast<int>(addresses.size() - i);
        if (!connect_within(candidate, address, share)) continue;
        control = std::move(candidate);
        last_error_ = 0;  // what the addresses before it gave is no failure now

        if (udp) {
            // The data goes to the host that took the control connection. A datagram
            // connect sends nothing; it fixes the destination of every send.
            const SocketAddress datagram_address = with_port(address, options_.ports.datagram);
            if (!set_nonblocking(datagram.fd())) return fail(LinkStatus::socket_error, errno);
            if (::connect(datagram.fd(), datagram_address.get(), datagram_address.length) != 0) {
                const int error = errno;
                perror_diag("ctl connect fail");
                if (error != EINPROGRESS) return fail(LinkStatus::connect_error, error);
                switch (wait_writable(datagram.fd(), options_.wait)) {
                    case WaitResult::ready:
                        break;
                    case WaitResult::timeout:
                        return fail(LinkStatus::connect_error, ETIMEDOUT);
                    case WaitResult::error:
                        return fail(LinkStatus::connect_error, errno);
                }
            }
        }
    }
    if (!control)
        return last_error_ == 0 ? fail(LinkStatus::socket_error, EAFNOSUPPORT) : LinkStatus::connect_error;

    SetupRequest setup;
    setup.kelbo_bytes = kelbo_bytes;
    setup.message_length = message_length;
    setup.host_name = own_host;
    setup.colour_text = colour_text;
    setup.transport = static_cast<std::uint8_t>(transport);
    const SetupRequestBytes request = encode_setup_request(setup);
    const ssize_t sent = ::send(control.fd(), request.data(), request.size(), MSG_NOSIGNAL);
    if (sent < 0) return fail(LinkStatus::send_error, errno);
    if (static_cast<std::size_t>(sent) != request.size()) return LinkStatus::send_error;

    // A failed wait goes on to the receive, which then tells what is wrong.
    if (wait_readable(control.fd(), options_.wait) == WaitResult::timeout)
        return LinkStatus::setup_ack_timeout;
    SetupReplyBytes reply{};
    const ssize_t got = ::recv(control.fd(), reply.data(), reply.size(), 0);
    if (got < 0) return fail(LinkStatus::protocol_error, errno);
    const SetupReplyResult result =
        parse_setup_reply(std::span<const std::uint8_t>(reply.data(), static_cast<std::size_t>(got)));
    if (result.status != LinkStatus::ok) return result.status;

    conn_id_ = result.conn_id;
    control_ = std::move(control);
    datagram_ = std::move(datagram);
    open_ = true;
    start_notification();
    return LinkStatus::ok;
}

int TransmitterLink::link_send() {
    return send_messages(1);
}

int TransmitterLink::link_send_batch() {
    return send_messages(batch_messages(message_length_));
}

int TransmitterLink::send_messages(std::size_t messages) {
    if (!open_) {
        last_error_ = ENOTCONN;
        return -1;
    }
    write_data_header(data_buffer_, conn_id_, message_length_);
    const ssize_t sent =
        sender_.send(data_fd(), transport_ == TRANSPORT_TCP,
                     std::span<const std::uint8_t>(data_buffer_.data(), message_length_), messages);
    if (sent >= 0) {
        last_error_ = 0;
        return static_cast<int>(sent);
    }
    const int error = errno;
    last_error_ = error;
    // A full buffer is no failure: the caller tries again once the socket is writable.
    if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) return -1;
    perror_diag("send");
    abort_link();
    return -1;
}

LinkStatus TransmitterLink::link_shutdown(int reason) {
    last_error_ = 0;
    if (!open_ || handshake_ != Handshake::none) return fail(LinkStatus::send_error, ENOTCONN);
    handshake_request_ = encode_shutdown_request(conn_id_, static_cast<std::uint8_t>(reason));
    handshake_status_ = LinkStatus::ok;
    // The acknowledgement is the handshake's to read, and a receiver that stops
    // answering now runs into the handshake's bounds: no end callback from here on.
    stop_notification();
    handshake_ = Handshake::writable;
    const int fd = control_.fd();
    // A failed wait counts as ready: the send that follows tells.
    if (wait_writable(fd, std::chrono::milliseconds(0)) != WaitResult::timeout) {
        send_shutdown_request();
    } else {
        handshake_writable_->setSocket(fd);
        handshake_writable_->setEnabled(true);
        handshake_timer_.start(options_.wait);
    }
    if (handshake_ == Handshake::ack &&
        wait_readable(fd, std::min(ACK_WAIT_IN_PLACE, options_.wait)) != WaitResult::timeout)
        read_shutdown_ack();
    if (handshake_ != Handshake::none) {
        QEventLoop loop;
        handshake_loop_ = &loop;
        loop.exec();
        handshake_loop_ = nullptr;
        // The event loop was told to end (the program is ending) before the handshake.
        abandon_shutdown();
    }
    return handshake_status_;
}

void TransmitterLink::abandon_shutdown() {
    if (handshake_ != Handshake::none) finish_handshake(LinkStatus::shutdown_ack_timeout);
}

void TransmitterLink::send_shutdown_request() {
    if (handshake_ != Handshake::writable) return;
    handshake_writable_->setEnabled(false);
    handshake_timer_.stop();
    const int fd = control_.fd();
    const ssize_t sent = ::send(fd, handshake_request_.data(), handshake_request_.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(handshake_request_.size())) {
        // A request cut short cannot be completed: the receiver would misread it.
        const int error = sent < 0 ? errno : EAGAIN;
        diagnose("send error:", error);
        last_error_ = error;
        finish_handshake(LinkStatus::send_error);
        return;
    }
    handshake_ = Handshake::ack;
    handshake_readable_->setSocket(fd);
    handshake_readable_->setEnabled(true);
    handshake_timer_.start(options_.wait);
}

void TransmitterLink::read_shutdown_ack() {
    if (handshake_ != Handshake::ack) return;
    ShutdownAckBytes ack{};
    const ssize_t got = ::recv(control_.fd(), ack.data(), ack.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;  // not yet
    if (got != static_cast<ssize_t>(ack.size())) {
        // A failed receive names its error; a short or empty one is a protocol fault.
        const int error = got < 0 ? errno : 0;
        diagnose("[SEND]rcv error", error != 0 ? error : EPROTO);
        last_error_ = error;
        finish_handshake(LinkStatus::protocol_error);
        return;
    }
    finish_handshake(is_shutdown_ack(ack) ? LinkStatus::ok : LinkStatus::protocol_error);
}

// Whatever ended the handshake, the link is closed and link_shutdown returns.
void TransmitterLink::finish_handshake(LinkStatus status) {
    handshake_ = Handshake::none;
    handshake_status_ = status;
    handshake_timer_.stop();
    close_link();
    if (handshake_loop_) handshake_loop_->quit();
}

void TransmitterLink::check_peer() {
    if (!open_ || handshake_ != Handshake::none || !peer_unanswering(control_.fd())) return;
    last_error_ = ETIMEDOUT;
    abort_link();
}

void TransmitterLink::link_event() {
    // A notification queued before the link closed finds nothing to do.
    if (!open_) return;
    const int fd = control_.fd();
    pollfd p{fd, POLLIN | POLLPRI, 0};
    const int n = ::poll(&p, 1, 0);
    if (n == 0) return;
    if (n < 0 || (p.revents & POLLNVAL)) {
        last_error_ = n < 0 ? errno : EBADF;
        diagnose("     [SEND] select error", last_error_);
        abort_link();
        return;
    }
    if (p.revents & POLLPRI) {
        // Urgent data: the receiver of this system never sends any.
        last_error_ = socket_error(fd);
        diagnose("exception mask non-zero", last_error_);
        abort_link();
        return;
    }

    // Readable, end of stream or a pending error (reset): the receive tells which.
    std::array<std::uint8_t, SHUTDOWN_REQUEST_LEN> bytes{};
    const ssize_t got = ::recv(fd, bytes.data(), bytes.size(), 0);
    if (got < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return;  // nothing after all
        last_error_ = error;
        perror_diag("recv");
        abort_link();
        return;
    }
    last_error_ = 0;
    if (got == 0) {  // the receiver closed the connection
        abort_link();
        return;
    }
    // Bytes from the receiver outside a handshake: a shutdown from its side, read as
    // [ConnId, type, reason]. Without a third byte there is no reason: the link is
    // taken as aborted. No ShutdownAck is sent.
    const ConnId conn_id = bytes[0];
    const int reason = got >= 3 ? static_cast<int>(static_cast<std::int8_t>(bytes[2])) : REASON_ABORTED;
    close_link();
    report_end(conn_id, reason);
}

void TransmitterLink::start_notification() {
    notifier_->setSocket(control_.fd());  // leaves it disabled
    notifier_->setEnabled(true);
    peer_check_.start();
}

void TransmitterLink::stop_notification() {
    // Only disabled, never deleted: this may run inside the notifier's own signal.
    notifier_->setEnabled(false);
    peer_check_.stop();
}

void TransmitterLink::close_link() {
    if (!open_) return;
    stop_notification();  // before the descriptor goes away
    handshake_writable_->setEnabled(false);
    handshake_readable_->setEnabled(false);
    open_ = false;
    sender_.reset();
    datagram_.reset();
    control_.reset();
}

void TransmitterLink::abort_link() {
    const ConnId conn_id = conn_id_;
    close_link();
    report_end(conn_id, REASON_ABORTED);
}

void TransmitterLink::report_end(ConnId conn_id, int reason) {
    // A copy: the callback may open the next link, which replaces end_.
    const EndCallback end = end_;
    if (end) end(conn_id, reason);
}

}  // namespace kelbos
