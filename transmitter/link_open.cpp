// SPDX-License-Identifier: Apache-2.0
// Opening a link: the name's lookup and the connects, the sockets' options, the
// SetupRequest and the wait for the SetupReply.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QEventLoop>
#include <cerrno>
#include <chrono>
#include <span>

#include "link.h"

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

}  // namespace

void TransmitterLink::begin_open(const OpenRequest& request, EndCallback end, DoneCallback done) {
    const int transport = request.transport;
    const std::uint32_t message_length = request.message_length;
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
    buffer_size_ = send_buffer_size(transport, request.socket_buffer_size);
    message_length_ = message_length;
    SetupRequest setup;
    setup.kelbo_bytes = request.kelbo_bytes;
    setup.message_length = message_length;
    setup.host_name = request.own_host;
    setup.colour_text = request.colour_text;
    setup.transport = static_cast<std::uint8_t>(transport);
    setup_request_ = encode_setup_request(setup);

    // Every address of the receiver, IPv6 and IPv4, tried in turn until one answers;
    // the bound of the connects starts once the name is known.
    step_ = Step::resolving;
    connecting(connector_.start(request.receiver_host, udp ? options_.ports.control : options_.ports.stream,
                                options_.wait, [this](const SocketAddress& address, const Socket& candidate) {
                                    return prepare_socket(address, candidate);
                                }));
}

// The options of a new control socket (and the datagram socket that goes with it):
// 0, or the error that ends the opening with socket_error.
int TransmitterLink::prepare_socket(const SocketAddress& address, const Socket& candidate) {
    const bool udp = transport_ == TRANSPORT_UDP;
    const SocketChoices& choices = options_.sockets;
    // A chosen local address of another family cannot reach this address.
    if (choices.bind && choices.bind->family() != address.family()) return EAFNOSUPPORT;
    if (udp) {
        opening_datagram_ = make_socket(SOCK_DGRAM, address.family());
        if (!opening_datagram_) return errno;
    }
    const int data_fd = udp ? opening_datagram_.fd() : candidate.fd();
    // No size at all leaves the send buffer to the system's automatic sizing, which
    // grows it with the path's bandwidth and delay.
    const bool set = (buffer_size_ == 0 || set_send_buffer(data_fd, static_cast<int>(buffer_size_))) &&
                     (udp || set_int_option(candidate.fd(), tcp_protocol_level(), TCP_NODELAY, 1)) &&
                     set_keepalive(candidate.fd()) &&
                     (choices.dscp < 0 || set_dscp(data_fd, address.family(), choices.dscp)) &&
                     (choices.congestion.empty() || set_congestion(candidate.fd(), choices.congestion));
    if (set && (!choices.bind || ::bind(candidate.fd(), choices.bind->get(), choices.bind->length) == 0))
        return 0;
    const int error = errno;
    perror_diag(set ? "bind" : "setsockopt");
    return error;
}

void TransmitterLink::connecting(StreamConnector::State state) {
    using State = StreamConnector::State;
    switch (state) {
        case State::resolving:  // no bound of its own: the lookup ends by itself
            return wait_for(wait_readable_, connector_.waiting_fd(), std::chrono::milliseconds(0));
        case State::waiting:
            step_ = Step::connecting;
            return wait_for(wait_writable_, connector_.waiting_fd(), connector_.share());
        case State::connected:
            return connected();
        case State::failed:
            last_error_ = connector_.error();
            return finish_open(last_error_ == 0 ? fail(LinkStatus::socket_error, EAFNOSUPPORT)
                                                : LinkStatus::connect_error);
        case State::unresolved:
            return finish_open(LinkStatus::host_unknown);
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
        // Its datagrams leave from the control connection's own address, so that
        // the receiver sees one host whatever routes this machine has.
        const SocketAddress datagram_address = with_port(address, options_.ports.datagram);
        const SocketAddress source = with_port(local_address(opening_control_.fd()), 0);
        if (!set_nonblocking(opening_datagram_.fd()) ||
            ::bind(opening_datagram_.fd(), source.get(), source.length) != 0)
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
    connector_.cancel();
    opening_control_.reset();
    opening_datagram_.reset();
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

}  // namespace kelbos
