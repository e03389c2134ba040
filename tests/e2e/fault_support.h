// SPDX-License-Identifier: Apache-2.0
// Pieces of the fault tests: hand-made peers that speak the real protocol through the
// shared codecs (a transmitter for a real kelbosrx, a receiver for the real
// transmitter), on the well-known ports of the test's own network namespace, and the
// check of what a transmitter reports when its link fails under it.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "resolve.h"
#include "sockets.h"
#include "program_pair_support.h"
#include "protocol.h"
#include "scripted_receiver.h"

namespace kelbos::pairtest {

using test::Bytes;

// One transport as the tests name it on the command line and as the rows show it.
struct Transport {
    int type;
    const char* option;  // --transport
    const char* name;    // the protocol column
};
inline constexpr Transport TCP_LINK{TRANSPORT_TCP, "tcp", "TCP"};
inline constexpr Transport UDP_LINK{TRANSPORT_UDP, "udp", "UDP"};
inline std::string PrintToString(const Transport& t) {
    return t.name;
}

inline SocketAddress loopback(std::uint16_t port) {
    return resolve_host("127.0.0.1", port).at(0);
}

// A socket of `type` sending from `source` (an address of this host) to a port of this
// namespace's loopback: a blocking TCP connection, or a connected datagram socket.
inline Socket socket_from(int type, const char* source, std::uint16_t port) {
    Socket s = make_socket(type);
    const SocketAddress from = resolve_host(source, 0).at(0);
    const SocketAddress to = loopback(port);
    if (s && (::bind(s.fd(), from.get(), from.length) != 0 || ::connect(s.fd(), to.get(), to.length) != 0))
        s.reset();
    return s;
}
inline Socket connect_to(std::uint16_t port, const char* source = "127.0.0.1") {
    return socket_from(SOCK_STREAM, source, port);
}
inline Socket datagrams_to_receiver(const char* source) {
    return socket_from(SOCK_DGRAM, source, DATAGRAM_PORT);
}

// A listener, or a bound datagram socket, on a port of every interface.
inline Socket listen_on(std::uint16_t port, int type = SOCK_STREAM) {
    Socket s = make_socket(type);
    const SocketAddress a = resolve_host("0.0.0.0", port).at(0);
    if (!s || ::bind(s.fd(), a.get(), a.length) != 0) return Socket();
    if (type == SOCK_STREAM && ::listen(s.fd(), LISTEN_BACKLOG) != 0) return Socket();
    return s;
}

// The SetupRequest of a hand-made transmitter: 1000-byte messages, one kelbo per
// 2500000 bytes, green.
inline Bytes handmade_setup(int transport) {
    SetupRequest request;
    request.kelbo_bytes = 2500000;
    request.message_length = 1000;
    request.host_name = "handmade";
    request.colour_text = "#00FF00";
    request.transport = static_cast<std::uint8_t>(transport);
    const SetupRequestBytes bytes = encode_setup_request(request);
    return Bytes(bytes.begin(), bytes.end());
}

inline Bytes accept_reply(ConnId conn_id) {
    const SetupReplyBytes bytes = encode_setup_accept(conn_id);
    return Bytes(bytes.begin(), bytes.end());
}

// The listening side of a hand-made receiver, on the well-known ports.
struct HandMadeReceiver {
    Socket control = listen_on(CONTROL_PORT);
    Socket stream = listen_on(STREAM_PORT);
    Socket datagram = listen_on(DATAGRAM_PORT, SOCK_DGRAM);
    const Socket& listener(const Transport& t) const { return t.type == TRANSPORT_UDP ? control : stream; }
};

// The receiver's side of a setup, for a transmitter in another process: accepts one
// connection, reads its SetupRequest and answers `reply`.
inline test::SetupPeer accept_setup(const Socket& listener, const Bytes& reply,
                                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    test::SetupPeer peer;
    if (wait_readable(listener.fd(), limit) != WaitResult::ready) return peer;
    peer.connection = Socket(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!peer.connection) return peer;
    peer.request = test::read_bytes(peer.connection.fd(), SETUP_REQUEST_LEN);
    test::send_bytes(peer.connection.fd(), reply);
    return peer;
}

// One data message of a link, as the transmitter sends it.
inline Bytes data_message(ConnId conn_id, std::uint32_t length) {
    Bytes message(length, 0);
    write_data_header(message, conn_id, length);
    return message;
}

// A headless receiver with JSON lines, its start-up over: listening, and its event
// loop turning (its first tick is out), so that the descriptors it holds from now on
// are those of an idle receiver.
inline std::unique_ptr<ChildProcess> start_receiver(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--headless", "--json", "--time", "300"});
    auto rx = std::make_unique<ChildProcess>(receiver_binary(), args, KELBOS_SCENES_DIR);
    EXPECT_TRUE(rx->wait_for(
        [&] {
            return tcp_listening(STREAM_PORT) && tcp_listening(CONTROL_PORT) &&
                   !of_kind(json_events(*rx), "tick", 0).empty();
        },
        20s))
        << rx->err();
    return rx;
}

// The name a receiver gives a peer on this host: its host name when the reverse lookup
// answers within the receiver's budget, else the address.
inline bool names_loopback(const QString& row) {
    return row == "localhost" || row == "127.0.0.1";
}

// Waits until a receiver holds exactly the descriptors `idle` or, with `links`, that
// many more: the lookup of a new peer's name may hold one for a moment.
inline bool holds_fds(ChildProcess& rx, const std::set<int>& idle, std::size_t links = 0) {
    return rx.wait_for(
        [&] {
            const std::set<int> now = open_fds(rx.pid());
            return links == 0 ? now == idle : now.size() == idle.size() + links;
        },
        std::chrono::seconds(10));
}

// True once the receiver's row for conn_id has counted bytes.
inline bool link_counts(const ChildProcess& rx, int conn_id) {
    const std::vector<QJsonObject> ticks = of_kind(json_events(rx), "tick", conn_id);
    return !ticks.empty() && bytes_of(ticks.back()) > 0 && ticks.back()["protocol"] != "Stopped";
}

// Index of the first event of a kind and link at or after `from`; -1 when none.
inline int find_event(const std::vector<QJsonObject>& events, const QString& kind, int conn_id,
                      int from = 0) {
    for (int i = from; i < static_cast<int>(events.size()); ++i)
        if (events[i]["event"] == kind && events[i]["conn_id"].toInt() == conn_id) return i;
    return -1;
}

// The texts a failed link leaves: at most one diagnostic of the failing call ("send"
// or "recv", perror form), and the box "Connection to <host> terminated\nConnection
// aborted\n" with the error text of that failure. An end of stream is no failing call:
// no diagnostic, and the box ends there.
struct AbortReport {
    std::string diagnostic;  // without its line end; empty when there is none
    std::string box;
};

// Splits a headless transmitter's standard error into its diagnostic and its box.
inline AbortReport split_abort_report(const std::string& err) {
    AbortReport report;
    std::string rest = err;
    if (rest.starts_with("send: ") || rest.starts_with("recv: ")) {
        const std::size_t end = rest.find('\n');
        report.diagnostic = rest.substr(0, end);
        rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    }
    // The presenter ends the box with a line end of its own.
    if (rest.ends_with('\n')) rest.pop_back();
    report.box = rest;
    return report;
}

// Checks the report of a link that failed with one of `errors` (strerror texts; an
// end of stream names none: ""); returns the error text it named. Which failure came
// is recorded under `key` in the test's XML output, for tallies over repeated runs.
inline std::string check_abort_report(const AbortReport& report, const std::set<std::string>& errors,
                                      const std::string& key = "abort_report") {
    ::testing::Test::RecordProperty(key, report.diagnostic.empty() ? "end of stream" : report.diagnostic);
    const std::string head = "Connection to localhost terminated\nConnection aborted\n";
    EXPECT_TRUE(report.box.starts_with(head)) << report.box;
    const std::string error = report.box.starts_with(head) ? report.box.substr(head.size()) : "";
    EXPECT_TRUE(errors.count(error)) << "error text: " << error;
    if (report.diagnostic.empty()) {
        EXPECT_EQ(error, "") << "a failing call writes its diagnostic";
    } else {
        EXPECT_TRUE(report.diagnostic == "send: " + error || report.diagnostic == "recv: " + error)
            << report.diagnostic << " / " << error;
    }
    return error;
}

}  // namespace kelbos::pairtest
