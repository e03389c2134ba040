// SPDX-License-Identifier: Apache-2.0
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
#include <chrono>
#include <span>

namespace kelbos {

namespace {

// The send time a numbered datagram carries: the sender's own steady clock, in
// nanoseconds. The receiver compares only differences of it.
std::uint64_t send_time_ns() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

// The protocol level of TCP_NODELAY, as the protocol database names it for "TCP".
int tcp_protocol_level() {
    protoent entry{};
    protoent* result = nullptr;
    char buffer[1024];
    if (::getprotobyname_r("TCP", &entry, buffer, sizeof buffer, &result) == 0 && result)
        return result->p_proto;
    return IPPROTO_TCP;
}

// The perror form with a chosen error number: for failures that are no failing call.
void diagnose(const char* text, int error) {
    errno = error;
    perror_diag(text);
}

// How often an open link asks whether its receiver still answers.
constexpr std::chrono::seconds PEER_CHECK_PERIOD{1};

}  // namespace

TransmitterLink::TransmitterLink(LinkOptions options, QObject* parent)
    : QObject(parent),
      options_(options),
      notifier_(new QSocketNotifier(QSocketNotifier::Read, this)),
      data_buffer_(LARGEST_MESSAGE, 0),
      sender_(options.send_path, options.file_send),
      wait_writable_(new QSocketNotifier(QSocketNotifier::Write, this)),
      wait_readable_(new QSocketNotifier(QSocketNotifier::Read, this)) {
    connect(notifier_, &QSocketNotifier::activated, this, [this] { link_event(); });
    peer_check_.setInterval(PEER_CHECK_PERIOD);
    connect(&peer_check_, &QTimer::timeout, this, &TransmitterLink::check_peer);
    wait_timer_.setSingleShot(true);
    wait_timer_.setTimerType(Qt::PreciseTimer);  // a bound is never cut short
    connect(&wait_timer_, &QTimer::timeout, this, &TransmitterLink::on_wait_over);
    connect(wait_writable_, &QSocketNotifier::activated, this, &TransmitterLink::on_writable);
    connect(wait_readable_, &QSocketNotifier::activated, this, &TransmitterLink::on_readable);
}

TransmitterLink::~TransmitterLink() {
    abandon();
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

void TransmitterLink::begin_open(int transport, int /*send_on*/, const std::string& own_host,
                                 const std::string& receiver_host, const std::string& colour_text,
                                 std::uint32_t message_length, EndCallback end, std::uint32_t kelbo_bytes,
                                 std::uint32_t socket_buffer_size, DoneCallback done) {
    abandon();
    close_link();
    last_error_ = 0;
    end_ = std::move(end);
    done_ = std::move(done);
    if (transport != TRANSPORT_UDP && transport != TRANSPORT_TCP)
        return finish_open(LinkStatus::unknown_transport);
    transport_ = transport;
    const bool udp = transport == TRANSPORT_UDP;
    if (message_length > max_message_size(transport)) return finish_open(LinkStatus::message_too_big);
    buffer_size_ = send_buffer_size(transport, socket_buffer_size);
    message_length_ = message_length;
    SetupRequest setup;
    setup.kelbo_bytes = kelbo_bytes;
    setup.message_length = message_length;
    setup.host_name = own_host;
    setup.colour_text = colour_text;
    setup.transport = static_cast<std::uint8_t>(transport);
    setup_request_ = encode_setup_request(setup);

    // Every address of the receiver, IPv6 and IPv4, tried in turn until one answers.
    step_ = Step::resolving;
    lookup_ =
        std::make_unique<HostLookup>(receiver_host, udp ? options_.ports.control : options_.ports.stream);
    if (lookup_->done())
        resolved();
    else
        wait_for(wait_readable_, lookup_->fd(), std::chrono::milliseconds(0));
}

void TransmitterLink::resolved() {
    stop_waiting();  // before the lookup's descriptor goes
    std::vector<SocketAddress> addresses = lookup_->take();
    lookup_.reset();
    if (addresses.empty()) return finish_open(LinkStatus::host_unknown);
    step_ = Step::connecting;
    // The bound of the connects starts once the name is known.
    connecting(connector_.start(std::move(addresses), options_.wait,
                                [this](const SocketAddress& address, const Socket& candidate) {
                                    return prepare_socket(address, candidate);
                                }));
}

// The options of a new control socket (and the datagram socket that goes with it):
// 0, or the error that ends the opening with socket_error.
int TransmitterLink::prepare_socket(const SocketAddress& address, const Socket& candidate) {
    const bool udp = transport_ == TRANSPORT_UDP;
    if (udp) {
        opening_datagram_ = make_socket(SOCK_DGRAM, address.family());
        if (!opening_datagram_) return errno;
    }
    const int data_fd = udp ? opening_datagram_.fd() : candidate.fd();
    // No size at all leaves the send buffer to the system's automatic sizing, which
    // grows it with the path's bandwidth and delay.
    const bool set = (buffer_size_ == 0 || set_send_buffer(data_fd, static_cast<int>(buffer_size_))) &&
                     (udp || set_int_option(candidate.fd(), tcp_protocol_level(), TCP_NODELAY, 1)) &&
                     set_keepalive(candidate.fd());
    if (set) return 0;
    const int error = errno;
    perror_diag("setsockopt");
    return error;
}

void TransmitterLink::connecting(StreamConnector::State state) {
    using State = StreamConnector::State;
    switch (state) {
        case State::waiting:
            return wait_for(wait_writable_, connector_.waiting_fd(), connector_.share());
        case State::connected:
            return connected();
        case State::failed:
            last_error_ = connector_.error();
            return finish_open(last_error_ == 0 ? fail(LinkStatus::socket_error, EAFNOSUPPORT)
                                                : LinkStatus::connect_error);
        case State::stopped:
            return finish_open(fail(LinkStatus::socket_error, connector_.error()));
        case State::idle:
            return;
    }
}

void TransmitterLink::connected() {
    const SocketAddress address = connector_.address();
    opening_control_ = connector_.take_socket();
    last_error_ = 0;  // what the addresses before it gave is no failure now
    if (transport_ == TRANSPORT_UDP) {
        // The data goes to the host that took the control connection. A datagram
        // connect sends nothing; it fixes the destination of every send, and is over
        // at once (the wait below never waits on this system).
        const SocketAddress datagram_address = with_port(address, options_.ports.datagram);
        if (!set_nonblocking(opening_datagram_.fd()))
            return finish_open(fail(LinkStatus::socket_error, errno));
        if (::connect(opening_datagram_.fd(), datagram_address.get(), datagram_address.length) != 0) {
            const int error = errno;
            perror_diag("ctl connect fail");
            if (error != EINPROGRESS) return finish_open(fail(LinkStatus::connect_error, error));
            switch (wait_writable(opening_datagram_.fd(), options_.wait)) {
                case WaitResult::ready:
                    break;
                case WaitResult::timeout:
                    return finish_open(fail(LinkStatus::connect_error, ETIMEDOUT));
                case WaitResult::error:
                    return finish_open(fail(LinkStatus::connect_error, errno));
            }
        }
    }
    const ssize_t sent =
        ::send(opening_control_.fd(), setup_request_.data(), setup_request_.size(), MSG_NOSIGNAL);
    if (sent < 0) return finish_open(fail(LinkStatus::send_error, errno));
    if (static_cast<std::size_t>(sent) != setup_request_.size()) return finish_open(LinkStatus::send_error);
    step_ = Step::replying;
    wait_for(wait_readable_, opening_control_.fd(), options_.wait);
}

void TransmitterLink::read_setup_reply() {
    SetupReplyBytes reply{};
    const ssize_t got = ::recv(opening_control_.fd(), reply.data(), reply.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;  // not yet
    if (got < 0) return finish_open(fail(LinkStatus::protocol_error, errno));
    const SetupReplyResult result =
        parse_setup_reply(std::span<const std::uint8_t>(reply.data(), static_cast<std::size_t>(got)));
    if (result.status != LinkStatus::ok) return finish_open(result.status);
    conn_id_ = result.conn_id;
    numbered_ = transport_ == TRANSPORT_UDP && numbering_wanted_ && message_length_ >= NUMBERED_MIN_MESSAGE;
    datagrams_sent_ = 0;
    control_ = std::move(opening_control_);
    datagram_ = std::move(opening_datagram_);
    open_ = true;
    start_notification();
    finish_open(LinkStatus::ok);
}

// Whatever ended the opening, nothing of it is left but an open link.
void TransmitterLink::finish_open(LinkStatus status) {
    step_ = Step::none;
    stop_waiting();
    lookup_.reset();
    connector_.cancel();
    opening_control_.reset();
    opening_datagram_.reset();
    report_done(status);
}

void TransmitterLink::wait_for(QSocketNotifier* notifier, int fd, std::chrono::milliseconds bound) {
    notifier->setSocket(fd);  // leaves it disabled
    notifier->setEnabled(true);
    if (bound.count() > 0) wait_timer_.start(bound);
}

void TransmitterLink::stop_waiting() {
    // Only disabled, never deleted: this may run inside the notifier's own signal.
    wait_writable_->setEnabled(false);
    wait_readable_->setEnabled(false);
    wait_timer_.stop();
}

void TransmitterLink::on_readable() {
    switch (step_) {
        case Step::resolving:
            return resolved();
        case Step::replying:
            return read_setup_reply();
        case Step::shutdown_ack:
            return read_shutdown_ack();
        default:
            wait_readable_->setEnabled(false);
    }
}

void TransmitterLink::on_writable() {
    switch (step_) {
        case Step::connecting:
            stop_waiting();  // the connector may close the socket
            return connecting(connector_.writable());
        case Step::shutdown_writable:
            return send_shutdown_request();
        default:
            wait_writable_->setEnabled(false);
    }
}

void TransmitterLink::on_wait_over() {
    switch (step_) {
        case Step::connecting:
            stop_waiting();
            return connecting(connector_.timed_out());
        case Step::replying:
            return finish_open(LinkStatus::setup_ack_timeout);
        case Step::shutdown_writable:
        case Step::shutdown_ack:
            return finish_handshake(LinkStatus::shutdown_ack_timeout);
        default:
            return;
    }
}

void TransmitterLink::report_done(LinkStatus status) {
    // Taken first: the callback may begin the next step of its own.
    const DoneCallback done = std::move(done_);
    done_ = nullptr;
    if (done) done(status);
}

LinkStatus TransmitterLink::run_until_done(LinkStatus abandoned) {
    if (!result_ && step_ != Step::none) {
        QEventLoop loop;
        done_loop_ = &loop;
        loop.exec();
        done_loop_ = nullptr;
    }
    // The event loop was told to end (the program is ending) before the result.
    if (!result_) abandon();
    const LinkStatus status = result_.value_or(abandoned);
    result_.reset();
    return status;
}

LinkStatus TransmitterLink::link_open(int transport, int send_on, const std::string& own_host,
                                      const std::string& receiver_host, const std::string& colour_text,
                                      std::uint32_t message_length, EndCallback end,
                                      std::uint32_t kelbo_bytes, std::uint32_t socket_buffer_size) {
    result_.reset();
    begin_open(transport, send_on, own_host, receiver_host, colour_text, message_length, std::move(end),
               kelbo_bytes, socket_buffer_size, [this](LinkStatus status) {
                   result_ = status;
                   if (done_loop_) done_loop_->quit();
               });
    return run_until_done(LinkStatus::connect_error);
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
    // Numbered datagrams carry the sequence number of the first of the batch and the
    // numbers after it; a datagram the system does not take keeps its number.
    const DatagramNumbers first{datagrams_sent_, numbered_ ? send_time_ns() : 0};
    const ssize_t sent = sender_.send(data_fd(), transport_ == TRANSPORT_TCP,
                                      std::span<const std::uint8_t>(data_buffer_.data(), message_length_),
                                      messages, numbered_ ? &first : nullptr);
    if (sent >= 0) {
        last_error_ = 0;
        if (transport_ == TRANSPORT_UDP) datagrams_sent_ += sender_.last_datagrams();
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

void TransmitterLink::begin_shutdown(int reason, DoneCallback done) {
    last_error_ = 0;
    if (!open_ || step_ != Step::none) {
        last_error_ = ENOTCONN;
        if (done) done(LinkStatus::send_error);
        return;
    }
    done_ = std::move(done);
    shutdown_request_ = encode_shutdown_request(conn_id_, static_cast<std::uint8_t>(reason));
    // The acknowledgement is the handshake's to read, and a receiver that stops
    // answering now runs into the handshake's bounds: no end callback from here on.
    stop_notification();
    step_ = Step::shutdown_writable;
    // A failed wait counts as ready: the send that follows tells.
    if (wait_writable(control_.fd(), std::chrono::milliseconds(0)) != WaitResult::timeout)
        send_shutdown_request();
    else
        wait_for(wait_writable_, control_.fd(), options_.wait);
}

LinkStatus TransmitterLink::link_shutdown(int reason) {
    result_.reset();
    begin_shutdown(reason, [this](LinkStatus status) {
        result_ = status;
        if (done_loop_) done_loop_->quit();
    });
    return run_until_done(LinkStatus::shutdown_ack_timeout);
}

void TransmitterLink::abandon() {
    if (step_ == Step::none) return;
    step_ = Step::none;
    done_ = nullptr;
    stop_waiting();
    lookup_.reset();
    connector_.cancel();
    opening_control_.reset();
    opening_datagram_.reset();
    close_link();
    if (done_loop_) done_loop_->quit();
}

void TransmitterLink::send_shutdown_request() {
    if (step_ != Step::shutdown_writable) return;
    stop_waiting();
    const int fd = control_.fd();
    const ssize_t sent = ::send(fd, shutdown_request_.data(), shutdown_request_.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(shutdown_request_.size())) {
        // A request cut short cannot be completed: the receiver would misread it.
        const int error = sent < 0 ? errno : EAGAIN;
        diagnose("send error:", error);
        last_error_ = error;
        finish_handshake(LinkStatus::send_error);
        return;
    }
    step_ = Step::shutdown_ack;
    wait_for(wait_readable_, fd, options_.wait);
}

void TransmitterLink::read_shutdown_ack() {
    if (step_ != Step::shutdown_ack) return;
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

// Whatever ended the handshake, the link is closed and its result reported.
void TransmitterLink::finish_handshake(LinkStatus status) {
    step_ = Step::none;
    stop_waiting();
    close_link();
    report_done(status);
}

void TransmitterLink::check_peer() {
    if (!open_ || step_ != Step::none || !peer_unanswering(control_.fd())) return;
    last_error_ = ETIMEDOUT;
    abort_link();
}

void TransmitterLink::link_event() {
    // A notification queued before the link closed finds nothing to do, and one queued
    // before a shutdown handshake leaves the acknowledgement to the handshake.
    if (!open_ || step_ != Step::none) return;
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
        last_error_ = pending_error(fd);
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
    stop_waiting();
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

// A datagram the system did not take keeps its number for the next try: the numbers
// that go out follow each other without a gap.

void TransmitterLink::report_end(ConnId conn_id, int reason) {
    // A copy: the callback may open the next link, which replaces end_.
    const EndCallback end = end_;
    if (end) end(conn_id, reason);
}

}  // namespace kelbos
