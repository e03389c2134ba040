// SPDX-License-Identifier: Apache-2.0
// Admission of the receiver's links: a connection accepted on a listener is checked
// against the allow list and the links per host, given a ConnId (or refused), waits for
// its SetupRequest within the set-up time, and is answered and reported as a new link.
// A set-up link that brings no data for the idle time-out is ended here as well.
#pragma once

#include <QTimer>
#include <cstdint>

#include "receiver/engine/link_table.h"

namespace kelbos {

class LinkAdmission {
public:
    LinkAdmission(LinkTable& links, const EngineCallbacks& callbacks, const EngineOptions& options);
    LinkAdmission(const LinkAdmission&) = delete;
    LinkAdmission& operator=(const LinkAdmission&) = delete;

    // Starts the idle check, when the options ask for one.
    void start_idle_checks();
    // Accepts one connection waiting on a listener. False when the accept failed for
    // want of descriptors or memory: the listener should rest before it tries again.
    bool accept_link(int listener_fd);
    // Reads what has come of an admitted link's SetupRequest.
    void read_setup(ConnId conn_id);
    // A link that never got set up: socket closed, ConnId given back.
    void drop_admission(ConnId conn_id);
    // Connections admitted whose set-up has not finished.
    int links_setting_up() const;

private:
    // Whether the peer's host may have one more ConnId: it holds fewer than its share,
    // live or "Stopped", or its oldest "Stopped" row goes now to make room.
    bool take_share(const SocketAddress& peer);
    void report_refusal(const SocketAddress& peer, Refusal why);
    void complete_setup(ConnId conn_id);
    void expire_admissions();
    void arm_admission_timer();
    void end_idle_links();

    LinkTable& links_;
    const EngineCallbacks& callbacks_;
    const EngineOptions& options_;
    QTimer admission_timer_;
    QTimer idle_timer_;
};

}  // namespace kelbos
