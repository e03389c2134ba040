// SPDX-License-Identifier: Apache-2.0
// The transmitter program with its window: start-up, the menu in every state, the
// dialogs as the menu opens them, the boxes of Go, Halt and a link that ends, the
// picture as the window shows it, the row's tick while sending back to back with its
// JSON lines, and the ends of a --go run.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QColorDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>

#include "program_modal.h"
#include "scripted_receiver.h"
#include "shell/kelbo_canvas.h"
#include "shell/rate_views.h"
#include "shell/row_widget.h"
#include "transmitter/app/settings_dialog.h"
#include "tx_fixture.h"

namespace kelbos::txtest {
namespace {

using kelbos::testing::when_file_dialog_choose;
using kelbos::testing::when_modal;

const std::string THREE_KELBOS = scene_text("300, 100, 0, 1, 3, 1\n");

// The lines written to a temporary file.
class Lines {
public:
    Lines() : file_(std::tmpfile()) {}
    ~Lines() { std::fclose(file_); }
    std::FILE* file() const { return file_; }
    std::vector<std::string> read() const {
        std::vector<std::string> out;
        std::rewind(file_);
        char buf[4096];
        while (std::fgets(buf, sizeof buf, file_)) out.emplace_back(buf);
        return out;
    }

private:
    std::FILE* file_;
};

// A number field of a JSON line ("key":value), as text.
std::string field(const std::string& line, const std::string& key) {
    const std::string k = "\"" + key + "\":";
    const auto at = line.find(k);
    if (at == std::string::npos) return "?";
    const auto from = at + k.size();
    return line.substr(from, line.find_first_of(",}", from) - from);
}

TEST_F(ProgramTest, StartUpWindowMenuRowsOneKelboInTheDefaultColoursThenTheColourAndOpenDialogs) {
    Receiver rx;
    auto p = make_program(rx.ports(), files.write("one.klx", scene_text("300, 100, 0\n", "60, 60, 60")));
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_EQ(p->window().windowTitle(), "Kelbos Transmitter");
    EXPECT_TRUE(TransmitterProgramPeer::scene(*p).scene_loaded);
    EXPECT_LE(TransmitterProgramPeer::local_host(*p).size(), 39u);
    EXPECT_FALSE(TransmitterProgramPeer::local_host(*p).empty());

    // The menu: popups, labels with their mnemonics, separators, in order.
    QStringList seen;
    for (QAction* popup : p->window().menuBar()->actions()) {
        seen << popup->text();
        for (QAction* a : popup->menu()->actions()) seen << (a->isSeparator() ? "-" : a->text());
    }
    EXPECT_EQ(seen, QStringList({"&File", "&Open ...", "&Save settings", "&Exit", "&Control", "&Color ...",
                                 "&Settings...", "-", "&Go", "&Halt tx", "-", "&View", "&Bar Scale",
                                 "Rate &History..."}));
    EXPECT_EQ(menu_state(*p), MENU_AFTER_START);

    // The header row at the top, the value row right under it, empty until Go.
    const HeaderRow& header = p->window().header_row();
    const RowWidget& row = p->window().value_row();
    EXPECT_EQ(header.pos(), QPoint(0, 0));
    EXPECT_EQ(row.pos(), QPoint(0, header.height()));
    EXPECT_EQ((std::array{header.findChild<QLabel*>("label0")->text(),
                          header.findChild<QLabel*>("label203")->text(), row.name(), row.protocol()}),
              (std::array<QString, 4>{"Receiver", "Kelbos/Bit", "", ""}));
    EXPECT_GE(p->window().canvas().height(), 400);

    // The kelbo in the window, in the default colours.
    KelboCanvas& canvas = p->window().canvas();
    const QImage image = canvas.image();
    const Point2 o = kelbo_origin(TransmitterProgramPeer::scene(*p).points[0], canvas.client_bottom());
    const KelboFaces f = kelbo_faces(TransmitterProgramPeer::scene(*p).shape, o);
    const auto inside = [](const std::array<Point2, 4>& c) {
        return QPoint((c[0].x + c[1].x + c[2].x + c[3].x) / 4, (c[0].y + c[1].y + c[2].y + c[3].y) / 4);
    };
    EXPECT_EQ(image.pixel(inside(f.depth_side)), qRgb(64, 0, 0));
    EXPECT_EQ(image.pixel(inside(f.width_side)), qRgb(128, 0, 0));
    EXPECT_EQ(image.pixel(inside(f.top)), qRgb(153, 51, 51));
    EXPECT_EQ(image.pixel(o.x, o.y - 60), qRgb(0, 0, 0));
    // Resizing moves nothing.
    p->window().resize(p->window().width() + 100, p->window().height() + 50);
    EXPECT_EQ(row.pos(), QPoint(0, header.height()));
    EXPECT_FALSE(p->do_command(ID_SAVE_SETTINGS));
    EXPECT_FALSE(p->do_command(999));

    // The colour dialog keeps the custom colours, and Cancel keeps the colour.
    EXPECT_EQ(TransmitterProgramPeer::custom_colours(*p)[0], qRgb(0, 0, 0));
    QColor initial;
    when_modal<QColorDialog>([&initial](QColorDialog& d) {
        initial = d.currentColor();
        QColorDialog::setCustomColor(3, QColor(1, 2, 3));
        d.setCurrentColor(QColor(0, 0, 200));
        d.accept();
    });
    p->do_command(ID_COLOR);
    EXPECT_EQ(initial, QColor(128, 0, 0));
    EXPECT_EQ(TransmitterProgramPeer::brushes(*p).colour_text, "#0000C8");
    EXPECT_EQ(TransmitterProgramPeer::brushes(*p).light, QColor(51, 51, 211));
    EXPECT_EQ(TransmitterProgramPeer::custom_colours(*p)[3], qRgb(1, 2, 3));
    const KelboFaces resized =
        kelbo_faces(TransmitterProgramPeer::scene(*p).shape, kelbo_origin(TransmitterProgramPeer::scene(*p).points[0], canvas.client_bottom()));
    const QPoint width_side((resized.width_side[0].x + resized.width_side[2].x) / 2,
                            (resized.width_side[0].y + resized.width_side[2].y) / 2);
    EXPECT_EQ(canvas.image().pixel(width_side), qRgb(0, 0, 200));

    // Cancelled: the colour stays, the custom colours too.
    QColor second_custom;
    when_modal<QColorDialog>([&second_custom](QColorDialog& d) {
        second_custom = QColorDialog::customColor(3);
        d.setCurrentColor(QColor(0, 255, 0));
        d.reject();
    });
    p->do_command(ID_COLOR);
    EXPECT_EQ(second_custom, QColor(1, 2, 3));
    EXPECT_EQ(TransmitterProgramPeer::brushes(*p).colour_text, "#0000C8");
    EXPECT_EQ(canvas.image().pixel(width_side), qRgb(0, 0, 200));

    // The next link announces the colour.
    ASSERT_TRUE(go(*p));
    ASSERT_TRUE(halt(*p));
    EXPECT_EQ(rx.colour(), "#0000C8");

    // Open with a malformed point line leaves no scene.
    const std::string bad = files.write("bad.klx", scene_text("300, 100, 0, 1, 3, 1\n1, 2\n"));
    QString title;
    when_file_dialog_choose(bad, &title);
    ::testing::internal::CaptureStdout();
    p->do_command(ID_OPEN);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Problem reading point #4\n");
    EXPECT_EQ(title, "Open kelbos file");
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Problem reading point #4\n"});
    EXPECT_FALSE(TransmitterProgramPeer::scene(*p).scene_loaded);
    EXPECT_EQ(p->window().canvas().image().pixel(p->window().canvas().width() / 2,
                                                 p->window().canvas().height() - 50),
              qRgb(0, 0, 0));
    messages.texts.clear();
    p->do_command(ID_GO);
    EXPECT_EQ(
        messages.texts,
        std::vector<std::string>{"An init file must be read before starting\nUse Open on the File pulldown"});

    // A good file brings the picture back; a cancelled dialog changes nothing.
    when_file_dialog_choose(files.write("good.klx", THREE_KELBOS));
    p->do_command(ID_OPEN);
    EXPECT_TRUE(TransmitterProgramPeer::scene(*p).scene_loaded);
    when_modal<QFileDialog>([](QFileDialog& d) { d.reject(); });
    p->do_command(ID_OPEN);
    EXPECT_TRUE(TransmitterProgramPeer::scene(*p).scene_loaded);
}

TEST_F(ProgramTest, RefusedStartsShowTheirBoxAndChangeNoMenu) {
    Receiver rx;
    rx.set_refuse(true);
    auto p = make_program(rx.ports(), files.write("missing.klx.not", ""));  // an empty file: no scene
    ASSERT_FALSE(TransmitterProgramPeer::scene(*p).scene_loaded);
    messages.texts.clear();
    p->do_command(ID_GO);
    EXPECT_EQ(
        messages.texts,
        std::vector<std::string>{"An init file must be read before starting\nUse Open on the File pulldown"});
    EXPECT_EQ(menu_state(*p), MENU_AFTER_START);

    auto q = make_program(rx.ports(), files.write("three.klx", THREE_KELBOS));
    TransmitterProgramPeer::scene(*q).kelbo_countdown = 0;
    const auto attempt = [&](int transport) {
        messages.texts.clear();
        q->settings().transport = transport;
        EXPECT_FALSE(go(*q));
        EXPECT_EQ(menu_state(*q), MENU_AFTER_START);
        EXPECT_EQ(TransmitterProgramPeer::scene(*q).kelbo_countdown, 0) << "the picture is not re-armed";
        return messages.texts;
    };
    EXPECT_EQ(attempt(TRANSPORT_NONE), std::vector<std::string>{"Please select a transport"});
    const std::string unknown = "Unknown transport type requested\n";
    const std::string refused = "Connection rejected by receiver\n";
    for (const auto& [transport, name, why] : {std::tuple{TRANSPORT_DECNET, "DECnet", unknown},
                                               {TRANSPORT_OSI, "OSI", unknown},
                                               {TRANSPORT_UDP, "UDP", refused},
                                               {TRANSPORT_TCP, "TCP", refused}})
        EXPECT_EQ(attempt(transport), std::vector<std::string>{"Unable to start " + std::string(name) +
                                                               " connection to localhost\n" + why});
    EXPECT_EQ(rx.links(), 0u);

    // Ports where nothing listens: those of a receiver that has gone.
    const Ports closed = test::ScriptedReceiver().ports;
    auto r = make_program(closed, files.write("three.klx", THREE_KELBOS));
    messages.texts.clear();
    EXPECT_FALSE(go(*r));
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Unable to start UDP connection to localhost\n"
                                                       "connect() Error\nConnection refused"});
    EXPECT_EQ(menu_state(*r), MENU_AFTER_START);
}

