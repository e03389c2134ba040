// SPDX-License-Identifier: Apache-2.0
// "Communications Settings": edits the link settings. Go and Apply check every number
// field and commit; Go then starts a transmission (the caller does, once the dialog
// has closed). Cancel, Escape and closing the dialog change nothing.
#pragma once

#include <QDialog>
#include <map>

#include "transmitter/app/settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace kelbos {

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    enum class Outcome { cancelled, applied, go };

    SettingsDialog(CommSettings& settings, QWidget* parent = nullptr);

    Outcome outcome() const { return outcome_; }

    // A control by its id (for tests and accessibility tools); nullptr if none.
    QWidget* control(int id) const;

    // Control ids.
    static constexpr int GO_ID = 1, CANCEL_ID = 2, APPLY_ID = 112;
    static constexpr int RECEIVER_ID = 107, KELBO_SIZE_ID = 109, KELBO_BYTES_ID = 119, DELAY_ID = 102,
                         MSG_SIZE_ID = 116, SOCK_BUF_ID = 122, NUMBERED_ID = 130, RATE_ID = 131;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void build();
    void go();
    void apply();
    // Checks the fields in order; at the first failure shows its message, puts the
    // setting back into that field and returns false. Otherwise commits.
    bool validate_and_commit();

    CommSettings& settings_;
    int pending_send_on_;
    char pending_receive_on_;
    int pending_transport_;
    Outcome outcome_ = Outcome::cancelled;

    std::map<int, QWidget*> controls_;
    QComboBox* receiver_ = nullptr;
    QComboBox* kelbo_size_ = nullptr;
    QLineEdit* delay_ = nullptr;
    QLineEdit* rate_ = nullptr;
    QLineEdit* msg_size_ = nullptr;
    QLineEdit* sock_buf_ = nullptr;
    QCheckBox* numbered_ = nullptr;
};

}  // namespace kelbos
