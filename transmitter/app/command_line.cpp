// SPDX-License-Identifier: Apache-2.0
#include "transmitter/app/command_line.h"

#include <QCommandLineParser>
#include <cctype>
#include <charconv>

#include "core/format_scan.h"
#include "core/offered_load.h"

namespace kelbos {

void add_transmitter_options(QCommandLineParser& parser) {
    parser.addOption({"receiver", "Host name of the receiver (default localhost).", "NAME"});
    parser.addOption({"transport", "Transport: udp, tcp, decnet or osi (default udp).", "TRANSPORT"});
    parser.addOption({"msg-size", "Size of each data message in bytes (default 32700).", "BYTES"});
    parser.addOption({"delay", "Milliseconds between messages; 0 sends back to back (default 0).", "MS"});
    parser.addOption(
        {"sock-buf",
         "Send buffer size of TCP links in bytes; above 150000 it is taken as 150000; 0: the system's sizing "
         "(default 65535).",
         "BYTES"});
    parser.addOption({"kelbo-size", "Bits per kelbo, at least 8 (default 20000000).", "BITS"});
    parser.addOption({"colour", "Kelbo colour as #RRGGBB (default #800000).", "#RRGGBB"});
    parser.addOption({"udp-numbered",
                      "Number the datagrams of UDP links, so that the receiver reports loss, reordering "
                      "and jitter (message size at least 27)."});
    parser.addOption({"send-path",
                      "How TCP links hand their messages to the system: copy, or copy-free from a memory "
                      "file (default copy).",
                      "PATH"});
    parser.addOption({"rate",
                      "Target rate in bits per second, with k, M or G (500M, 2.5G), paced evenly; the "
                      "delay is then not used. 0: no limit (default 0).",
                      "RATE"});
    parser.addOption(
        {"bytes", "Halt after exactly this many bytes of data messages; 0: no limit (default 0).", "N"});
    parser.addOption({"bind", "Local IPv4 or IPv6 address of all the link's sockets.", "ADDRESS"});
    parser.addOption(
        {"congestion", "TCP congestion control of the link's TCP sockets (reno, cubic, ...).", "NAME"});
    parser.addOption(
        {"dscp", "DSCP mark of the data sockets: 0 to 63 or a class name (EF, AF41, CS1, ...).", "VALUE"});
    parser.addOption({"go", "Start a transmission once the program is up."});
}

bool read_send_path(const QCommandLineParser& parser, SendPath& path) {
    const QString word = parser.value("send-path");
    if (!parser.isSet("send-path") || word == "copy") {
        path = SendPath::copy;
        return true;
    }
    path = SendPath::copy_free;
    return word == "copy-free";
}

bool read_socket_choices(const QCommandLineParser& parser, SocketChoices& choices, std::string& error) {
    const auto text = [&](const char* name) { return parser.value(name).toStdString(); };
    if (parser.isSet("bind") && !(choices.bind = numeric_address(text("bind")))) {
        error = MSG_BAD_BIND;
        return false;
    }
    if (parser.isSet("dscp")) {
        const auto dscp = parse_dscp(text("dscp"));
        if (!dscp) {
            error = MSG_BAD_DSCP;
            return false;
        }
        choices.dscp = *dscp;
    }
    if (parser.isSet("congestion")) {
        // The system tells whether it has the algorithm: a socket tries it.
        choices.congestion = text("congestion");
        const Socket probe = make_socket(SOCK_STREAM);
        if (choices.congestion.empty() || !set_congestion(probe.fd(), choices.congestion)) {
            error = MSG_BAD_CONGESTION + allowed_congestion();
            return false;
        }
    }
    return true;
}

int parse_transport_word(const std::string& word) {
    std::string w;
    for (char c : word) w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (w == "udp") return TRANSPORT_UDP;
    if (w == "tcp") return TRANSPORT_TCP;
    if (w == "decnet") return TRANSPORT_DECNET;
    if (w == "osi") return TRANSPORT_OSI;
    return TRANSPORT_NONE;
}

bool parse_colour_option(const std::string& text, Rgb& colour) {
    if (text.size() != 7 || text[0] != '#') return false;
    for (std::size_t i = 1; i < 7; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    const auto component = [&](std::size_t at) {
        return static_cast<std::uint8_t>(std::stoi(text.substr(at, 2), nullptr, 16));
    };
    colour = Rgb{component(1), component(3), component(5)};
    return true;
}

bool apply_settings_options(const QCommandLineParser& parser, CommSettings& settings, Rgb& colour,
                            std::string& error) {
    CommSettings s = settings;
    Rgb c = colour;
    const auto text = [&](const char* name) { return parser.value(name).toStdString(); };
    // A number option, read as the dialog reads its fields.
    const auto number = [&](const char* name, std::uint32_t& field, const char* message) {
        if (!parser.isSet(name)) return true;
        const auto value = read_whole_number(text(name));
        if (!value) {
            error = message;
            return false;
        }
        field = *value;
        return true;
    };

    if (parser.isSet("receiver")) {
        s.receiver_name = cut_receiver_name(text("receiver"));
        if (s.receiver_name.empty()) {
            error = MSG_BAD_RECEIVER;
            return false;
        }
    }
    if (!number("kelbo-size", s.kelbo_size, MSG_BAD_KELBO_SIZE)) return false;
    if (s.kelbo_size < MIN_KELBO_SIZE) {
        error = MSG_SMALL_KELBO_SIZE;
        return false;
    }
    if (!number("delay", s.delay_ms, MSG_BAD_DELAY)) return false;
    if (!number("msg-size", s.msg_size, MSG_BAD_MSG_SIZE)) return false;
    if (!number("sock-buf", s.sock_buf_size, MSG_BAD_SOCK_BUF)) return false;
    if (parser.isSet("transport")) {
        s.transport = parse_transport_word(text("transport"));
        if (s.transport == TRANSPORT_NONE) {
            error = MSG_BAD_TRANSPORT;
            return false;
        }
    }
    if (parser.isSet("colour") && !parse_colour_option(text("colour"), c)) {
        error = MSG_BAD_COLOUR;
        return false;
    }
    if (parser.isSet("udp-numbered")) s.udp_numbered = true;
    if (!numbers_fit(s.transport, s.udp_numbered, s.msg_size)) {
        error = MSG_SMALL_NUMBERED;
        return false;
    }
    if (parser.isSet("rate")) {
        const auto rate = parse_rate(text("rate"));
        if (!rate || text("rate").empty()) {
            error = MSG_BAD_RATE;
            return false;
        }
        s.rate_bps = *rate;
    }
    if (parser.isSet("bytes")) {
        const std::string bytes = text("bytes");
        const auto [end, failure] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), s.byte_limit);
        if (bytes.empty() || failure != std::errc() || end != bytes.data() + bytes.size()) {
            error = MSG_BAD_BYTES;
            return false;
        }
    }
    settings = s;
    colour = c;
    return true;
}

}  // namespace kelbos
