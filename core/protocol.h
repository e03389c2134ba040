// SPDX-License-Identifier: Apache-2.0
// The link protocol shared by kelbostx and kelbosrx: transports, ports, message
// layouts, status codes and shutdown reasons with their texts. Pure functions over
// byte arrays; no sockets here.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kelbos {

// Transport of a link. Held as an int: values outside 0..4 can come from a peer or
// from the settings and must survive a round trip to be reported.
enum TransportType : int {
    TRANSPORT_NONE = 0,
    TRANSPORT_UDP = 1,
    TRANSPORT_TCP = 2,
    TRANSPORT_DECNET = 3,
    TRANSPORT_OSI = 4,
};

// The medium a transmitter sends on. Carried in no message.
enum NetworkType : int {
    NETWORK_NONE = 0,
    NETWORK_FDDI = 1,
    NETWORK_ETHERNET = 2,
};

// Second byte of every control message.
enum MessageType : std::uint8_t {
    MSG_SETUP_ACCEPTED = 1,
    MSG_SHUTDOWN_REQUEST = 2,
    MSG_SHUTDOWN_ACK = 3,
    MSG_SETUP_REJECTED = 4,
};

// One byte naming a link on a receiver: 1..10, 0 none, 255 none free.
using ConnId = std::uint8_t;
inline constexpr ConnId CONN_NONE = 0;
inline constexpr ConnId CONN_FIRST = 1;
inline constexpr ConnId CONN_LAST = 10;
inline constexpr ConnId CONN_NONE_FREE = 255;
inline constexpr int CONN_TABLE_SIZE = 11;  // entry 0 is the TOTAL record / unused

// Result of the link operations of both programs.
enum class LinkStatus : int {
    ok = 0,
    out_of_conn_ids = 1,
    message_too_big = 2,
    socket_error = 3,
    listen_error = 4,
    bind_error = 5,
    send_error = 6,
    connect_error = 7,
    host_unknown = 8,
    protocol_error = 9,
    unknown_transport = 10,
    shutdown_ack_timeout = 11,
    setup_ack_timeout = 12,
    rejected = 13,
    remote_node_unknown = 14,
    object_unknown = 15,
    unexpected_qio = 16,
    unused_17 = 17,
};

enum ShutdownReason : int {
    REASON_UNUSED = 0,
    REASON_NORMAL = 1,
    REASON_ABORTED = 2,
    REASON_TERMINATED_BY_RECEIVER = 3,
};

// Ports as they appear on the network (the historical constants 1234, 1235 and
// 1236 with their bytes swapped). Set into socket addresses with htons().
inline constexpr std::uint16_t CONTROL_PORT = 53764;   // TCP, control of UDP links
inline constexpr std::uint16_t DATAGRAM_PORT = 54020;  // UDP, data of UDP links
inline constexpr std::uint16_t STREAM_PORT = 54276;    // TCP, whole TCP links

inline constexpr int LISTEN_BACKLOG = 6;

// The three ports of a receiver. The programs always use the well-known ones; tests
// give others (0 lets the receiver pick free ones and report them).
struct Ports {
    std::uint16_t control = CONTROL_PORT;
    std::uint16_t datagram = DATAGRAM_PORT;
    std::uint16_t stream = STREAM_PORT;
};

inline constexpr std::size_t SETUP_REQUEST_LEN = 72;
inline constexpr std::size_t SETUP_REPLY_LEN = 4;
inline constexpr std::size_t SHUTDOWN_REQUEST_LEN = 3;
inline constexpr std::size_t SHUTDOWN_ACK_LEN = 2;

inline constexpr std::size_t SETUP_HOST_FIELD = 40;    // offset 8
inline constexpr std::size_t SETUP_COLOUR_FIELD = 20;  // offset 48

inline constexpr std::uint32_t UDP_MAX_MESSAGE = 32739;
inline constexpr std::uint32_t TCP_MAX_MESSAGE = 150000;
// The largest message of any transport: size of the send and receive buffers.
inline constexpr std::uint32_t LARGEST_MESSAGE = TCP_MAX_MESSAGE;

// Every wait of the protocol is bounded by this.
inline constexpr std::chrono::milliseconds LINK_WAIT{10000};

// Fixed texts. Out-of-range numbers give a text of their own rather than undefined
// behaviour.
const char* status_text(int status);
inline const char* status_text(LinkStatus s) { return status_text(static_cast<int>(s)); }
const char* reason_text(int reason);
const char* transport_name(int transport);
const char* network_name(int network);
// Largest data message of a transport; 0 for transports outside the table.
std::uint32_t max_message_size(int transport);

