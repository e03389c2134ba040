// SPDX-License-Identifier: Apache-2.0
#include "transmitter/app/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <vector>

#include "core/format_scan.h"
#include "core/offered_load.h"
#include "core/show_message.h"
#include "shell/dialog_units.h"

namespace kelbos {

namespace {

QString number_text(std::uint32_t value) {
    return QString::number(value);
}

// A combo box's entries sorted as text, as the box keeps them.
QStringList sorted_texts(std::vector<QString> texts) {
    std::sort(texts.begin(), texts.end());
    return QStringList(texts.begin(), texts.end());
}

}  // namespace

SettingsDialog::SettingsDialog(CommSettings& settings, QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      pending_send_on_(settings.send_on),
      pending_receive_on_(settings.receive_on),
      pending_transport_(settings.transport) {
    setWindowTitle("Communications Settings");
    build();
}

QWidget* SettingsDialog::control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void SettingsDialog::build() {
    const DialogUnits u(fontMetrics());
    setFixedSize(u.rect(0, 0, 260, 193).size());

    auto add = [this](int id, QWidget* w) {
        w->setObjectName(QString("control%1").arg(id));
        controls_[id] = w;
        return w;
    };
    auto group_box = [&](int id, const char* text, QRect r) {
        auto* g = new QGroupBox(text, this);
        g->setGeometry(r);
        add(id, g);
        return g;
    };
    // A radio button inside its group box; reached by clicking, not by Tab.
    auto radio = [&](QGroupBox* box, int id, const char* text, QRect r, bool checked, auto on_choose) {
        auto* b = new QRadioButton(text, box);
        b->setGeometry(r.translated(-box->x(), -box->y()));
        b->setFocusPolicy(Qt::ClickFocus);
        b->setChecked(checked);
        connect(b, &QRadioButton::toggled, this, [on_choose](bool on) {
            if (on) on_choose();
        });
        add(id, b);
    };
    auto label = [&](int id, const char* text, QRect r) {
        auto* l = new QLabel(text, this);
        l->setGeometry(r);
        add(id, l);
    };
    auto combo = [&](int id, QRect r, const QStringList& items, const QString& text) {
        auto* c = new QComboBox(this);
        c->setEditable(true);
        c->setInsertPolicy(QComboBox::NoInsert);  // a typed name is used, not added
        // The list only offers choices: what is typed stays as typed, never completed
        // to a longer entry that would then be committed.
        c->setCompleter(nullptr);
        c->addItems(items);
        c->setEditText(text);
        c->setGeometry(r.x(), r.y(), r.width(), c->sizeHint().height());
        c->setFocusPolicy(Qt::StrongFocus);
        // Enter inside the box acts as Go, whichever of the two sees the key.
        c->installEventFilter(this);
        c->lineEdit()->installEventFilter(this);
        add(id, c);
        return c;
    };
    auto edit = [&](int id, QRect r, std::uint32_t value) {
        auto* e = new QLineEdit(number_text(value), this);
        e->setGeometry(r);
        e->installEventFilter(this);
        add(id, e);
        return e;
    };
    auto button = [&](int id, const char* text, QRect r) {
        auto* b = new QPushButton(text, this);
        b->setGeometry(r);
        b->setAutoDefault(false);
        b->setDefault(false);
        add(id, b);
        return b;
    };

    // In the order of the layout, which is also the tab order.
    QGroupBox* send_on = group_box(113, "Send On", u.rect(3, 19, 48, 40));
    radio(send_on, 108, "Ethernet", u.rect(6, 29, 42, 10), settings_.send_on != NETWORK_FDDI,
          [this] { pending_send_on_ = NETWORK_ETHERNET; });
    radio(send_on, 111, "FDDI", u.rect(6, 39, 32, 10), settings_.send_on == NETWORK_FDDI,
          [this] { pending_send_on_ = NETWORK_FDDI; });

    QGroupBox* receive_on = group_box(114, "Receive On", u.rect(3, 78, 48, 63));
    const char r = settings_.receive_on;
    radio(receive_on, 103, "N/A", u.rect(6, 122, 32, 10), r == 0, [this] { pending_receive_on_ = 0; });
    radio(receive_on, 104, "Ethernet", u.rect(6, 90, 39, 10), r == 'e',
          [this] { pending_receive_on_ = 'e'; });
    radio(receive_on, 105, "FDDI", u.rect(6, 101, 39, 10), r == 'f', [this] { pending_receive_on_ = 'f'; });
    radio(receive_on, 106, "ATM", u.rect(6, 111, 39, 10), r == 'a', [this] { pending_receive_on_ = 'a'; });

    std::vector<QString> names;
    for (const char* name : receiver_list) names.emplace_back(name);
    receiver_ = combo(RECEIVER_ID, u.rect(160, 30, 71, 12), sorted_texts(names),
                      QString::fromStdString(settings_.receiver_name));
    std::vector<QString> sizes;
    for (std::uint32_t size : kelbo_size_list) sizes.push_back(QString::number(static_cast<int>(size)));
    kelbo_size_ =
        combo(KELBO_SIZE_ID, u.rect(160, 71, 71, 12), sorted_texts(sizes), number_text(settings_.kelbo_size));

    QPushButton* go_button = button(GO_ID, "Go", u.rect(54, 173, 40, 14));
    QPushButton* cancel_button = button(CANCEL_ID, "Cancel", u.rect(110, 173, 40, 14));
    QPushButton* apply_button = button(APPLY_ID, "Apply", u.rect(166, 173, 40, 14));
    connect(go_button, &QPushButton::clicked, this, &SettingsDialog::go);
    connect(cancel_button, &QPushButton::clicked, this, &SettingsDialog::reject);
    connect(apply_button, &QPushButton::clicked, this, &SettingsDialog::apply);

    delay_ = edit(DELAY_ID, u.rect(85, 130, 32, 12), settings_.delay_ms);
    label(110, "Delay", u.rect(61, 132, 22, 8));
    label(115, "(ms)", u.rect(120, 132, 20, 8));
    // Beside the delay, which it governs when set: bits per second, with k, M or G. Like
    // the check box it is reached by clicking, so the tab stops stay as they are.
    rate_ = new QLineEdit(QString::fromStdString(rate_field_text(settings_.rate_bps)), this);
    rate_->setFocusPolicy(Qt::ClickFocus);
    rate_->setGeometry(u.rect(234, 150, 24, 12));
    rate_->setToolTip(
        "Target rate in bits per second, with k, M or G (500M); empty or 0: none. "
        "When set, the delay is not used.");
    rate_->installEventFilter(this);
    add(RATE_ID, rate_);
    label(132, "Rate limit", u.rect(202, 152, 32, 8));
    msg_size_ = edit(MSG_SIZE_ID, u.rect(187, 130, 41, 12), settings_.msg_size);
    label(117, "Tx Msg Size", u.rect(143, 132, 42, 8));
    label(118, "(bytes)", u.rect(232, 132, 26, 8));

    // The kelbo size in bytes as it was when the dialog opened.
    auto* kelbo_bytes = new QLineEdit(number_text(settings_.kelbo_size / 8), this);
    kelbo_bytes->setGeometry(u.rect(160, 108, 57, 12));
    kelbo_bytes->setReadOnly(true);
    kelbo_bytes->setEnabled(false);
    add(KELBO_BYTES_ID, kelbo_bytes);
    label(120, "(bytes)", u.rect(221, 110, 26, 8));
    label(121, "Socket Buffer Size", u.rect(61, 152, 64, 8));
    sock_buf_ = edit(SOCK_BUF_ID, u.rect(129, 150, 41, 12), settings_.sock_buf_size);
    label(123, "(bytes)", u.rect(174, 152, 26, 8));
    label(124, "Receiver Name", u.rect(160, 15, 60, 8));
    label(126, "Kelbo Size (bits)", u.rect(160, 55, 54, 8));

    QGroupBox* transport = group_box(101, "Transport ", u.rect(71, 19, 48, 56));
    const int t = settings_.transport;
    // Only UDP numbers its datagrams: the check box is grayed for the others.
    const auto choose = [this](int chosen) {
        return [this, chosen] {
            pending_transport_ = chosen;
            if (numbered_) numbered_->setEnabled(chosen == TRANSPORT_UDP);
        };
    };
    radio(transport, 125, "UDP", u.rect(75, 29, 39, 10), t == TRANSPORT_UDP, choose(TRANSPORT_UDP));
    radio(transport, 127, "TCP", u.rect(75, 39, 39, 10), t == TRANSPORT_TCP, choose(TRANSPORT_TCP));
    radio(transport, 128, "DECnet", u.rect(75, 49, 39, 10), t == TRANSPORT_DECNET, choose(TRANSPORT_DECNET));
    radio(transport, 129, "OSI", u.rect(75, 59, 39, 10), t == TRANSPORT_OSI, choose(TRANSPORT_OSI));

    // Under the transport box, in room the layout leaves free: numbered datagrams, for
    // UDP links. Like the radio buttons it is reached by clicking, so the tab stops stay
    // as they are.
    numbered_ = new QCheckBox("Number datagrams", this);
    numbered_->setFocusPolicy(Qt::ClickFocus);
    numbered_->setGeometry(u.rect(71, 80, 80, 10));
    numbered_->setChecked(settings_.udp_numbered);
    numbered_->setEnabled(pending_transport_ == TRANSPORT_UDP);
    numbered_->setToolTip(
        "UDP links: the receiver reports lost, reordered and duplicated datagrams and the jitter");
    add(NUMBERED_ID, numbered_);

    // Tab stops: the two boxes, the buttons, then the three number fields.
    QWidget* order[] = {receiver_,    kelbo_size_, go_button, cancel_button,
                        apply_button, delay_,      msg_size_, sock_buf_};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
    // The receiver name has the focus with its text selected, so typing replaces it.
    receiver_->setFocus();
    receiver_->lineEdit()->selectAll();
}

void SettingsDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter presses the focused button, and anywhere else acts as Go.
        if (auto* b = qobject_cast<QPushButton*>(focusWidget()))
            b->click();
        else
            go();
        return;
    }
    QDialog::keyPressEvent(event);  // Escape: Cancel
}

