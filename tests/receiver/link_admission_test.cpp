// SPDX-License-Identifier: Apache-2.0
// Admission of new links (the wait for the SetupRequest and its failures), start-up of
// the endpoints, re-entry from callbacks, and what the engine holds after many links.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>

#include "core/clock.h"
#include "engine_harness.h"
#include "net/resolve.h"
#include "open_fds.h"
#include "receiver/engine/link_engine.h"

using namespace kelbos;
using namespace kelbos::test;

namespace {

std::size_t position(const std::vector<std::string>& order, const std::string& entry) {
    return static_cast<std::size_t>(std::find(order.begin(), order.end(), entry) - order.begin());
}

}  // namespace

TEST(LinkAdmission, SilentPeersAndIdleLinksEndAfterTheirWaitsWhileARequestInPiecesIsReadOnAndBusyLinksGoOn) {
    EngineRig rig({.setup_wait = 1500ms, .idle_timeout = 1s});
    auto a = rig.open(TRANSPORT_TCP);
    ASSERT_EQ(a.conn_id, 1);

    Peer silent = Peer::tcp(rig.ports.stream);
    ASSERT_TRUE(rig.admitted(2));
    EXPECT_NE(rig.engine->link_socket(2), -1);

    // While it waits, the other link's data flows and a further link is set up, its
    // request read on piece by piece, the data after it kept.
    ASSERT_TRUE(a.control.send(zeros(100)));
    ASSERT_TRUE(pump_until([&] { return rig.rec.bytes_for(1) == 100; }));
    Peer peer = Peer::tcp(rig.ports.stream);
    const Bytes request = setup_request(TRANSPORT_TCP, 1234, "#0A0B0C");
    ASSERT_TRUE(peer.send(slice(request, 0, 30)));
    ASSERT_TRUE(rig.admitted(3));
    ASSERT_TRUE(rig.drained(3, peer));
    ASSERT_TRUE(peer.send(slice(request, 30, 70)));
    ASSERT_TRUE(rig.drained(3, peer));
    EXPECT_EQ(rig.rec.new_links.size(), 1u);
    EXPECT_TRUE(peer.nothing_to_read());
    EXPECT_EQ(rig.phase(3), LinkPhase::admitted);
    // The last two bytes come with the first data.
    Bytes rest = slice(request, 70, 72);
    rest.resize(2 + 100, 0);
    ASSERT_TRUE(peer.send(rest));
    EXPECT_EQ(peer.read(4), (Bytes{0x03, 0x01, 0x01, 0x05}));
    ASSERT_EQ(rig.rec.new_links.size(), 2u);
    EXPECT_EQ(rig.rec.new_links[1].kelbo_bytes, 1234u);
    EXPECT_EQ(rig.rec.new_links[1].colour_text, "#0A0B0C");
    EXPECT_EQ(rig.rec.new_links[1].transport, TRANSPORT_TCP);
    EXPECT_TRUE(pump_until([&] { return rig.rec.bytes_for(3) == 100; }));
    // The idle time-out ends link 3, silent since its data, not the older, busy link 1.
    ASSERT_TRUE(pump_until([&] { return a.control.send(zeros(10)) && !rig.rec.shutdowns.empty(); }, 3s));
    EXPECT_EQ(rig.rec.shutdowns.at(0).conn_id, 3);
    EXPECT_EQ(rig.phase(1), LinkPhase::set_up);

    EXPECT_TRUE(silent.wait_closed());
    ASSERT_EQ(rig.rec.released, std::vector<ConnId>{2});
    EXPECT_LT(position(rig.rec.order(), "data 1"), position(rig.rec.order(), "release 2"));
    EXPECT_LT(position(rig.rec.order(), "new 3"), position(rig.rec.order(), "release 2"));
    EXPECT_EQ(rig.engine->link_socket(2), -1);
    EXPECT_EQ(rig.rec.table[2].row_state, RowState::free);
    EXPECT_EQ(rig.rec.new_links.size(), 2u);
    EXPECT_EQ(rig.rec.shutdowns.size(), 1u);
}

