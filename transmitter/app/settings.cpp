// SPDX-License-Identifier: Apache-2.0
#include "transmitter/app/settings.h"

#include <unistd.h>

namespace kelbos {

bool numbers_fit(int transport, bool udp_numbered, std::uint32_t msg_size) {
    return !udp_numbered || transport != TRANSPORT_UDP || msg_size >= NUMBERED_MIN_MESSAGE;
}

CommSettings init_defaults() {
    CommSettings s;
    s.receiver_name = DEFAULT_RECEIVER;
    s.kelbo_size = DEFAULT_KELBO_SIZE;
    s.delay_ms = 0;
    s.msg_size = DEFAULT_MSG_SIZE;
    s.transport = TRANSPORT_UDP;
    s.sock_buf_size = DEFAULT_SOCK_BUF_SIZE;
    s.send_on = NETWORK_ETHERNET;
    s.receive_on = 0;
    return s;
}

std::string cut_receiver_name(std::string_view text) {
    return std::string(text.substr(0, MAX_RECEIVER_NAME));
}

const char* protocol_text(int transport) {
    switch (transport) {
        case TRANSPORT_UDP:
            return "UDP";
        case TRANSPORT_TCP:
            return "TCP";
        case TRANSPORT_DECNET:
            return "DNET";
        case TRANSPORT_OSI:
            return "OSI";
        default:
            return "UNKNOWN";
    }
}

std::string local_host_name() {
    char field[LOCAL_HOST_FIELD] = {};
    // A longer name comes back cut to the field; the last byte ends it either way.
    [[maybe_unused]] const int result = ::gethostname(field, sizeof field);
    field[LOCAL_HOST_FIELD - 1] = 0;
    return field;
}

}  // namespace kelbos
