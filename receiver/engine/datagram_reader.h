// SPDX-License-Identifier: Apache-2.0
// The batch reader of the receiver's datagram socket, shared by all UDP links. It takes
// datagrams in batches, copies out only each one's first bytes, counts each for the
// link its first byte names when it comes from that link's host, and passes on the
// numbers of numbered ones. An emptied socket with a large buffer rests for a moment
// before it is watched again, so a fast link is read in batches, not datagram by
// datagram.
#pragma once

#include <QTimer>
#include <cstdint>

#include "receiver/engine/link_table.h"
#include "receiver/engine/receive_buffer_pool.h"

namespace kelbos {

class DatagramReader {
public:
    DatagramReader(LinkTable& links, const EngineCallbacks& callbacks, ReceiveBufferPool& buffers,
                   Endpoint& socket);
    DatagramReader(const DatagramReader&) = delete;
    DatagramReader& operator=(const DatagramReader&) = delete;

    // Reads datagrams while they come, for one slice or, until_empty, until none waits
    // (within a bound).
    void read(bool until_empty = false);

    // The socket's receive buffer as the system reported it once set; -1 before.
    int receive_buffer() const { return receive_buffer_; }
    void set_receive_buffer(int bytes) { receive_buffer_ = bytes; }
    // Datagrams dropped because they did not come from the host of the link their
    // first byte names (or named no link).
    std::uint64_t foreign() const { return foreign_; }

private:
    void rest();
    void end_rest();
    // The link a datagram from `source` counts for, or CONN_NONE.
    ConnId link_of(std::uint8_t first_byte, const SocketAddress& source);

    LinkTable& links_;
    const EngineCallbacks& callbacks_;
    ReceiveBufferPool& buffers_;
    Endpoint& socket_;
    QTimer rest_timer_;
    bool resting_ = false;
    int receive_buffer_ = -1;
    std::uint64_t foreign_ = 0;
};

}  // namespace kelbos
