// SPDX-License-Identifier: Apache-2.0
#include "net/tcp_info.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>

namespace kelbos {

std::optional<TcpFigures> read_tcp_figures(int fd) {
    if (fd < 0) return std::nullopt;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return std::nullopt;
    TcpFigures f;
    f.rtt_ms = info.tcpi_rtt / 1000.0;
    f.rcv_rtt_ms = info.tcpi_rcv_rtt / 1000.0;
    f.retransmits = info.tcpi_total_retrans;
    // Retransmissions the receiver reported as duplicates were never needed (a loss
    // probe sent while its acknowledgement was on the way): they say nothing of the
    // path. Kernels too old to count them report them all.
    if (length >= offsetof(tcp_info, tcpi_dsack_dups) + sizeof info.tcpi_dsack_dups)
        f.retransmits -= std::min(info.tcpi_dsack_dups, info.tcpi_total_retrans);
    f.cwnd_bytes = static_cast<std::uint64_t>(info.tcpi_snd_cwnd) * info.tcpi_snd_mss;
    f.since_data_ms = info.tcpi_last_data_recv;
    return f;
}

}  // namespace kelbos
