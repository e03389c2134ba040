// SPDX-License-Identifier: Apache-2.0
// The chunk reader of the receiver's stream (TCP) links. Each readiness report of a
// set-up link reads its data in chunks, a chunk being what one read of a receive buffer
// would take, and reports each chunk's length to more_data. A chunk whose last bytes
// are a ShutdownRequest naming the link ends it. A link whose sender runs well ahead of
// the reads is woken only once a whole chunk waits, and a sweep takes it back to being
// woken for every byte once it slows down.
#pragma once

#include <QTimer>
#include <cstdint>
#include <optional>
#include <string>

#include "receiver/engine/link_table.h"
#include "receiver/engine/receive_buffer_pool.h"

namespace kelbos {

class StreamReader {
public:
    StreamReader(LinkTable& links, const EngineCallbacks& callbacks, ReceiveBufferPool& buffers);
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Reads what a set-up link has brought. A failed read or the peer's close ends the
    // link here; a ShutdownRequest naming the link is left to the caller, which gets
    // its reason.
    std::optional<std::uint8_t> read(ConnId conn_id);

private:
    // The chunks of one report; a failed read or the peer's close sets `failure` to
    // the text the link ends with.
    std::optional<std::uint8_t> read_chunks(ConnId conn_id, std::string& failure);
    void wait_for_whole_chunks(ConnId conn_id);
    void sweep_links();

    LinkTable& links_;
    const EngineCallbacks& callbacks_;
    ReceiveBufferPool& buffers_;
    QTimer sweep_timer_;
};

}  // namespace kelbos