TEST(LinkAdmission, PeerEndingOrGoneBeforeTheReplyGivesItsIdBackAndAHostsShareHoldsAcrossEndedLinks) {
    EngineRig rig({.links_per_host = 2});
    const Bytes request = setup_request(TRANSPORT_UDP);

    // Part of the request, then an orderly close.
    Peer a = Peer::tcp(rig.ports.control);
    ASSERT_TRUE(a.send(slice(request, 0, 71)));
    ASSERT_TRUE(rig.admitted(1));
    a.close();
    ASSERT_TRUE(pump_until([&] { return rig.rec.released.size() == 1; }));
    EXPECT_EQ(rig.rec.released[0], 1);
    EXPECT_EQ(rig.engine->link_socket(1), -1);

    // Nothing at all, then a reset.
    Peer b = Peer::tcp(rig.ports.stream);
    ASSERT_TRUE(rig.admitted(1));
    b.reset();
    ASSERT_TRUE(pump_until([&] { return rig.rec.released.size() == 2; }));
    EXPECT_EQ(rig.rec.released[1], 1);

    // An error condition reported while admitted.
    Peer c = Peer::tcp(rig.ports.stream);
    ASSERT_TRUE(rig.admitted(1));
    rig.engine->comm_event(rig.engine->link_socket(1), EVENT_READ, ECONNRESET);
    EXPECT_EQ(rig.rec.released.size(), 3u);
    EXPECT_TRUE(c.wait_closed());

    // The whole request, then a reset before the engine has even accepted: whether
    // the request still reads or not, the reply cannot go and no link is set up.
    for (int i = 0; i < 3; ++i) {
        Peer peer = Peer::tcp(rig.ports.stream);
        ASSERT_TRUE(peer.send(setup_request(TRANSPORT_TCP)));
        peer.reset();
    }
    ASSERT_TRUE(pump_until([&] { return rig.rec.allocs == 6 && rig.rec.released.size() == 6; }));

    EXPECT_TRUE(rig.rec.new_links.empty());
    EXPECT_TRUE(rig.rec.shutdowns.empty());
    EXPECT_TRUE(rig.table_empty());
    EXPECT_EQ(rig.rec.table.links_in_use(), 0);

    // A host's share counts its "Stopped" rows: its new link takes over the oldest, and
    // only a share all live (or setting up) refuses.
    rig.rec.free_ended = false;
    for (std::size_t i = 0; i < 12; ++i) {
        auto link = rig.open(TRANSPORT_TCP);
        ASSERT_EQ(link.conn_id, i % 2 + 1);
        link.control.close();
        ASSERT_TRUE(pump_until([&] { return rig.rec.shutdowns.size() == i + 1; }));
    }
    EXPECT_EQ(rig.open(TRANSPORT_TCP, "127.0.0.2").conn_id, 3);
    auto again = rig.open(TRANSPORT_UDP);
    EXPECT_EQ(again.conn_id, 1);
    Peer setting_up = Peer::tcp(rig.ports.stream);
    ASSERT_TRUE(rig.admitted(2));
    EXPECT_EQ(rig.open(TRANSPORT_TCP).reply, (Bytes{0xFF, 0x04, 0x01, 0x05}));
}

TEST(LinkAdmission, StartUpReportsPortsHeldByOthersAndARestartGetsItsPortsBackAtOnce) {
    EngineRecorder rec;  // no callback is called
    auto held_port = [](const Socket& s) {
        sockaddr_in a{};
        socklen_t n = sizeof a;
        ::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&a), &n);
        return ntohs(a.sin_port);
    };
    Socket tcp_holder = make_socket(SOCK_STREAM);
    const SocketAddress any = resolve_host("0.0.0.0", 0).at(0);
    ASSERT_EQ(::bind(tcp_holder.fd(), any.get(), any.length), 0);
    ASSERT_EQ(::listen(tcp_holder.fd(), 1), 0);
    Socket udp_holder = make_socket(SOCK_DGRAM);
    ASSERT_EQ(::bind(udp_holder.fd(), any.get(), any.length), 0);
    const Ports cases[] = {
        {held_port(tcp_holder), 0, 0}, {0, held_port(udp_holder), 0}, {0, 0, held_port(tcp_holder)}};
    for (const Ports& ports : cases) {
        LinkEngine engine(rec.callbacks(), EngineOptions{ports});
        EXPECT_EQ(engine.comm_init(), LinkStatus::bind_error);
        EXPECT_EQ(engine.last_error(), EADDRINUSE);
    }

    Ports used;
    {
        EngineRig rig;
        ASSERT_EQ(rig.status, LinkStatus::ok);
        used = rig.ports;
        // The receiver closes first, so its end of the connection lingers on the port.
        for (std::uint8_t transport : {TRANSPORT_TCP, TRANSPORT_UDP}) {
            auto link = rig.open(transport);
            ASSERT_NE(link.conn_id, CONN_NONE);
            ASSERT_TRUE(link.control.send(Bytes{link.conn_id, MSG_SHUTDOWN_REQUEST, 1}));
            EXPECT_EQ(link.control.read(2).size(), 2u);
            EXPECT_TRUE(link.control.wait_closed());
        }
    }
    LinkEngine again(rec.callbacks(), EngineOptions{used});
    EXPECT_EQ(again.comm_init(), LinkStatus::ok) << error_text(again.last_error());
    EXPECT_EQ(LinkEnginePeer::bound_ports(again).stream, used.stream);
    EXPECT_EQ(LinkEnginePeer::bound_ports(again).control, used.control);
}