TEST_F(ProgramTest, TheSettingsDialogThenMenuAndRowFollowGoHaltAndGoAgain) {
    Receiver rx;
    auto p = make_program(rx.ports(), files.write("three.klx", THREE_KELBOS));
    // Enter in the settings dialog commits and starts.
    when_modal<SettingsDialog>([](SettingsDialog& d) {
        qobject_cast<QAbstractButton*>(d.control(127))->click();  // TCP
        auto* size = d.control(SettingsDialog::MSG_SIZE_ID);
        size->setFocus();
        QTest::keyClick(size, Qt::Key_Return);
    });
    p->do_command(ID_SETTINGS);
    EXPECT_EQ(p->settings().transport, TRANSPORT_TCP);
    EXPECT_EQ(menu_state(*p), "0010000") << "Go, Settings, Open and Color grayed while the link opens";
    ASSERT_TRUE(wait_transmitting(*p, true)) << (messages.texts.empty() ? "" : messages.texts[0]);
    EXPECT_EQ(menu_state(*p), MENU_TRANSMITTING);
    EXPECT_EQ(p->window().value_row().protocol(), "TCP");
    ASSERT_TRUE(halt(*p));

    // Apply only commits.
    when_modal<SettingsDialog>([](SettingsDialog& d) {
        qobject_cast<QAbstractButton*>(d.control(125))->click();  // UDP
        qobject_cast<QAbstractButton*>(d.control(SettingsDialog::APPLY_ID))->click();
    });
    p->do_command(ID_SETTINGS);
    EXPECT_EQ(p->settings().transport, TRANSPORT_UDP);
    EXPECT_FALSE(TransmitterProgramPeer::loop(*p).transmitting());
    EXPECT_EQ(menu_state(*p), MENU_IDLE);
    ASSERT_TRUE(pump_until([&] { return rx.ends().size() == 1; }));
    const std::uint64_t earlier = rx.bytes();

    // Go and Halt from the menu.
    TransmitterProgramPeer::scene(*p).kelbo_countdown = 0;
    p->settings().transport = TRANSPORT_TCP;
    p->settings().delay_ms = 20;  // no kelbo goes before the picture is checked
    p->do_command(ID_GO);
    EXPECT_EQ(menu_state(*p), "0010000") << "Save settings grayed too while the link opens";
    ASSERT_TRUE(settled(TransmitterProgramPeer::loop(*p), true)) << (messages.texts.empty() ? "" : messages.texts[0]);
    EXPECT_EQ(menu_state(*p), MENU_TRANSMITTING);
    EXPECT_EQ(TransmitterProgramPeer::scene(*p).kelbo_countdown, 2) << "Go re-arms a picture down to one kelbo";
    const RowWidget& row = p->window().value_row();
    EXPECT_EQ((std::array{row.name(), row.protocol(), row.kelbo_bits(), row.rate_text()}),
              (std::array<QString, 4>{"localhost", "TCP", "20000000", "0.0000"}));
    EXPECT_TRUE(TransmitterProgramPeer::ticking(*p));
    ASSERT_TRUE(pump_until([&] { return rx.bytes() > earlier; }));
    // A tick on a TCP link: the path's figures in the row's tool tip.
    TransmitterProgramPeer::tick(*p);
    EXPECT_TRUE(row.toolTip().contains("\nRetransmits 0\nCongestion window ")) << row.toolTip().toStdString();

    ASSERT_TRUE(halt(*p));
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_EQ(menu_state(*p), MENU_IDLE);
    EXPECT_EQ(row.protocol(), "Stopped");
    EXPECT_FALSE(TransmitterProgramPeer::ticking(*p));
    ASSERT_TRUE(pump_until([&] { return rx.ends().size() == 2; }));
    EXPECT_EQ(rx.ends()[1].second, REASON_NORMAL);
    EXPECT_EQ(rx.bytes() - earlier, TransmitterProgramPeer::counters(*p).total_bytes) << "over TCP every byte sent arrives";

    // Go again: the counters start afresh, the row too.
    p->settings().transport = TRANSPORT_UDP;
    ASSERT_TRUE(go(*p));
    EXPECT_EQ(menu_state(*p), MENU_TRANSMITTING);
    EXPECT_EQ(row.protocol(), "UDP");
    EXPECT_LT(TransmitterProgramPeer::counters(*p).total_bytes, rx.bytes());
    TransmitterProgramPeer::tick(*p);
    EXPECT_EQ(row.toolTip(), "");
    // A line per transmission, named by its receiver and ConnId; one point for the
    // first, halted before its first tick.
    const auto& lines = TransmitterProgramPeer::views(*p).history().series();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines.at(1).points.size(), 1u);
    EXPECT_EQ(lines.at(1).name, "localhost #1");
    ASSERT_TRUE(halt(*p));
    EXPECT_EQ(menu_state(*p), MENU_IDLE);
}

