// SPDX-License-Identifier: Apache-2.0
// "Communications Settings": controls, order, lists, validation with its messages,
// commit, Cancel, and the keyboard.
#include "transmitter/app/settings_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <algorithm>

#include "tx_fixture.h"

namespace kelbos {
namespace {

using Outcome = SettingsDialog::Outcome;

class DialogTest : public ::testing::Test {
protected:
    DialogTest() : settings(init_defaults()) {}

    std::unique_ptr<SettingsDialog> open() {
        auto d = std::make_unique<SettingsDialog>(settings);
        d->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(d.get()));
        d->activateWindow();
        return d;
    }
    static QString text(SettingsDialog& d, int id) {
        QWidget* w = d.control(id);
        if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
        if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
        if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
        if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
        return "?";
    }
    static void set_text(SettingsDialog& d, int id, const QString& t) {
        QWidget* w = d.control(id);
        if (auto* c = qobject_cast<QComboBox*>(w))
            c->setEditText(t);
        else
            qobject_cast<QLineEdit*>(w)->setText(t);
    }
    static void click(SettingsDialog& d, int id) { qobject_cast<QAbstractButton*>(d.control(id))->click(); }
    static bool checked(SettingsDialog& d, int id) {
        return qobject_cast<QRadioButton*>(d.control(id))->isChecked();
    }
    static int id_of(SettingsDialog& d, QWidget* w) {
        for (int id = 1; id < 200; ++id)
            if (d.control(id) && (d.control(id) == w || d.control(id)->isAncestorOf(w))) return id;
        return -1;
    }

