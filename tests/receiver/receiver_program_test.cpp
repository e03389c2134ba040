// SPDX-License-Identifier: Apache-2.0
// The receiver program as a whole, with real sockets on free ports: start-up, the
// menu, the endpoints failing to open, links refused while no scene is loaded, links
// set up over TCP and UDP, and the JSON lines.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>

#include "engine_harness.h"
#include "net/resolve.h"
#include "program_modal.h"
#include "receiver_rig.h"
#include "shell/kelbo_canvas.h"
#include "shell/row_widget.h"
#include "shell/scene_commands.h"

using namespace kelbos;
using namespace kelbos::test;
using kelbos::testing::when_file_dialog_choose;

namespace {

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A peer that sent its SetupRequest and read the reply.
struct SetUpPeer {
    Peer socket;
    Bytes reply;
};

SetUpPeer connect_link(std::uint16_t port, std::uint8_t transport, std::uint32_t kelbo_bytes,
                       const std::string& colour = "#0000FF") {
    SetUpPeer peer{Peer::tcp(port), {}};
    EXPECT_TRUE(peer.socket.valid());
    EXPECT_TRUE(peer.socket.send(setup_request(transport, kelbo_bytes, colour)));
    peer.reply = peer.socket.read(SETUP_REPLY_LEN);
    return peer;
}

const Bytes REJECTED{255, 4, 1, 5};

}  // namespace

TEST(ReceiverProgram, StartUpWindowMenuAndExit) {
    ReceiverRig rig({.timer_ticks = true});
    ReceiverProgram& program = rig.program();
    EXPECT_EQ(program.comm_status(), LinkStatus::ok);
    EXPECT_TRUE(rig.messages.empty());
    ASSERT_NE(program.window(), nullptr);
    EXPECT_EQ(program.window()->windowTitle(), "Kelbos Receiver");
    EXPECT_EQ(program.window()->centralWidget(), program.canvas());
    EXPECT_EQ(rig.header()->parentWidget(), program.canvas());
    // The titles, each fitting its place.
    const char* const names[] = {"label0", "label202", "label203", "label204"};
    const QStringList titles{"Transmitter", "Protocol", "Bits/Kelbo", "Mbits/s"};
    for (int i = 0; i < 4; ++i) {
        const auto* label = rig.header()->findChild<QLabel*>(names[i]);
        ASSERT_NE(label, nullptr) << names[i];
        EXPECT_EQ(label->text(), titles[i]);
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text())) << names[i];
    }
    // Room for the rows and a picture below them.
    EXPECT_GE(program.canvas()->height(), rig.header_height() + rig.row_height() + 400);
    EXPECT_GE(program.canvas()->width(), rig.header()->width());
    EXPECT_TRUE(ReceiverProgramPeer::tick_timer(program).isActive());
    EXPECT_EQ(ReceiverProgramPeer::tick_timer(program).interval(), 1000);
    EXPECT_EQ(rig.table()[0].row_state, RowState::live);
    for (int c = 1; c <= 10; ++c) EXPECT_EQ(rig.table()[c].row_state, RowState::free);
    EXPECT_TRUE(rig.ledger().colour_slots()[0].in_use && rig.ledger().colour_slots()[0].held);
    for (int s = 1; s <= 10; ++s) EXPECT_FALSE(rig.ledger().colour_slots()[s].in_use);
    const Ports ports = LinkEnginePeer::bound_ports(ReceiverProgramPeer::engine(program));
    for (const std::uint16_t port : {ports.control, ports.datagram, ports.stream}) EXPECT_NE(port, 0);

    // The menu: File and Control, "&Stop" grayed for good; then View.
    const QList<QAction*> popups = program.window()->menuBar()->actions();
    ASSERT_EQ(popups.size(), 3);
    EXPECT_EQ(popups[2]->text(), "&View");
    EXPECT_EQ(popups[0]->text(), "&File");
    EXPECT_EQ(popups[1]->text(), "&Control");
    QStringList file_items;
    for (QAction* a : popups[0]->menu()->actions()) file_items << a->text();
    EXPECT_EQ(file_items, (QStringList{"&Open ...", "&Save settings", "&Exit"}));
    ASSERT_EQ(popups[1]->menu()->actions().size(), 1);
    EXPECT_EQ(popups[1]->menu()->actions()[0]->text(), "&Stop");
    CommandMenu& menu = program.window()->menu();
    EXPECT_FALSE(menu.is_enabled(CMD_STOP));
    for (const int id : {CMD_OPEN, CMD_SAVE_SETTINGS, CMD_EXIT}) EXPECT_TRUE(menu.is_enabled(id)) << id;

    // "&Save settings", "&Stop" and unknown ids do nothing.
    menu.action(CMD_SAVE_SETTINGS)->trigger();
    menu.action(CMD_STOP)->trigger();
    program.do_command(CMD_STOP);
    program.do_command(4711);
    EXPECT_TRUE(rig.quits.empty());
    EXPECT_TRUE(rig.messages.empty());

    const ConnId c = rig.link("a");
    menu.action(CMD_EXIT)->trigger();
    EXPECT_EQ(rig.quits, std::vector<int>{0});
    EXPECT_EQ(rig.header(), nullptr);
    EXPECT_EQ(rig.row(0), nullptr);
    // Until the loop ends, ticks and links go on without the two rows.
    EXPECT_NE(rig.row(c), nullptr);
    rig.data(c, 5000);
    rig.ticks(2);
    EXPECT_NE(rig.link("b"), CONN_NONE_FREE);
}