TEST_F(ProgramTest, ReceiverClosedMidStream) {
    auto rx = std::make_unique<Receiver>();
    auto p = make_program(rx->ports(), files.write("three.klx", THREE_KELBOS));
    p->settings().transport = TRANSPORT_TCP;
    ASSERT_TRUE(go(*p));
    ASSERT_TRUE(pump_until([&] { return rx->bytes() > 100000; }));
    ::testing::internal::CaptureStdout();
    rx->stop();
    ASSERT_TRUE(wait_transmitting(*p, false));
    ::testing::internal::GetCapturedStdout();
    // The error text of the failure that ended the link; the receive that found the
    // connection closed fails with none, and the box then ends after the reason.
    const int number = TransmitterProgramPeer::loop(*p).link().last_error();
    const std::string error = number != 0 ? error_text(number) : "";
    EXPECT_EQ(messages.texts,
              std::vector<std::string>{"Connection to localhost terminated\nConnection aborted\n" + error});
    EXPECT_EQ(menu_state(*p), MENU_IDLE);
    EXPECT_EQ(p->window().value_row().protocol(), "Stopped");
    EXPECT_EQ(TransmitLoopPeer::scheduled(TransmitterProgramPeer::loop(*p)), TransmitLoop::Wake::none);
}

TEST_F(ProgramTest, MissingShutdownAckThenExitDuringATransmission) {
    test::ScriptedReceiver rx;
    TransmitterOptions options;
    options.link_wait = 200ms;
    auto p = make_program(rx.ports, files.write("three.klx", THREE_KELBOS), options);
    auto setup = test::play_setup(rx.control, {1, 1, 0, 0});
    ASSERT_TRUE(go(*p));
    test::SetupPeer peer = setup.get();
    ASSERT_TRUE(pump_until([&] { return TransmitterProgramPeer::counters(*p).total_bytes > 0; }));
    ASSERT_TRUE(halt(*p));  // the receiver reads the request and never answers
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Error terminating UDP connection to localhost\n"
                                                       "Timeout waiting for Shutdown ACK\n"});
    EXPECT_EQ(menu_state(*p), MENU_IDLE);
    EXPECT_EQ(test::read_bytes(peer.connection.fd(), 3), (test::Bytes{1, 2, 1}));

    // Exit while transmitting: no ShutdownRequest, no box.
    messages.texts.clear();
    setup = test::play_setup(rx.control, {1, 1, 0, 0});
    ASSERT_TRUE(go(*p));
    peer = setup.get();
    ASSERT_TRUE(pump_until([&] { return TransmitterProgramPeer::counters(*p).total_bytes > 0; }));
    p->do_command(ID_EXIT);
    EXPECT_EQ(quit_statuses, std::vector<int>{0});
    EXPECT_FALSE(TransmitterProgramPeer::loop(*p).transmitting());
    const std::uint64_t total = TransmitterProgramPeer::counters(*p).total_bytes;
    test::pump_posted();
    EXPECT_EQ(TransmitterProgramPeer::counters(*p).total_bytes, total);
    p.reset();
    test::Bytes after_setup;
    EXPECT_TRUE(test::read_to_end(peer.connection.fd(), after_setup));
    EXPECT_TRUE(after_setup.empty()) << "no ShutdownRequest";
    EXPECT_TRUE(messages.texts.empty());
}

