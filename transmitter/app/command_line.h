// SPDX-License-Identifier: Apache-2.0
// The transmitter's own command-line options: its settings and kelbo colour, and
// --go. They are read with the settings dialog's rules and messages.
#pragma once

#include <string>

#include "core/kelbo_geometry.h"
#include "transmitter/app/settings.h"
#include "transmitter/link/link.h"
#include "transmitter/link/message_path.h"

class QCommandLineParser;

namespace kelbos {

inline constexpr const char* MSG_BAD_TRANSPORT = "transport must be udp, tcp, decnet or osi";
inline constexpr const char* MSG_BAD_COLOUR = "colour must be #RRGGBB";
inline constexpr const char* MSG_BAD_SEND_PATH = "send-path must be copy or copy-free";
inline constexpr const char* MSG_BAD_BYTES = "bytes must be a whole number";
inline constexpr const char* MSG_BAD_BIND = "bind must be an IPv4 or IPv6 address";
inline constexpr const char* MSG_BAD_DSCP = "dscp must be 0 to 63 or a class name such as EF or AF41";
// Followed by the names the system offers.
inline constexpr const char* MSG_BAD_CONGESTION = "congestion must be one of: ";

// Adds --receiver, --transport, --msg-size, --delay, --rate, --bytes, --sock-buf,
// --kelbo-size, --colour, --udp-numbered, --send-path, --bind, --congestion, --dscp
// and --go.
void add_transmitter_options(QCommandLineParser& parser);

// Applies the settings options that were given, in the dialog's order of checking
// (receiver, kelbo size, delay, message size, socket buffer size), then transport and
// colour, then whether numbered datagrams fit the message size, then rate and bytes. At the first bad value:
// false, with its message in `error`, and nothing changed.
bool apply_settings_options(const QCommandLineParser& parser, CommSettings& settings, Rgb& colour,
                            std::string& error);

// --send-path: "copy" or "copy-free"; copy when not given. False for any other word.
bool read_send_path(const QCommandLineParser& parser, SendPath& path);

// --bind, --dscp and --congestion (a name the system takes on a TCP socket). At the
// first bad value: false, with its message in `error`.
bool read_socket_choices(const QCommandLineParser& parser, SocketChoices& choices, std::string& error);

// "udp", "tcp", "decnet", "osi" (any case) as a TransportType; 0 for anything else.
int parse_transport_word(const std::string& word);

// Exactly "#RRGGBB" with hexadecimal digits of either case.
bool parse_colour_option(const std::string& text, Rgb& colour);

}  // namespace kelbos
