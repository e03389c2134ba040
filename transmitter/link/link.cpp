// SPDX-License-Identifier: Apache-2.0
#include "transmitter/link/link.h"

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
      sender_(options.send_path, options.file_send) {
    connect(notifier_, &QSocketNotifier::activated, this, [this] { link_event(); });
    peer_check_.setInterval(PEER_CHECK_PERIOD);
    connect(&peer_check_, &QTimer::timeout, this, &TransmitterLink::check_peer);
}

TransmitterLink::~TransmitterLink() {
    abandon();
    close_link();
}

void TransmitterLink::begin_open(const OpenRequest& request, EndCallback end, DoneCallback done) {
    abandon();
    close_link();
    last_error_ = 0;
    end_ = std::move(end);
    done_ = std::move(done);
    if (request.transport != TRANSPORT_UDP && request.transport != TRANSPORT_TCP)
        return report_done(LinkStatus::unknown_transport);
    transport_ = request.transport;
    if (request.message_length > max_message_size(transport_)) return report_done(LinkStatus::message_too_big);
    message_length_ = request.message_length;
    opener_.begin(request, [this](LinkStatus status) { opened(status); });
}

void TransmitterLink::opened(LinkStatus status) {
    last_error_ = opener_.last_error();
    if (status == LinkStatus::ok) {
        OpenedLink link = opener_.take();
        conn_id_ = link.conn_id;
        numbered_ = transport_ == TRANSPORT_UDP && numbering_wanted_ && message_length_ >= NUMBERED_MIN_MESSAGE;
        datagrams_sent_ = 0;
        control_ = std::move(link.control);
        datagram_ = std::move(link.datagram);
        open_ = true;
        start_notification();
    }
    report_done(status);
}

LinkStatus TransmitterLink::link_open(const OpenRequest& request, EndCallback end) {
    result_.reset();
    begin_open(request, std::move(end), [this](LinkStatus status) {
        result_ = status;
        if (done_loop_) done_loop_->quit();
    });
    return run_until_done(LinkStatus::connect_error);
}


int TransmitterLink::data_fd() const {
    if (!open_) return -1;
    return transport_ == TRANSPORT_UDP ? datagram_.fd() : control_.fd();
}

// A notification for no step of the handshake only stops its watch.
void TransmitterLink::on_readable() {
    if (step_ == Step::shutdown_ack) return read_shutdown_ack();
    wait_.stop_readable();
}

void TransmitterLink::on_writable() {
    if (step_ == Step::shutdown_writable) return send_shutdown_request();
    wait_.stop_writable();
}

void TransmitterLink::on_wait_over() {
    switch (step_) {
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
    if (!result_ && (step_ != Step::none || opener_.opening())) {
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

int TransmitterLink::link_send() {
    return send_messages(1);
}

int TransmitterLink::link_send_batch() {
    return send_messages(batch_messages(message_length_));
}

int TransmitterLink::link_send_messages(std::size_t messages, std::uint64_t max_bytes) {
    return send_messages(std::min(messages, batch_messages(message_length_)), max_bytes);
}

int TransmitterLink::send_messages(std::size_t messages, std::uint64_t max_bytes) {
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
                                      messages, numbered_ ? &first : nullptr, max_bytes);
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
        wait_.writable(control_.fd(), options_.wait);
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
    if (step_ == Step::none && !opener_.opening()) return;
    step_ = Step::none;
    done_ = nullptr;
    opener_.cancel();
    wait_.stop();
    close_link();
    if (done_loop_) done_loop_->quit();
}

void TransmitterLink::send_shutdown_request() {
    if (step_ != Step::shutdown_writable) return;
    wait_.stop();
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
    wait_.readable(fd, options_.wait);
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
    wait_.stop();
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
    wait_.stop();
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