TEST_F(ProgramTest, RowTicksWhileSendingBackToBackAndWritesJson) {
    Receiver rx;
    Lines json;
    TransmitterOptions options;
    options.row_period = 40ms;
    options.json = true;
    options.json_out = json.file();
    auto p = make_program(rx.ports(), files.write("three.klx", THREE_KELBOS), options);
    ASSERT_TRUE(go(*p));
    ASSERT_TRUE(pump_until([&] { return json.read().size() >= 3; }));
    EXPECT_TRUE(TransmitterProgramPeer::loop(*p).transmitting());
    EXPECT_NE(p->window().value_row().rate_text(), "0.0000");
    ASSERT_TRUE(halt(*p));

    const auto lines = json.read();
    ASSERT_GE(lines.size(), 4u);
    std::uint64_t last_bytes = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& l = lines[i];
        EXPECT_EQ(l.rfind("{\"event\":\"tick\",\"time_ms\":", 0), 0u) << l;
        EXPECT_NE(l.find("\"row\":\"localhost\",\"conn_id\":" + std::to_string(TransmitterProgramPeer::loop(*p).link().conn_id()) +
                         ",\"protocol\":\"UDP\",\"kelbo_bits\":20000000,"),
                  std::string::npos)
            << l;
        const std::uint64_t bytes = std::stoull(field(l, "bytes"));
        EXPECT_GE(bytes, last_bytes);
        last_bytes = bytes;
    }
    const std::string& end = lines.back();
    EXPECT_EQ(end.rfind("{\"event\":\"end\",", 0), 0u) << end;
    EXPECT_EQ(field(end, "how"), "\"halted\"");
    EXPECT_EQ(field(end, "bytes"), std::to_string(TransmitterProgramPeer::counters(*p).total_bytes));
    EXPECT_GT(std::stod(field(end, "mbits_per_s")), 0.0);
}