TEST(LinkAdmission, CallbacksMayRunNestedLoopsThatComeBackIn) {
    EngineRig rig;

    // A modal box inside alloc_conn_id: another link is accepted and set up meanwhile.
    EngineRig::Link inner;
    bool nested = false;
    rig.rec.on_alloc = [&] {
        if (nested) return;
        nested = true;
        inner = rig.open(TRANSPORT_TCP);
    };
    auto outer = rig.open(TRANSPORT_UDP);
    rig.rec.on_alloc = nullptr;
    EXPECT_EQ(inner.reply, (Bytes{0x01, 0x01, 0x01, 0x05}));
    EXPECT_EQ(outer.reply, (Bytes{0x02, 0x01, 0x01, 0x05}));
    auto third = rig.open(TRANSPORT_TCP);
    ASSERT_EQ(third.conn_id, 3);

    // A modal box inside more_data: the same socket is read again, and ends, inside it.
    bool again = false;
    rig.rec.on_more_data = [&](std::int8_t c) {
        if (c != 1 || again) return;
        again = true;
        ASSERT_TRUE(inner.control.send(zeros(50)));
        ASSERT_TRUE(pump_until([&] { return rig.rec.bytes_for(1) == 150; }));
        ASSERT_TRUE(inner.control.send(Bytes{1, MSG_SHUTDOWN_REQUEST, 1}));
        ASSERT_TRUE(pump_until([&] { return rig.rec.shutdowns.size() == 1; }));
    };
    ASSERT_TRUE(inner.control.send(zeros(100)));
    ASSERT_TRUE(pump_until([&] { return rig.rec.shutdowns.size() == 1; }));
    EXPECT_EQ(rig.rec.bytes_for(1), 150u);
    EXPECT_EQ(rig.engine->link_socket(1), -1);
    EXPECT_TRUE(inner.control.wait_closed());
    rig.rec.on_more_data = nullptr;

    // A modal box inside shutdown_rcv: other links are read, and end, inside it.
    rig.rec.on_shutdown_rcv = [&](ConnId c) {
        if (c != 2) return;
        ASSERT_TRUE(third.control.send(zeros(30)));
        ASSERT_TRUE(pump_until([&] { return rig.rec.bytes_for(3) == 30; }));
        third.control.close();
        ASSERT_TRUE(pump_until([&] { return rig.rec.shutdowns.size() == 3; }));
    };
    outer.control.close();
    ASSERT_TRUE(pump_until([&] { return rig.rec.shutdowns.size() == 3; }));
    EXPECT_EQ(rig.rec.shutdowns[1].conn_id, 2);
    EXPECT_EQ(rig.rec.shutdowns[2].conn_id, 3);
    EXPECT_TRUE(rig.table_empty());
    // One receive buffer per nesting level, no more.
    EXPECT_EQ(LinkEnginePeer::buffer_pool(*rig.engine).buffers_made(), 2u);
}

TEST(LinkAdmission, ManyLinksOfEveryKindLeaveNoDescriptorOrIdBehind) {
    EngineRig rig({.setup_wait = 100ms});
    ASSERT_EQ(rig.status, LinkStatus::ok);

    auto normal = [&] {
        auto link = rig.open(TRANSPORT_TCP);
        ASSERT_NE(link.conn_id, CONN_NONE);
        ASSERT_TRUE(link.control.send(zeros(1000)));
        ASSERT_TRUE(link.control.send(Bytes{link.conn_id, MSG_SHUTDOWN_REQUEST, 1}));
        EXPECT_EQ(link.control.read(2), (Bytes{link.conn_id, MSG_SHUTDOWN_ACK}));
        EXPECT_TRUE(link.control.wait_closed());
    };
    normal();  // the first link starts whatever the process keeps for later ones
    const int before = count_open_fds();
    const std::size_t ends_before = rig.rec.shutdowns.size();

    for (int round = 0; round < 5; ++round) {
        normal();

        rig.rec.refuse = true;
        auto refused = rig.open(TRANSPORT_UDP);
        EXPECT_EQ(refused.reply, (Bytes{0xFF, 0x04, 0x01, 0x05}));
        EXPECT_TRUE(refused.control.wait_closed());
        rig.rec.refuse = false;

        auto aborted = rig.open(TRANSPORT_TCP);
        aborted.control.close();
        auto reset = rig.open(TRANSPORT_UDP);
        reset.control.reset();
        ASSERT_TRUE(pump_until([&] { return rig.table_empty(); }));

        const std::size_t released = rig.rec.released.size();
        Peer silent = Peer::tcp(rig.ports.stream);
        EXPECT_TRUE(silent.wait_closed());
        Peer partial = Peer::tcp(rig.ports.control);
        ASSERT_TRUE(partial.send(zeros(10)));
        ASSERT_TRUE(rig.admitted(1));
        partial.close();
        ASSERT_TRUE(pump_until([&] { return rig.rec.released.size() == released + 2; }));
    }
    EXPECT_EQ(rig.rec.shutdowns.size() - ends_before, 15u);
    EXPECT_TRUE(rig.rec.new_links.size() == 16u);
    EXPECT_TRUE(rig.table_empty());
    EXPECT_EQ(rig.rec.table.links_in_use(), 0);

    flush_deferred_deletes();
    EXPECT_EQ(rig.engine->findChildren<QSocketNotifier*>().size(), 3);
    EXPECT_EQ(LinkEnginePeer::buffer_pool(*rig.engine).buffers_made(), 1u);
    // Name lookups that ran past their budget may still hold a descriptor briefly.
    EXPECT_TRUE(pump_until([&] { return count_open_fds() <= before; }))
        << count_open_fds() << " > " << before;
}
