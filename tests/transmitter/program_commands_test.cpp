// SPDX-License-Identifier: Apache-2.0
// The transmitter's dialogs as the menu opens them, the row's tick while sending
// back to back with its JSON lines, and the ends of a --go run.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QColorDialog>
#include <QFileDialog>
#include <QTimer>

#include "kelbo_canvas.h"
#include "scripted_receiver.h"
#include "settings_dialog.h"
#include "status_row.h"
#include "tx_fixture.h"

namespace kelbos::txtest {
namespace {

const std::string THREE_KELBOS = scene_text("300, 100, 0, 1, 3, 1\n");

// Runs `act` on the modal dialog of type D once it is up.
template <typename D, typename F>
void when_modal(F act) {
    QTimer::singleShot(0, [act] {
        auto* d = qobject_cast<D*>(QApplication::activeModalWidget());
        ASSERT_TRUE(d);
        act(*d);
    });
}

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

TEST_F(ProgramTest, EnterInTheSettingsDialogCommitsAndStarts) {
    Receiver rx;
    auto p = make_program(rx.ports(), files.write("three.klx", THREE_KELBOS));
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
    EXPECT_FALSE(p->loop().transmitting());
    EXPECT_EQ(menu_state(*p), MENU_IDLE);
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
    EXPECT_TRUE(p->loop().transmitting());
    EXPECT_NE(p->window().value_row().rate_text(), "0.0000");
    ASSERT_TRUE(halt(*p));

    const auto lines = json.read();
    ASSERT_GE(lines.size(), 4u);
    std::uint64_t last_bytes = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& l = lines[i];
        EXPECT_EQ(l.rfind("{\"event\":\"tick\",\"time_ms\":", 0), 0u) << l;
        EXPECT_NE(l.find("\"row\":\"localhost\",\"conn_id\":" + std::to_string(p->loop().link().conn_id()) +
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
    EXPECT_EQ(field(end, "bytes"), std::to_string(p->counters().total_bytes));
    EXPECT_GT(std::stod(field(end, "mbits_per_s")), 0.0);
}

TEST_F(ProgramTest, ColourAndOpenDialogs) {
    // The colour dialog keeps the custom colours, and Cancel keeps the colour.
    Receiver rx;
    auto p = make_program(rx.ports(), files.write("one.klx", scene_text("300, 100, 0\n", "60, 60, 60")));
    EXPECT_EQ(p->custom_colours()[0], qRgb(0, 0, 0));
    QColor initial;
    when_modal<QColorDialog>([&initial](QColorDialog& d) {
        initial = d.currentColor();
        QColorDialog::setCustomColor(3, QColor(1, 2, 3));
        d.setCurrentColor(QColor(0, 0, 200));
        d.accept();
    });
    p->do_command(ID_COLOR);
    EXPECT_EQ(initial, QColor(128, 0, 0));
    EXPECT_EQ(p->brushes().colour_text, "#0000C8");
    EXPECT_EQ(p->brushes().light, QColor(51, 51, 211));
    EXPECT_EQ(p->custom_colours()[3], qRgb(1, 2, 3));
    KelboCanvas& canvas = p->window().canvas();
    const KelboFaces f =
        kelbo_faces(p->scene().shape, kelbo_origin(p->scene().points[0], canvas.client_bottom()));
    const QPoint width_side((f.width_side[0].x + f.width_side[2].x) / 2,
                            (f.width_side[0].y + f.width_side[2].y) / 2);
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
    EXPECT_EQ(p->brushes().colour_text, "#0000C8");
    EXPECT_EQ(canvas.image().pixel(width_side), qRgb(0, 0, 200));

    // The next link announces the colour.
    ASSERT_TRUE(go(*p));
    ASSERT_TRUE(halt(*p));
    EXPECT_EQ(rx.colour(), "#0000C8");

    // Open with a malformed point line leaves no scene.
    const std::string bad = files.write("bad.klx", scene_text("300, 100, 0, 1, 3, 1\n1, 2\n"));
    when_modal<QFileDialog>([bad](QFileDialog& d) {
        EXPECT_EQ(d.windowTitle(), "Open kelbos file");
        d.selectFile(QString::fromStdString(bad));
        static_cast<QDialog&>(d).accept();
    });
    ::testing::internal::CaptureStdout();
    p->do_command(ID_OPEN);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Problem reading point #4\n");
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Problem reading point #4\n"});
    EXPECT_FALSE(p->scene().scene_loaded);
    EXPECT_EQ(p->window().canvas().image().pixel(p->window().canvas().width() / 2,
                                                 p->window().canvas().height() - 50),
              qRgb(0, 0, 0));
    messages.texts.clear();
    p->do_command(ID_GO);
    EXPECT_EQ(
        messages.texts,
        std::vector<std::string>{"An init file must be read before starting\nUse Open on the File pulldown"});

    // A good file brings the picture back; a cancelled dialog changes nothing.
    const std::string good = files.write("good.klx", THREE_KELBOS);
    when_modal<QFileDialog>([good](QFileDialog& d) {
        d.selectFile(QString::fromStdString(good));
        static_cast<QDialog&>(d).accept();
    });
    p->do_command(ID_OPEN);
    EXPECT_TRUE(p->scene().scene_loaded);
    when_modal<QFileDialog>([](QFileDialog& d) { d.reject(); });
    p->do_command(ID_OPEN);
    EXPECT_TRUE(p->scene().scene_loaded);
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
        EXPECT_FALSE(p->loop().transmitting());
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