TEST(ReceiverProgram, EndpointsThatCannotOpenAreReportedAndTheProgramGoesOn) {
    // Another program listens on the control port.
    Socket holder = make_socket(SOCK_STREAM);
    const SocketAddress any = resolve_host("0.0.0.0", 0).at(0);
    ASSERT_EQ(::bind(holder.fd(), any.get(), any.length), 0);
    ASSERT_EQ(::listen(holder.fd(), 1), 0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(::getsockname(holder.fd(), reinterpret_cast<sockaddr*>(&bound), &length), 0);

    ReceiverRig rig({.ports = Ports{ntohs(bound.sin_port), 0, 0}});
    EXPECT_EQ(rig.program().comm_status(), LinkStatus::bind_error);
    ASSERT_EQ(rig.messages,
              std::vector<std::string>{
                  "Communications initialization failed\nbind() Error\nAddress already in use"});

    // The window works: rows tick, the picture responds, and closing the window exits.
    rig.ticks(1);
    EXPECT_EQ(rig.row(0)->rate_text(), "0.0000");
    const ConnId c = rig.link("local");
    rig.data(c, 2000);
    EXPECT_EQ(rig.program().scene().next_point, 2);
    rig.program().window()->close();
    EXPECT_EQ(rig.quits, std::vector<int>{0});
}

TEST(ReceiverProgram, WithoutASceneABurstOfLinksIsRefusedUnderOneBox) {
    ReceiverRig rig({.scene = ""});
    ASSERT_EQ(rig.messages.size(), 1u);
    EXPECT_TRUE(has(rig.messages[0], "Unable to open init file\n'/nonexistent/kelbos.init'\n"));
    rig.messages.clear();
    const Ports ports = LinkEnginePeer::bound_ports(ReceiverProgramPeer::engine(rig.program()));
    std::vector<std::string> journal;
    ReceiverProgramPeer::journal(rig.program()).write = [&](const auto& line) { journal.push_back(line); };

    // While the first refusal's box is open, five more links arrive and are refused.
    std::vector<Peer> others;
    int nested_refused = 0;
    rig.on_message = [&](const std::string&) {
        if (!others.empty()) return;
        for (int i = 0; i < 5; ++i) others.push_back(Peer::tcp(i % 2 ? ports.control : ports.stream));
        for (Peer& p : others)
            if (p.read(SETUP_REPLY_LEN) == REJECTED) ++nested_refused;
        EXPECT_TRUE(ReceiverProgramPeer::refusal_box_open(rig.program()));
    };
    SetUpPeer first = connect_link(ports.stream, TRANSPORT_TCP, 1000);
    EXPECT_EQ(first.reply, REJECTED);
    EXPECT_EQ(nested_refused, 5);
    EXPECT_EQ(rig.messages, std::vector<std::string>{
                                "Refusing incoming connection because\ninit file has not been read yet"});
    EXPECT_FALSE(ReceiverProgramPeer::refusal_box_open(rig.program()));
    for (int c = 1; c <= 10; ++c) EXPECT_EQ(rig.table()[c].row_state, RowState::free);

    // A later refusal shows its box again.
    SetUpPeer later = connect_link(ports.control, TRANSPORT_UDP, 1000);
    EXPECT_EQ(later.reply, REJECTED);
    EXPECT_EQ(rig.messages.size(), 2u);

    // Once a scene is read, links are accepted.
    ASSERT_TRUE(load_chosen_scene(rig.program().scene(), shipped_scene()));
    SetUpPeer accepted = connect_link(ports.stream, TRANSPORT_TCP, 1000);
    EXPECT_EQ(accepted.reply, (Bytes{1, 1, 1, 5}));
    EXPECT_EQ(rig.messages.size(), 2u);

    // The eleventh link is refused as full, counted so, with a journal line of its own:
    // the seven refusals without a scene had one line.
    std::vector<SetUpPeer> more;
    for (int i = 0; i < 9; ++i) more.push_back(connect_link(ports.stream, TRANSPORT_TCP, 1000));
    EXPECT_EQ(connect_link(ports.stream, TRANSPORT_TCP, 1000).reply, REJECTED);
    EXPECT_EQ(rig.ledger().refused(),
              (std::map<std::string, std::uint64_t>{
                  {"full", 1}, {"host limit", 0}, {"no scene", 7}, {"not allowed", 0}}));
    EXPECT_EQ(journal, (std::vector<std::string>{"refused a link from 127.0.0.1: no scene",
                                                 "refused a link from 127.0.0.1: full"}));
}

TEST(ReceiverProgram, LinksOverTcpAndUdpCountAndEnd) {
    ReceiverRig rig({.json = true});
    const Ports ports = LinkEnginePeer::bound_ports(ReceiverProgramPeer::engine(rig.program()));
    SetUpPeer tcp = connect_link(ports.stream, TRANSPORT_TCP, 1000, "#0000FF");
    ASSERT_EQ(tcp.reply, (Bytes{1, 1, 1, 5}));
    SetUpPeer udp = connect_link(ports.control, TRANSPORT_UDP, 0, "#00FF00");
    ASSERT_EQ(udp.reply, (Bytes{2, 1, 1, 5}));
    ASSERT_TRUE(pump_until([&] { return rig.row(2) != nullptr; }));
    EXPECT_EQ(rig.row(1)->protocol(), "TCP");
    EXPECT_EQ(rig.row(2)->protocol(), "UDP");
    EXPECT_EQ(rig.row(1)->name(), QString::fromStdString(rig.table()[1].peer_name));
    EXPECT_FALSE(rig.table()[1].peer_name.empty());
    EXPECT_EQ(rig.row(2)->kelbo_bits(), "0");

    // TCP data: counted for link 1 and drawn; datagrams with a kelbo size of 0:
    // counted, nothing drawn, no endless loop; for a ConnId never set up: dropped.
    ASSERT_TRUE(tcp.socket.send(Bytes(2500, 0)));
    Peer datagrams = Peer::udp(ports.datagram);
    Bytes for_link_2(1000, 0);
    for_link_2[0] = 2;
    Bytes for_nobody(300, 0);
    for_nobody[0] = 7;
    ASSERT_TRUE(datagrams.send(for_link_2));
    ASSERT_TRUE(datagrams.send(for_nobody));
    ASSERT_TRUE(
        pump_until([&] { return ReceiverProgramPeer::engine(rig.program()).foreign_datagrams() == 1; }));
    ASSERT_TRUE(pump_until([&] { return rig.table()[0].bytes_received == 3500; }));
    EXPECT_EQ(rig.table()[1].bytes_received, 2500u);
    EXPECT_EQ(rig.table()[1].pending_bytes, 500u);
    EXPECT_EQ(rig.table()[2].bytes_received, 1000u);
    EXPECT_EQ(rig.table()[7].bytes_received, 0u);
    EXPECT_EQ(rig.program().scene().next_point, 2);

    rig.ticks(1, 1000);
    // A TCP link's row tells its round trip in its tool tip; a UDP link's tells nothing.
    EXPECT_TRUE(rig.row(1)->toolTip().startsWith("Round trip ")) << rig.row(1)->toolTip().toStdString();
    EXPECT_EQ(rig.row(2)->toolTip(), "");
    // The TCP link ends normally: no box; the UDP link's connection drops: a box.
    ASSERT_TRUE(tcp.socket.send(Bytes{1, MSG_SHUTDOWN_REQUEST, REASON_NORMAL}));
    EXPECT_EQ(tcp.socket.read(SHUTDOWN_ACK_LEN), (Bytes{1, 3}));
    ASSERT_TRUE(pump_until([&] { return rig.table()[1].row_state == RowState::dirty; }));
    EXPECT_EQ(rig.row(1)->protocol(), "Stopped");
    EXPECT_TRUE(rig.messages.empty());
    udp.socket.close();
    ASSERT_TRUE(pump_until([&] { return rig.table()[2].row_state == RowState::dirty; }));
    ASSERT_EQ(rig.messages.size(), 1u);
    EXPECT_TRUE(has(rig.messages[0], "connection to " + rig.table()[2].peer_name +
                                         " failed\nZERO length message received (EOF!) on socket "));
    EXPECT_EQ(rig.row(2)->protocol(), "Stopped");
    rig.ticks(1, 1000);

    // JSON: every row per tick, in record order (TOTAL first); each end once.
    const std::vector<std::string> lines = rig.json_lines();
    ASSERT_EQ(lines.size(), 8u);
    const std::string peer1 = json_string(rig.table()[1].peer_name);
    const std::string peer2 = json_string(rig.table()[2].peer_name);
    EXPECT_TRUE(has(lines[0], "{\"event\":\"tick\",\"time_ms\":"));
    EXPECT_TRUE(has(lines[0],
                    ",\"row\":\"TOTAL\",\"conn_id\":0,\"protocol\":\"\",\"kelbo_bits\":0,"
                    "\"mbits_per_s\":0.028000,\"bytes\":3500}"));
    EXPECT_TRUE(has(lines[1], ",\"row\":" + peer1 +
                                  ",\"conn_id\":1,\"protocol\":\"TCP\",\"kelbo_bits\":8000,"
                                  "\"mbits_per_s\":0.020000,\"bytes\":2500}"));
    EXPECT_TRUE(has(lines[2], ",\"row\":" + peer2 +
                                  ",\"conn_id\":2,\"protocol\":\"UDP\",\"kelbo_bits\":0,"
                                  "\"mbits_per_s\":0.008000,\"bytes\":1000}"));
    EXPECT_TRUE(has(lines[3], "{\"event\":\"link_end\",\"time_ms\":"));
    EXPECT_TRUE(has(lines[3], ",\"conn_id\":1,\"row\":" + peer1 + ",\"reason\":1,\"bytes\":2500}"));
    EXPECT_TRUE(has(lines[4], ",\"conn_id\":2,\"row\":" + peer2 + ",\"reason\":2,\"bytes\":1000}"));
    EXPECT_TRUE(has(lines[5],
                    "\"row\":\"TOTAL\",\"conn_id\":0,\"protocol\":\"\",\"kelbo_bits\":0,"
                    "\"mbits_per_s\":0.000000,\"bytes\":3500}"));
    EXPECT_TRUE(has(lines[6],
                    "\"conn_id\":1,\"protocol\":\"Stopped\",\"kelbo_bits\":8000,"
                    "\"mbits_per_s\":0.020000,\"bytes\":2500}"));
    EXPECT_TRUE(has(lines[7], "\"conn_id\":2,\"protocol\":\"Stopped\""));

    // The sixteenth tick after the ends removes both rows, each with its line after
    // that tick's TOTAL line; until then the stopped rows tick on.
    rig.ticks(14);
    ASSERT_NE(rig.row(2), nullptr);
    rig.ticks(1);
    EXPECT_EQ(rig.row(1), nullptr);
    EXPECT_EQ(rig.row(2), nullptr);
    const std::vector<std::string> after = rig.json_lines();
    ASSERT_EQ(after.size(), 8u + 14u * 3u + 3u);
    EXPECT_TRUE(has(after[50], "\"row\":\"TOTAL\",\"conn_id\":0,"));
    EXPECT_TRUE(has(after[51], "{\"event\":\"row_removed\",\"time_ms\":"));
    EXPECT_TRUE(has(after[51], ",\"conn_id\":1,\"row\":" + peer1 + "}"));
    EXPECT_TRUE(has(after[52], ",\"conn_id\":2,\"row\":" + peer2 + "}"));
}

TEST(ReceiverProgram, OpenWithAMalformedPointLineCarriesOnWithoutAScene) {
    TempScene bad(
        "set kelbo\nrot 30, 150, 60\nsize 20, 20, 10\nspace 22, 22, 12\nset points\n300, 100, 0\n1, 2\n");
    ReceiverRig rig;
    ASSERT_TRUE(rig.program().scene().scene_loaded);
    const ConnId c = rig.link("a", TRANSPORT_TCP, 1000);
    rig.data(c, 3000);
    QString title;
    when_file_dialog_choose(bad.path(), &title);
    ::testing::internal::CaptureStdout();
    rig.program().do_command(CMD_OPEN);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Problem reading point #2\n");
    EXPECT_EQ(title, "Open kelbos file");
    EXPECT_EQ(rig.messages, std::vector<std::string>{"Problem reading point #2\n"});
    EXPECT_FALSE(rig.program().scene().scene_loaded);
    // The program goes on: the open link counts, a redraw of the whole picture shows
    // it black, new links are refused until a scene is read.
    rig.data(c, 1000);
    EXPECT_EQ(rig.table()[c].bytes_received, 4000u);
    rig.program().canvas()->invalidate_all();
    const QImage image = rig.program().canvas()->image().copy();
    for (int y = rig.header_height() + 3 * rig.row_height(); y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7) ASSERT_EQ(image.pixelColor(x, y), QColor(Qt::black));
    EXPECT_EQ(rig.program().alloc_conn_id(), CONN_NONE_FREE);
    EXPECT_EQ(rig.messages.size(), 2u);

    when_file_dialog_choose(shipped_scene());
    rig.program().do_command(CMD_OPEN);
    EXPECT_TRUE(rig.program().scene().scene_loaded);
    EXPECT_EQ(rig.messages.size(), 2u);
    EXPECT_NE(rig.program().canvas()->image(), image);
    EXPECT_EQ(rig.program().alloc_conn_id(), 2);
}
