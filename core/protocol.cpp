// SPDX-License-Identifier: Apache-2.0
#include "core/protocol.h"

#include <algorithm>
#include <cstring>

namespace kelbos {

namespace {

constexpr const char* STATUS_TEXTS[] = {
    "Message Number 0 - somebody messed up",
    "Receiver is out of connection IDs",
    "Message Size Too Big",
    "socket() Error",
    "listen() Error",
    "bind() Error",
    "send() Error",
    "connect() Error",
    "Destination host is unknown",
    "Internal protocol error",
    "Unknown transport type requested",
    "Timeout waiting for Shutdown ACK",
    "Timeout waiting for Setup ACK",
    "Connection rejected by receiver",
    "Remote node is unknown",
    "Object unknown at remote node - receiver not started?",
    "Unexpect QIO status - see stdout for message",
    "Message Number 17 - UNUSED!?",
};

constexpr const char* REASON_TEXTS[] = {
    "Shutdown reason 0 - Unused",
    "Connection shutdown normally",
    "Connection aborted",
    "Connection terminated by receiver",
};

constexpr const char* TRANSPORT_NAMES[] = {"?", "UDP", "TCP", "DECnet", "OSI"};
constexpr const char* NETWORK_NAMES[] = {"?", "FDDI", "Ethernet"};
constexpr std::uint32_t MAX_MESSAGE_SIZES[] = {0, UDP_MAX_MESSAGE, TCP_MAX_MESSAGE, 140000, 0};

template <std::size_t N>
const char* lookup(const char* const (&table)[N], int index, const char* fallback) {
    return index >= 0 && static_cast<std::size_t>(index) < N ? table[index] : fallback;
}

void put_u32(std::uint8_t* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get_u32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

void put_text(std::uint8_t* out, std::size_t width, const std::string& text) {
    std::memset(out, 0, width);
    std::memcpy(out, text.data(), std::min(width, text.size()));
}

std::string get_text(const std::uint8_t* in, std::size_t width) {
    const auto* end = std::find(in, in + width, std::uint8_t{0});
    return std::string(reinterpret_cast<const char*>(in), static_cast<std::size_t>(end - in));
}

}  // namespace

const char* status_text(int status) { return lookup(STATUS_TEXTS, status, "Unknown link status"); }

const char* reason_text(int reason) { return lookup(REASON_TEXTS, reason, "Unknown shutdown reason"); }

const char* transport_name(int transport) { return lookup(TRANSPORT_NAMES, transport, "?"); }

const char* network_name(int network) { return lookup(NETWORK_NAMES, network, "?"); }

std::uint32_t max_message_size(int transport) {
    return transport >= 0 && transport < 5 ? MAX_MESSAGE_SIZES[transport] : 0;
}

SetupRequestBytes encode_setup_request(const SetupRequest& request) {
    SetupRequestBytes out{};
    put_u32(&out[0], request.kelbo_bytes);
    put_u32(&out[4], request.message_length);
    put_text(&out[8], SETUP_HOST_FIELD, request.host_name);
    put_text(&out[48], SETUP_COLOUR_FIELD, request.colour_text);
    out[68] = request.transport;
    out[69] = 1;
    out[70] = 5;
    out[71] = 0;  // padding
    return out;
}

std::optional<SetupRequest> decode_setup_request(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < SETUP_REQUEST_LEN) return std::nullopt;
    SetupRequest r;
    r.kelbo_bytes = get_u32(&bytes[0]);
    r.message_length = get_u32(&bytes[4]);
    r.host_name = get_text(&bytes[8], SETUP_HOST_FIELD);
    r.colour_text = get_text(&bytes[48], SETUP_COLOUR_FIELD);
    r.transport = bytes[68];
    return r;
}

SetupReplyBytes encode_setup_accept(ConnId conn_id) { return {conn_id, MSG_SETUP_ACCEPTED, 1, 5}; }

SetupReplyBytes encode_setup_reject() { return {CONN_NONE_FREE, MSG_SETUP_REJECTED, 1, 5}; }

SetupReplyResult parse_setup_reply(std::span<const std::uint8_t> received) {
    if (received.size() != SETUP_REPLY_LEN) return {LinkStatus::protocol_error, CONN_NONE};
    if (received[1] == MSG_SETUP_REJECTED) return {LinkStatus::rejected, CONN_NONE};
    if (received[1] == MSG_SETUP_ACCEPTED) return {LinkStatus::ok, received[0]};
    return {LinkStatus::protocol_error, CONN_NONE};
}

ShutdownRequestBytes encode_shutdown_request(ConnId conn_id, std::uint8_t reason) {
    return {conn_id, MSG_SHUTDOWN_REQUEST, reason};
}

ShutdownAckBytes encode_shutdown_ack(ConnId conn_id) { return {conn_id, MSG_SHUTDOWN_ACK}; }

bool is_shutdown_ack(std::span<const std::uint8_t> received) {
    return received.size() == SHUTDOWN_ACK_LEN && received[1] == MSG_SHUTDOWN_ACK;
}

void write_data_header(std::span<std::uint8_t> buffer, ConnId conn_id, std::uint32_t message_length) {
    // The id byte is taken as signed and sign-extended, as the field is a signed int.
    const auto value = static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(conn_id)));
    const std::size_t n = std::min<std::size_t>({4, message_length, buffer.size()});
    for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

namespace {
void put_u64(std::uint8_t* out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint64_t get_u64(const std::uint8_t* in) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | in[i];
    return v;
}
}  // namespace

void write_datagram_numbers(std::span<std::uint8_t> buffer, std::uint32_t message_length,
                            const DatagramNumbers& numbers) {
    if (message_length < NUMBERED_MIN_MESSAGE || buffer.size() < NUMBERED_HEAD_LEN) return;
    std::copy(NUMBERED_MARKER.begin(), NUMBERED_MARKER.end(), buffer.begin() + NUMBERED_MARKER_AT);
    put_u64(buffer.data() + NUMBERED_SEQUENCE_AT, numbers.sequence);
    put_u64(buffer.data() + NUMBERED_TIME_AT, numbers.send_ns);
}

std::optional<DatagramNumbers> read_datagram_numbers(std::span<const std::uint8_t> head) {
    if (head.size() < NUMBERED_HEAD_LEN ||
        !std::equal(NUMBERED_MARKER.begin(), NUMBERED_MARKER.end(), head.begin() + NUMBERED_MARKER_AT))
        return std::nullopt;
    return DatagramNumbers{get_u64(head.data() + NUMBERED_SEQUENCE_AT),
                           get_u64(head.data() + NUMBERED_TIME_AT)};
}

std::optional<ChunkShutdown> find_shutdown_request(std::span<const std::uint8_t> chunk) {
    const std::size_t n = chunk.size();
    if (n < SHUTDOWN_REQUEST_LEN || chunk[n - 2] != MSG_SHUTDOWN_REQUEST) return std::nullopt;
    return ChunkShutdown{chunk[n - 3], chunk[n - 1]};
}

}  // namespace kelbos
