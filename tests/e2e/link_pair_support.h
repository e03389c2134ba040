// SPDX-License-Identifier: Apache-2.0
// The transmitter's side of the tests of both link ends: opening a link at a
// ReceiverThread and recording the ends the link reports.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "link.h"
#include "protocol.h"

namespace kelbos::test {

using namespace std::chrono_literals;

// Bound of the link's waits where nothing is meant to time out.
inline constexpr std::chrono::milliseconds LINK_TEST_WAIT = 5s;

inline const std::string OWN_HOST = "txhost";
inline const std::string LOOPBACK = "127.0.0.1";

// The end callback of a link, recorded: (ConnId, reason) per call. Test thread only.
struct TxEnds {
    std::vector<std::pair<int, int>> calls;
    EndCallback callback() {
        return [this](ConnId conn_id, int reason) { calls.emplace_back(conn_id, reason); };
    }
};

struct OpenArgs {
    std::uint32_t message_length = 1000;
    std::string colour_text = "#800000";
    std::uint32_t kelbo_bytes = 2500000;
    std::uint32_t socket_buffer = 0;
};

inline LinkStatus open_link(TransmitterLink& link, int transport, TxEnds& ends, const OpenArgs& args = {}) {
    return link.link_open(transport, NETWORK_ETHERNET, OWN_HOST, LOOPBACK, args.colour_text,
                          args.message_length, ends.callback(), args.kelbo_bytes, args.socket_buffer);
}

inline bool is_loopback_name(const std::string& name) {
    return name == "localhost" || name == LOOPBACK;
}

}  // namespace kelbos::test