bool SettingsDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            go();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void SettingsDialog::go() {
    if (!validate_and_commit()) return;
    outcome_ = Outcome::go;
    accept();
}

void SettingsDialog::apply() {
    if (!validate_and_commit()) return;
    outcome_ = Outcome::applied;
    accept();
}

bool SettingsDialog::validate_and_commit() {
    const std::string name = cut_receiver_name(receiver_->currentText().toStdString());
    if (name.empty()) {
        show_message({MSG_BAD_RECEIVER});
        receiver_->setEditText(QString::fromStdString(settings_.receiver_name));
        return false;
    }
    const auto kelbo_size = read_whole_number(kelbo_size_->currentText().toStdString());
    if (!kelbo_size || *kelbo_size < MIN_KELBO_SIZE) {
        show_message({kelbo_size ? MSG_SMALL_KELBO_SIZE : MSG_BAD_KELBO_SIZE});
        kelbo_size_->setEditText(number_text(settings_.kelbo_size));
        return false;
    }
    const auto delay = read_whole_number(delay_->text().toStdString());
    if (!delay) {
        show_message({MSG_BAD_DELAY});
        delay_->setText(number_text(settings_.delay_ms));
        return false;
    }
    const auto rate = parse_rate(rate_->text().toStdString());
    if (!rate) {
        show_message({MSG_BAD_RATE});
        rate_->setText(QString::fromStdString(rate_field_text(settings_.rate_bps)));
        return false;
    }
    const auto msg_size = read_whole_number(msg_size_->text().toStdString());
    if (!msg_size) {
        show_message({MSG_BAD_MSG_SIZE});
        msg_size_->setText(number_text(settings_.msg_size));
        return false;
    }
    const auto sock_buf = read_whole_number(sock_buf_->text().toStdString());
    if (!sock_buf) {
        show_message({MSG_BAD_SOCK_BUF});
        sock_buf_->setText(number_text(settings_.sock_buf_size));
        return false;
    }
    if (!numbers_fit(pending_transport_, numbered_->isChecked(), *msg_size)) {
        show_message({MSG_SMALL_NUMBERED});
        msg_size_->setText(number_text(settings_.msg_size));
        return false;
    }
    settings_.receiver_name = name;
    settings_.udp_numbered = numbered_->isChecked();
    settings_.kelbo_size = *kelbo_size;
    settings_.delay_ms = *delay;
    settings_.rate_bps = *rate;
    settings_.msg_size = *msg_size;
    settings_.sock_buf_size = *sock_buf;
    settings_.send_on = pending_send_on_;
    settings_.receive_on = pending_receive_on_;
    settings_.transport = pending_transport_;
    return true;
}

}  // namespace kelbos
