// SPDX-License-Identifier: Apache-2.0
#include "transmitter/link/link_opener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
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

}  // namespace

LinkOpener::LinkOpener(const LinkOptions& options) : options_(options) {}

std::uint32_t LinkOpener::send_buffer_size(int transport, std::uint32_t setting) {
    if (transport == TRANSPORT_UDP) return UDP_MAX_MESSAGE;
    if (setting == 0) return 0;
    return setting <= TCP_MAX_MESSAGE ? setting : TCP_MAX_MESSAGE;
}

LinkStatus LinkOpener::fail(LinkStatus status, int error) {
    last_error_ = error;
    return status;
}

void LinkOpener::on_readable() {
    switch (step_) {
        case Step::resolving:
            wait_.stop();  // before the lookup's descriptor goes
            return connecting(connector_.resolved());
        case Step::replying:
            return read_setup_reply();
        default:
            wait_.stop_readable();
    }
}

void LinkOpener::on_writable() {
    if (step_ != Step::connecting) return wait_.stop_writable();
    wait_.stop();  // the connector may close the socket
    connecting(connector_.writable());
}

void LinkOpener::on_wait_over() {
    switch (step_) {
        case Step::connecting:
            wait_.stop();
            return connecting(connector_.timed_out());
        case Step::replying:
            return finish(LinkStatus::setup_ack_timeout);
        default:
            return;
    }
}

void LinkOpener::begin(const OpenRequest& request, std::function<void(LinkStatus)> done) {
    last_error_ = 0;
    done_ = std::move(done);
    transport_ = request.transport;
    const bool udp = transport_ == TRANSPORT_UDP;
    buffer_size_ = send_buffer_size(transport_, request.socket_buffer_size);
    SetupRequest setup;
    setup.kelbo_bytes = request.kelbo_bytes;
    setup.message_length = request.message_length;
    setup.host_name = request.own_host;
    setup.colour_text = request.colour_text;
    setup.transport = static_cast<std::uint8_t>(transport_);
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
int LinkOpener::prepare_socket(const SocketAddress& address, const Socket& candidate) {
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

void LinkOpener::connecting(StreamConnector::State state) {
    using State = StreamConnector::State;
    switch (state) {
        case State::resolving:  // no bound of its own: the lookup ends by itself
            return wait_.readable(connector_.waiting_fd(), std::chrono::milliseconds(0));
        case State::waiting:
            step_ = Step::connecting;
            return wait_.writable(connector_.waiting_fd(), connector_.share());
        case State::connected:
            return connected();
        case State::failed:
            last_error_ = connector_.error();
            return finish(last_error_ == 0 ? fail(LinkStatus::socket_error, EAFNOSUPPORT)
                                                : LinkStatus::connect_error);
        case State::unresolved:
            return finish(LinkStatus::host_unknown);
        case State::stopped:
            return finish(fail(LinkStatus::socket_error, connector_.error()));
        case State::idle:
            return;
    }
}

void LinkOpener::connected() {
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
            return finish(fail(LinkStatus::socket_error, errno));
        if (::connect(opening_datagram_.fd(), datagram_address.get(), datagram_address.length) != 0) {
            const int error = errno;
            perror_diag("ctl connect fail");
            if (error != EINPROGRESS) return finish(fail(LinkStatus::connect_error, error));
            switch (wait_writable(opening_datagram_.fd(), options_.wait)) {
                case WaitResult::ready:
                    break;
                case WaitResult::timeout:
                    return finish(fail(LinkStatus::connect_error, ETIMEDOUT));
                case WaitResult::error:
                    return finish(fail(LinkStatus::connect_error, errno));
            }
        }
    }
    const ssize_t sent =
        ::send(opening_control_.fd(), setup_request_.data(), setup_request_.size(), MSG_NOSIGNAL);
    if (sent < 0) return finish(fail(LinkStatus::send_error, errno));
    if (static_cast<std::size_t>(sent) != setup_request_.size()) return finish(LinkStatus::send_error);
    step_ = Step::replying;
    wait_.readable(opening_control_.fd(), options_.wait);
}

void LinkOpener::read_setup_reply() {
    SetupReplyBytes reply{};
    const ssize_t got = ::recv(opening_control_.fd(), reply.data(), reply.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;  // not yet
    if (got < 0) return finish(fail(LinkStatus::protocol_error, errno));
    const SetupReplyResult result =
        parse_setup_reply(std::span<const std::uint8_t>(reply.data(), static_cast<std::size_t>(got)));
    if (result.status != LinkStatus::ok) return finish(result.status);
    opened_ = OpenedLink{std::move(opening_control_), std::move(opening_datagram_), result.conn_id};
    finish(LinkStatus::ok);
}

// Whatever ended the opening, nothing of it is left but an open link.
void LinkOpener::finish(LinkStatus status) {
    // Taken first: the callback may begin the next opening.
    const auto done = std::move(done_);
    cancel();
    if (done) done(status);
}

void LinkOpener::cancel() {
    step_ = Step::none;
    done_ = nullptr;
    wait_.stop();
    connector_.cancel();
    opening_control_.reset();
    opening_datagram_.reset();
}

}  // namespace kelbos