struct SetupRequest {
    std::uint32_t kelbo_bytes = 0;
    std::uint32_t message_length = 0;
    std::string host_name;    // at most 40 bytes travel
    std::string colour_text;  // at most 20 bytes travel
    std::uint8_t transport = 0;
};

using SetupRequestBytes = std::array<std::uint8_t, SETUP_REQUEST_LEN>;
using SetupReplyBytes = std::array<std::uint8_t, SETUP_REPLY_LEN>;
using ShutdownRequestBytes = std::array<std::uint8_t, SHUTDOWN_REQUEST_LEN>;
using ShutdownAckBytes = std::array<std::uint8_t, SHUTDOWN_ACK_LEN>;

SetupRequestBytes encode_setup_request(const SetupRequest& request);
// Reads a whole 72-byte request; nullopt when fewer bytes are given. Text fields stop
// at their first zero byte or at their full width.
std::optional<SetupRequest> decode_setup_request(std::span<const std::uint8_t> bytes);

SetupReplyBytes encode_setup_accept(ConnId conn_id);
SetupReplyBytes encode_setup_reject();

// What the transmitter makes of the bytes of one receive of a SetupReply.
struct SetupReplyResult {
    LinkStatus status;  // ok, rejected or protocol_error
    ConnId conn_id;     // byte 0 when accepted
};
SetupReplyResult parse_setup_reply(std::span<const std::uint8_t> received);

ShutdownRequestBytes encode_shutdown_request(ConnId conn_id, std::uint8_t reason);
ShutdownAckBytes encode_shutdown_ack(ConnId conn_id);
// True when one receive gave exactly a ShutdownAck (byte 1 is 3).
bool is_shutdown_ack(std::span<const std::uint8_t> received);

// Writes the ConnId field of a data message into the start of buffer: the id
// sign-extended to a little-endian signed 32-bit integer, cut to message_length when
// the message is shorter than 4 bytes. The rest of the buffer is left as it is.
void write_data_header(std::span<std::uint8_t> buffer, ConnId conn_id, std::uint32_t message_length);

// Numbered datagrams, an option of the transmitter for UDP links. After the ConnId
// field a datagram carries a marker, its sequence number (0 for a link's first
// datagram, one more for each datagram sent) and the time it was sent, in nanoseconds
// of the transmitter's own steady clock, both little-endian and unsigned 64-bit. The
// rest of the datagram stays zero, its last three bytes always. A datagram without
// the marker is one as the documents make it: zero after its ConnId.
inline constexpr std::array<std::uint8_t, 4> NUMBERED_MARKER = {'K', 'N', 'u', 'm'};
inline constexpr std::size_t NUMBERED_MARKER_AT = 4;
inline constexpr std::size_t NUMBERED_SEQUENCE_AT = 8;
inline constexpr std::size_t NUMBERED_TIME_AT = 16;
inline constexpr std::size_t NUMBERED_HEAD_LEN = 24;
// The shortest datagram that can be numbered: the head and three zero bytes.
inline constexpr std::uint32_t NUMBERED_MIN_MESSAGE = NUMBERED_HEAD_LEN + 3;

struct DatagramNumbers {
    std::uint64_t sequence = 0;
    std::uint64_t send_ns = 0;
};
// Writes the marker, the sequence number and the send time after the ConnId field of a
// message of `message_length` bytes whose head is `buffer` (the whole message, or only
// its first NUMBERED_HEAD_LEN bytes). Does nothing to a message shorter than
// NUMBERED_MIN_MESSAGE, or a buffer shorter than the head.
void write_datagram_numbers(std::span<std::uint8_t> buffer, std::uint32_t message_length,
                            const DatagramNumbers& numbers);
// The numbers of a datagram whose first bytes (at least NUMBERED_HEAD_LEN of them) are
// given; nullopt when they do not carry the marker.
std::optional<DatagramNumbers> read_datagram_numbers(std::span<const std::uint8_t> head);

// A ShutdownRequest found at the end of a received chunk.
struct ChunkShutdown {
    std::uint8_t conn_id;
    std::uint8_t reason;
};
// A chunk of at least 3 bytes whose next-to-last byte is 2 ends in a ShutdownRequest;
// every other chunk is data.
std::optional<ChunkShutdown> find_shutdown_request(std::span<const std::uint8_t> chunk);

}  // namespace kelbos
