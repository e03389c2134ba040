// SPDX-License-Identifier: Apache-2.0
// What the kernel knows of a TCP connection's path: its round-trip estimate, its
// retransmissions and its congestion window. Toolkit-free.
#pragma once

#include <cstdint>
#include <optional>

namespace kelbos {

struct TcpFigures {
    double rtt_ms = 0;              // the sender's smoothed round-trip time
    double rcv_rtt_ms = 0;          // the receiving side's own estimate (0 until it has one)
    std::uint32_t retransmits = 0;  // segments retransmitted over the connection's life,
                                    // less those the receiver reported as duplicates
    std::uint64_t cwnd_bytes = 0;   // congestion window, in bytes
    std::uint32_t since_data_ms = 0;  // since the last segment that carried data arrived
};

// TCP_INFO of a connected TCP socket; nothing when it cannot be read.
std::optional<TcpFigures> read_tcp_figures(int fd);

}  // namespace kelbos
