// SPDX-License-Identifier: Apache-2.0
// Pieces of the fault tests: hand-made peers speaking the protocol through the shared
// codecs on the namespace's well-known ports, and the checks of a failed link's report.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "net/resolve.h"
#include "net/sockets.h"
#include "open_fds.h"
#include "program_pair_support.h"
#include "scripted_receiver.h"
#include "shell/row_widget.h"
#include "tx_fixture.h"

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
// Both, as test parameters (with PrintToStringParamName the tests end in the name).
inline const auto BOTH_TRANSPORTS = ::testing::Values(TCP_LINK, UDP_LINK);
using ::testing::PrintToStringParamName;

inline Socket datagrams_to_receiver(const char* source) {
    return socket_from(SOCK_DGRAM, source, DATAGRAM_PORT);
}

// A hand-made transmitter's SetupRequest: 1000-byte messages, a kelbo per 2500000 bytes, green.
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

// A hand-made transmitter's link from `source` to the receiver on the well-known ports,
// after a setup answered with `expected` (or the refusal).
inline Socket open_link(const Transport& t, ConnId expected, const char* source = "127.0.0.1") {
    Socket link = connect_to(t.type == TRANSPORT_TCP ? STREAM_PORT : CONTROL_PORT, source);
    if (!link) return link;
    test::send_bytes(link.fd(), handmade_setup(t.type));
    const SetupReplyBytes refusal = encode_setup_reject();
    EXPECT_EQ(test::read_bytes(link.fd(), SETUP_REPLY_LEN),
              expected == CONN_NONE_FREE ? Bytes(refusal.begin(), refusal.end()) : accept_reply(expected))
        << t.name << " from " << source;
    return link;
}

// The listening side of a hand-made receiver, on the well-known ports.
struct HandMadeReceiver {
    Socket control = listen_on(CONTROL_PORT);
    Socket stream = listen_on(STREAM_PORT);
    Socket datagram = listen_on(DATAGRAM_PORT, SOCK_DGRAM);
    const Socket& listener(const Transport& t) const { return t.type == TRANSPORT_UDP ? control : stream; }
};

// Accepts one connection, reads its SetupRequest and answers `reply`.
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

// A receiver's name for a peer on this host: its host name, or the address.
inline bool names_loopback(const QString& row) {
    return row == "localhost" || row == "127.0.0.1";
}

// Waits until a receiver holds exactly the descriptors `idle`, or `links` more.
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

// Waits for such an event of a receiver; its index, -1 when none came within `limit`.
inline int await_event(ChildProcess& rx, const QString& kind, int conn_id, std::chrono::milliseconds limit,
                       int from = 0) {
    rx.wait_for([&] { return find_event(json_events(rx), kind, conn_id, from) >= 0; }, limit);
    return find_event(json_events(rx), kind, conn_id, from);
}

// A failed link's texts: at most one perror diagnostic of the failing send or recv, and
// the box "Connection to <host> terminated\nConnection aborted\n<error text>" (an end
// of stream: no diagnostic, no error text).
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

// Checks a report of one of `errors` (strerror texts, "" for an end of stream); returns
// the one named. Which came is recorded under `key` in the XML output.
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

inline constexpr const char* SEND_LOOP_NOTE = "send_message: unscheduling the work proc\n";

// A headless transmitter whose link failed under it: status 1, the report of one of
// `errors`, the send loop's note exactly when a send failed, and one "aborted" end.
inline AbortReport expect_headless_abort(ChildProcess& tx, const std::set<std::string>& errors) {
    EXPECT_EQ(tx.wait_exit(30s), 1) << tx.err();
    const AbortReport report = split_abort_report(tx.err());
    check_abort_report(report, errors);
    EXPECT_EQ(tx.out().find(SEND_LOOP_NOTE) != std::string::npos, report.diagnostic.starts_with("send: "))
        << tx.out();
    const std::vector<QJsonObject> ends = of_kind(json_events(tx), "end");
    EXPECT_EQ(ends.size(), 1u) << tx.out();
    for (const QJsonObject& end : ends) {
        EXPECT_EQ(end["how"].toString(), "aborted");
        EXPECT_GT(bytes_of(end), 0u);
    }
    return report;
}

// The transmitter program object in this process, its link failing under it.
class FaultProgramTest : public txtest::ProgramTest {
protected:
    // Runs `fault` with the output captured until the link has ended: one box naming
    // one of `errors` (recorded under abort_report_TCP or _UDP), the send loop's note
    // exactly when a send failed, and the program idle again holding the descriptors `fds`.
    void expect_abort(TransmitterProgram& p, const std::function<void()>& fault,
                      const std::set<std::string>& errors, int fds, std::chrono::milliseconds limit) {
        const std::string key = p.settings().transport == TRANSPORT_TCP ? "abort_report_TCP"
                                                                         : "abort_report_UDP";
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        fault();
        const bool ended = wait_transmitting(p, false, limit);
        const std::string out = ::testing::internal::GetCapturedStdout();
        std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ended);
        ASSERT_EQ(messages.texts.size(), 1u);
        if (err.ends_with('\n')) err.pop_back();
        check_abort_report(AbortReport{err, messages.texts[0]}, errors, key);
        EXPECT_EQ(out, err.starts_with("send: ") ? SEND_LOOP_NOTE : "");
        // Go and the settings enabled, Halt grayed, the row stopped, nothing scheduled.
        EXPECT_EQ(txtest::menu_state(p), txtest::MENU_IDLE);
        EXPECT_EQ(p.window().value_row().protocol(), "Stopped");
        EXPECT_EQ(TransmitLoopPeer::scheduled(TransmitterProgramPeer::loop(p)), TransmitLoop::Wake::none);
        EXPECT_EQ(count_open_fds(), fds);
    }
};

}  // namespace kelbos::pairtest