TEST_F(ProgramTest, GoRunEndsTheHeadlessProgramWithItsStatus) {
    TransmitterOptions options;
    options.go = true;
    options.headless = true;
    options.time_seconds = 0.2;
    Lines json;
    options.json = true;
    options.json_out = json.file();
    {
        // Halted by --time without error: 0.
        Receiver rx;
        auto p = make_program(rx.ports(), files.write("three.klx", THREE_KELBOS), options);
        ASSERT_TRUE(pump_until([&] { return !quit_statuses.empty(); }));
        EXPECT_EQ(quit_statuses, std::vector<int>{0});
        EXPECT_EQ(field(json.read().back(), "how"), "\"halted\"");
        EXPECT_FALSE(TransmitterProgramPeer::loop(*p).transmitting());
        ASSERT_TRUE(pump_until([&] { return rx.ends().size() == 1; }));
    }
    {
        // Refused at the start: 1 at once.
        quit_statuses.clear();
        Receiver rx;
        rx.set_refuse(true);
        auto p = make_program(rx.ports(), files.write("three.klx", THREE_KELBOS), options);
        ASSERT_TRUE(pump_until([&] { return !quit_statuses.empty(); }));
        EXPECT_EQ(quit_statuses, std::vector<int>{1});
        EXPECT_EQ(messages.texts.back(),
                  "Unable to start UDP connection to localhost\nConnection rejected by receiver\n");
    }
    {
        // Ended by the receiver: 1.
        quit_statuses.clear();
        options.time_seconds.reset();
        auto rx = std::make_unique<Receiver>();
        auto p = make_program(rx->ports(), files.write("three.klx", THREE_KELBOS), options);
        ASSERT_TRUE(pump_until([&] { return rx->bytes() > 0; }));
        rx->stop();
        ::testing::internal::CaptureStdout();
        ASSERT_TRUE(pump_until([&] { return !quit_statuses.empty(); }));
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(quit_statuses, std::vector<int>{1});
        EXPECT_EQ(field(json.read().back(), "how"), "\"aborted\"");
    }
    {
        // With a window the program stays; its status still tells how the run went.
        quit_statuses.clear();
        options.headless = false;
        Receiver rx;
        rx.set_refuse(true);
        auto p = make_program(rx.ports(), files.write("three.klx", THREE_KELBOS), options);
        ASSERT_TRUE(pump_until([&] { return p->exit_status() == 1; }));
        EXPECT_TRUE(quit_statuses.empty());
        p->do_command(ID_EXIT);
        EXPECT_EQ(quit_statuses, std::vector<int>{1});
    }
}

}  // namespace
}  // namespace kelbos::txtest
