// SPDX-License-Identifier: Apache-2.0
// The tests' door to a transmitter link: whether it is open, its control connection,
// and which way its data went.
#pragma once

#include "transmitter/link/link.h"
#include "transmitter/link/message_path.h"

namespace kelbos {

struct MessageSenderPeer {
    // The last stream send went by the memory file; the file path was refused.
    static bool sent_copy_free(const MessageSender& s) { return s.sent_copy_free_; }
    static bool refused(const MessageSender& s) { return s.refused_; }
};

struct TransmitterLinkPeer {
    static bool is_open(const TransmitterLink& l) { return l.open_; }
    // The TCP control (UDP links) or stream (TCP links) connection; -1 when closed.
    static int control_fd(const TransmitterLink& l) { return l.open_ ? l.control_.fd() : -1; }
    static bool sent_copy_free(const TransmitterLink& l) {
        return MessageSenderPeer::sent_copy_free(l.sender_);
    }
    static bool copy_free_refused(const TransmitterLink& l) { return MessageSenderPeer::refused(l.sender_); }
};

}  // namespace kelbos