    CommSettings settings;
    txtest::MessageLog messages;
};

TEST_F(DialogTest, ControlsTextsGroupsTabOrderAndLists) {
    auto d = open();
    EXPECT_EQ(d->windowTitle(), "Communications Settings");
    const std::pair<int, const char*> texts[] = {
        {113, "Send On"}, {108, "Ethernet"}, {111, "FDDI"}, {114, "Receive On"}, {103, "N/A"},
        {104, "Ethernet"}, {105, "FDDI"}, {106, "ATM"}, {101, "Transport "}, {125, "UDP"}, {127, "TCP"},
        {128, "DECnet"}, {129, "OSI"}, {124, "Receiver Name"}, {126, "Kelbo Size (bits)"}, {120, "(bytes)"},
        {110, "Delay"}, {115, "(ms)"}, {117, "Tx Msg Size"}, {118, "(bytes)"}, {121, "Socket Buffer Size"},
        {123, "(bytes)"}, {1, "Go"}, {2, "Cancel"}, {112, "Apply"}, {130, "Number datagrams"},
        {132, "Rate limit"},
    };
    for (const auto& [id, t] : texts) EXPECT_EQ(text(*d, id), t) << id;
    // The check box, off, takes room no other control of the dialog takes.
    QWidget* box = d->control(130);
    EXPECT_FALSE(qobject_cast<QCheckBox*>(box)->isChecked());
    for (QWidget* w : d->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(w == box || !w->geometry().intersects(box->geometry())) << id_of(*d, w);
    // Each radio group is framed by its box and exclusive within it.
    for (int id : {108, 111}) EXPECT_EQ(d->control(id)->parent(), d->control(113));
    for (int id : {103, 104, 105, 106}) EXPECT_EQ(d->control(id)->parent(), d->control(114));
    for (int id : {125, 127, 128, 129}) EXPECT_EQ(d->control(id)->parent(), d->control(101));
    // The defaults: Ethernet, N/A, UDP.
    for (int id : {108, 103, 125}) EXPECT_TRUE(checked(*d, id)) << id;
    EXPECT_TRUE(box->isEnabled());
    click(*d, 127);
    EXPECT_FALSE(box->isEnabled()) << "only UDP numbers its datagrams";
    EXPECT_FALSE(checked(*d, 125));
    EXPECT_TRUE(checked(*d, 108)) << "another group is not affected";
    EXPECT_TRUE(checked(*d, 103));

    // The receiver box has the focus first; Tab goes through the tab stops in order.
    EXPECT_EQ(id_of(*d, QApplication::focusWidget()), 107);
    std::vector<int> order;
    for (int i = 0; i < 8; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order.push_back(id_of(*d, QApplication::focusWidget()));
    }
    EXPECT_EQ(order, (std::vector<int>{109, 1, 2, 112, 102, 116, 122, 107}));
    for (int id : {1, 2, 112}) EXPECT_FALSE(qobject_cast<QPushButton*>(d->control(id))->isDefault());

    // The lists are sorted; a typed name is not added to them.
    auto items = [&](int id) {
        QStringList list;
        auto* c = qobject_cast<QComboBox*>(d->control(id));
        for (int i = 0; i < c->count(); ++i) list << c->itemText(i);
        return list;
    };
    EXPECT_EQ(items(109), QStringList({"100000", "1000000", "10000000", "20000000", "40000000", "80000000"}));
    EXPECT_EQ(text(*d, 109), "20000000");
    auto* names = qobject_cast<QComboBox*>(d->control(107));
    const QStringList name_items = items(107);
    QStringList sorted = name_items;
    sorted.sort();
    EXPECT_EQ(name_items.size(), 4);
    EXPECT_EQ(name_items, sorted);
    EXPECT_TRUE(name_items.contains("localhost"));
    EXPECT_EQ(text(*d, 107), "localhost");

    set_text(*d, 107, "typed.example");
    QTest::keyClick(names->lineEdit(), Qt::Key_Return);  // Enter in the box: Go
    EXPECT_EQ(d->outcome(), Outcome::go);
    EXPECT_EQ(settings.receiver_name, "typed.example");
    EXPECT_EQ(names->count(), 4);
    auto again = open();
    EXPECT_EQ(text(*again, 107), "typed.example");
    EXPECT_EQ(qobject_cast<QComboBox*>(again->control(107))->count(), 4);
}

TEST_F(DialogTest, EveryRefusalRestoresOnlyItsField) {
    struct Case {
        int id;
        QString bad;
        const char* message;
        QString restored;
    };
    const Case cases[] = {
        {107, "", "bad destination name", "localhost"},
        {109, "many", "kelbo size must be a number", "20000000"},
        {109, "7", "kelbo size must be at least 8 bits", "20000000"},
        {109, "-100000", "kelbo size must be a number", "20000000"},
        {102, "abc", "delay must be a number", "0"},
        {102, "0.5", "delay must be a number", "0"},
        {102, "2x", "delay must be a number", "0"},
        {131, "5x", "rate must be a number", "0"},
        {116, "4294967296", "message size must be a number", "32700"},
        {122, " ", "socket buffer size must be a number", "65535"},
    };
    for (const Case& c : cases) {
        messages.texts.clear();
        auto d = open();
        // Fields after the bad one hold text that would fail too, fields before it
        // hold good new values: only the first failure counts, nothing is committed.
        const int ids[] = {107, 109, 102, 131, 116, 122};
        const auto at = [&](int id) { return std::find(std::begin(ids), std::end(ids), id); };
        const auto filler = [&](int id) {
            return at(id) < at(c.id) ? (id == 107 ? "rx.example" : "1000") : "x";
        };
        for (int id : ids) set_text(*d, id, id == c.id ? c.bad : filler(id));
        click(*d, 125);
        click(*d, 129);
        click(*d, 1);
        EXPECT_EQ(messages.texts, std::vector<std::string>{c.message}) << c.id;
        for (int id : ids) EXPECT_EQ(text(*d, id), id == c.id ? c.restored : filler(id)) << c.message << id;
        EXPECT_TRUE(d->isVisible());
        EXPECT_TRUE(checked(*d, 129)) << "pending radio choices stay";
        EXPECT_EQ(d->outcome(), Outcome::cancelled);
        EXPECT_EQ(settings, init_defaults()) << c.message;
    }
}

// Apply and Go commit every field and choice. Field 119 shows the kelbo size in bytes
// as the dialog opens, and does not follow edits.
TEST_F(DialogTest, ApplyCommitsEverythingGoToo) {
    auto d = open();
    auto* bytes = qobject_cast<QLineEdit*>(d->control(119));
    EXPECT_EQ(bytes->text(), "2500000");
    EXPECT_FALSE(bytes->isEnabled());
    EXPECT_TRUE(bytes->isReadOnly());
    set_text(*d, 109, "100000");
    set_text(*d, 102, "soon");
    click(*d, 112);  // refused on the delay: still open, 119 unchanged
    EXPECT_EQ(messages.texts, std::vector<std::string>{"delay must be a number"});
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(bytes->text(), "2500000");
    messages.texts.clear();
    using Field = std::pair<int, const char*>;
    for (const auto& [id, t] :
         {Field{107, "rx.example"}, {109, "100000"}, {102, "50 "}, {131, "2.5G"}, {116, " 150000"}, {122, "0"}})
        set_text(*d, id, t);
    for (int id : {111, 106, 130, 129, 112}) click(*d, id);  // FDDI, ATM, numbered (UDP), OSI, Apply
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_EQ(d->outcome(), Outcome::applied);
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(bytes->text(), "2500000");
    CommSettings want = init_defaults();
    want.receiver_name = "rx.example";
    want.kelbo_size = 100000;
    want.delay_ms = 50;
    want.rate_bps = 2500000000;
    want.msg_size = 150000;
    want.sock_buf_size = 0;
    want.send_on = NETWORK_FDDI;
    want.receive_on = 'a';
    want.transport = TRANSPORT_OSI;
    want.udp_numbered = true;
    EXPECT_EQ(settings, want);

    // Reopened, the dialog shows the committed values.
    auto again = open();
    for (int id : {111, 106, 129}) EXPECT_TRUE(checked(*again, id)) << id;
    for (const auto& [id, t] : {Field{102, "50"}, {131, "2500M"}, {119, "12500"}})
        EXPECT_EQ(text(*again, id), t) << id;
    // Numbered UDP datagrams need 27 bytes: 26 is refused in the window, for TCP it goes.
    set_text(*again, 116, "26");
    for (int id : {125, 1}) click(*again, id);  // UDP, Go
    EXPECT_EQ(messages.texts,
              std::vector<std::string>{"message size must be at least 27 bytes to number datagrams"});
    EXPECT_EQ(text(*again, 116), "150000");
    EXPECT_EQ(settings, want);
    // The smallest kelbo size, 8 bits, is accepted; 7 is refused (see the refusals).
    set_text(*again, 109, "8");
    set_text(*again, 116, "26");
    for (int id : {127, 104, 1}) click(*again, id);  // TCP, Ethernet, Go
    EXPECT_EQ(again->outcome(), Outcome::go);
    EXPECT_EQ(messages.texts.size(), 1u);
    EXPECT_EQ(std::tuple(settings.kelbo_size, settings.receive_on, settings.msg_size),
              std::tuple(8u, 'e', 26u));
}

// Cancel, Escape, closing and Enter on the focused Cancel button change nothing; Enter
// in any field is Go.
TEST_F(DialogTest, CancelEscapeAndClosingChangeNothingEnterActsAsGo) {
    for (int way = 0; way < 4; ++way) {
        auto d = open();
        for (int id : {111, 105, 127}) click(*d, id);
        set_text(*d, 102, "99");
        set_text(*d, 107, "other");
        if (way == 0) click(*d, 2);
        if (way == 1) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        if (way == 2) d->close();
        if (way == 3) {
            d->control(2)->setFocus();
            QTest::keyClick(d->control(2), Qt::Key_Enter);
        }
        EXPECT_FALSE(d->isVisible()) << way;
        EXPECT_EQ(d->outcome(), Outcome::cancelled) << way;
        EXPECT_EQ(settings, init_defaults()) << way;
    }
    EXPECT_TRUE(messages.texts.empty());
    for (int id : {107, 109, 102, 116, 122}) {
        auto d = open();
        set_text(*d, 116, QString::number(1000 + id));
        QWidget* target = d->control(id);
        target->setFocus();
        if (auto* c = qobject_cast<QComboBox*>(target)) target = c->lineEdit();
        QTest::keyClick(target, Qt::Key_Return);
        EXPECT_EQ(d->outcome(), Outcome::go) << id;
        EXPECT_FALSE(d->isVisible()) << id;
        EXPECT_EQ(settings.msg_size, static_cast<std::uint32_t>(1000 + id));
    }
}

}  // namespace
}  // namespace kelbos
