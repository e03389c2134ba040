// SPDX-License-Identifier: Apache-2.0
// The transmitter's settings for one run: the link parameters the settings dialog
// edits, their defaults, the lists the dialog offers, and the reading of the dialog's
// number fields (shared with the command line).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/protocol.h"

namespace kelbos {

struct CommSettings {
    std::string receiver_name;        // host name of the receiver, 1..254 characters
    std::uint32_t kelbo_size = 0;     // bits per kelbo
    std::uint32_t delay_ms = 0;       // 0: send back to back
    std::uint32_t msg_size = 0;       // bytes of each data message
    std::uint32_t sock_buf_size = 0;  // send buffer wanted on TCP links
    int transport = TRANSPORT_NONE;   // TransportType
    int send_on = NETWORK_NONE;       // NetworkType; remembered, not used by the link
    char receive_on = 0;              // 0 N/A, 'e' Ethernet, 'f' FDDI, 'a' ATM; remembered only
    bool udp_numbered = false;        // UDP links: datagrams carry a sequence number and send time
    std::uint64_t rate_bps = 0;       // target rate in bits per second; 0: none. Governs over the delay
    std::uint64_t byte_limit = 0;     // halt after exactly this many bytes of data messages; 0: none

    friend bool operator==(const CommSettings&, const CommSettings&) = default;
};

// The receiver names the dialog's receiver box offers. The default receiver is this
// machine, so the program works out of the box next to a local receiver.
inline constexpr std::array<const char*, 4> receiver_list = {"localhost", "kelbos-rx1", "kelbos-rx2",
                                                             "kelbos-lab"};
inline constexpr const char* DEFAULT_RECEIVER = receiver_list[0];

// The kelbo sizes in bits the dialog's kelbo size box offers.
inline constexpr std::array<std::uint32_t, 6> kelbo_size_list = {100000,   1000000,  10000000,
                                                                 20000000, 40000000, 80000000};

inline constexpr std::uint32_t DEFAULT_KELBO_SIZE = 20000000;
inline constexpr std::uint32_t DEFAULT_MSG_SIZE = 32700;
inline constexpr std::uint32_t DEFAULT_SOCK_BUF_SIZE = 65535;

// Below one byte per kelbo the per-kelbo accounting could never advance.
inline constexpr std::uint32_t MIN_KELBO_SIZE = 8;

// The longest receiver name kept; a longer text is cut.
inline constexpr std::size_t MAX_RECEIVER_NAME = 254;

// The room for the own host name in the SetupRequest, terminator included.
inline constexpr std::size_t LOCAL_HOST_FIELD = 40;

// Refusals of the settings, in the dialog's order of checking.
inline constexpr const char* MSG_BAD_RECEIVER = "bad destination name";
inline constexpr const char* MSG_BAD_KELBO_SIZE = "kelbo size must be a number";
inline constexpr const char* MSG_SMALL_KELBO_SIZE = "kelbo size must be at least 8 bits";
inline constexpr const char* MSG_BAD_DELAY = "delay must be a number";
inline constexpr const char* MSG_BAD_MSG_SIZE = "message size must be a number";
inline constexpr const char* MSG_BAD_SOCK_BUF = "socket buffer size must be a number";
inline constexpr const char* MSG_BAD_RATE = "rate must be a number";
inline constexpr const char* MSG_SMALL_NUMBERED =
    "message size must be at least 27 bytes to number datagrams";
static_assert(NUMBERED_MIN_MESSAGE == 27);

// Numbered datagrams need room for their numbers: a UDP link's message size must hold
// them. (TCP links carry no numbers.)
bool numbers_fit(int transport, bool udp_numbered, std::uint32_t msg_size);

// The settings at the start of every run.
CommSettings init_defaults();

// The receiver name as the dialog keeps it: cut to MAX_RECEIVER_NAME characters.
std::string cut_receiver_name(std::string_view text);

// The value row's protocol text: "UDP", "TCP", "DNET", "OSI", otherwise "UNKNOWN".
const char* protocol_text(int transport);

// This machine's host name, at most LOCAL_HOST_FIELD - 1 characters; empty when the
// system does not tell.
std::string local_host_name();

}  // namespace kelbos
