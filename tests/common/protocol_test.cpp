// SPDX-License-Identifier: Apache-2.0
#include "core/protocol.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

using namespace kelbos;

namespace {
std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> v;
    for (int b : list) v.push_back(static_cast<std::uint8_t>(b));
    return v;
}
}  // namespace

TEST(Protocol, TablesHoldTheFixedValuesAndTexts) {
    EXPECT_STREQ(status_text(0), "Message Number 0 - somebody messed up");
    EXPECT_STREQ(status_text(LinkStatus::message_too_big), "Message Size Too Big");
    EXPECT_STREQ(status_text(LinkStatus::connect_error), "connect() Error");
    EXPECT_STREQ(status_text(LinkStatus::shutdown_ack_timeout), "Timeout waiting for Shutdown ACK");
    EXPECT_STREQ(status_text(LinkStatus::setup_ack_timeout), "Timeout waiting for Setup ACK");
    EXPECT_STREQ(status_text(LinkStatus::rejected), "Connection rejected by receiver");
    EXPECT_STREQ(status_text(15), "Object unknown at remote node - receiver not started?");
    EXPECT_STREQ(status_text(16), "Unexpect QIO status - see stdout for message");
    EXPECT_STREQ(status_text(17), "Message Number 17 - UNUSED!?");
    EXPECT_STREQ(status_text(18), "Unknown link status");
    EXPECT_STREQ(status_text(-1), "Unknown link status");

    const char* reasons[] = {"Shutdown reason 0 - Unused", "Connection shutdown normally",
                             "Connection aborted", "Connection terminated by receiver",
                             "Unknown shutdown reason"};
    for (int r = 0; r < 5; ++r) EXPECT_STREQ(reason_text(r), reasons[r]) << r;

    const char* names[] = {"?", "UDP", "TCP", "DECnet", "OSI"};
    for (int t = 0; t < 5; ++t) EXPECT_STREQ(transport_name(t), names[t]);
    EXPECT_STREQ(transport_name(9), "?");
    EXPECT_STREQ(network_name(1), "FDDI");
    EXPECT_STREQ(network_name(2), "Ethernet");

    using Size = std::pair<int, std::uint32_t>;
    for (const auto& [t, size] : {Size{TRANSPORT_UDP, 32739u}, {TRANSPORT_TCP, 150000u},
                                  {TRANSPORT_DECNET, 140000u}, {TRANSPORT_OSI, 0u}, {0, 0u}, {200, 0u}})
        EXPECT_EQ(max_message_size(t), size) << t;
}

TEST(Protocol, PortsAreTheSwappedHistoricalConstants) {
    auto swap = [](std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); };
    const std::array ports{CONTROL_PORT, DATAGRAM_PORT, STREAM_PORT};
    EXPECT_EQ(ports, (std::array<std::uint16_t, 3>{53764, 54020, 54276}));
    EXPECT_EQ(ports, (std::array{swap(1234), swap(1235), swap(1236)}));
    EXPECT_EQ(LINK_WAIT.count(), 10000);
}

TEST(Protocol, SetupRequestByteImageAndItsCutTextFields) {
    SetupRequest r;
    r.kelbo_bytes = 20000000 / 8;
    r.message_length = 32700;
    r.host_name = "tx-host";
    r.colour_text = "#800000";
    r.transport = TRANSPORT_UDP;
    const auto b = encode_setup_request(r);
    ASSERT_EQ(b.size(), 72u);
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.begin() + 8), bytes({0xA0, 0x25, 0x26, 0x00, 0xBC, 0x7F, 0x00, 0x00}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[8]), 7), "tx-host");
    for (int i = 15; i < 48; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[48]), 7), "#800000");
    for (int i = 55; i < 68; ++i) EXPECT_EQ(b[i], 0) << i;  // 13 zero bytes
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 68, b.begin() + 71), bytes({1, 1, 5}));

    auto back = decode_setup_request(b);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->kelbo_bytes, 2500000u);
    EXPECT_EQ(back->message_length, 32700u);
    EXPECT_EQ(back->host_name, "tx-host");
    EXPECT_EQ(back->colour_text, "#800000");
    EXPECT_EQ(back->transport, 1);

    // Fewer than 72 bytes never decode.
    EXPECT_FALSE(decode_setup_request(std::span(b).first(71)));

    // Text fields are cut, and may fill their width.
    r.host_name = std::string(45, 'h');
    r.colour_text = std::string(25, 'c');
    const auto full = encode_setup_request(r);
    EXPECT_EQ(full[47], 'h');  // 40 bytes, no terminator
    EXPECT_EQ(full[67], 'c');  // 20 bytes, no terminator
    back = decode_setup_request(full);
    EXPECT_EQ(back->host_name, std::string(40, 'h'));
    EXPECT_EQ(back->colour_text, std::string(20, 'c'));
}

TEST(Protocol, RepliesAndShutdownMessages) {
    EXPECT_EQ(encode_setup_accept(3), (SetupReplyBytes{0x03, 0x01, 0x01, 0x05}));
    EXPECT_EQ(encode_setup_reject(), (SetupReplyBytes{0xFF, 0x04, 0x01, 0x05}));
    EXPECT_EQ(encode_shutdown_request(3, REASON_NORMAL), (ShutdownRequestBytes{0x03, 0x02, 0x01}));
    EXPECT_EQ(encode_shutdown_ack(3), (ShutdownAckBytes{0x03, 0x03}));

    auto accepted = parse_setup_reply(bytes({3, 1, 9, 9}));  // bytes 2 and 3 not examined
    EXPECT_EQ(accepted.status, LinkStatus::ok);
    EXPECT_EQ(accepted.conn_id, 3);
    EXPECT_EQ(parse_setup_reply(bytes({0xFF, 4, 1, 5})).status, LinkStatus::rejected);
    EXPECT_EQ(parse_setup_reply(bytes({3, 1, 1})).status, LinkStatus::protocol_error);  // short
    EXPECT_EQ(parse_setup_reply(bytes({3, 2, 1, 5})).status, LinkStatus::protocol_error);  // wrong type
    EXPECT_EQ(parse_setup_reply({}).status, LinkStatus::protocol_error);

    EXPECT_TRUE(is_shutdown_ack(bytes({3, 3})));
    EXPECT_TRUE(is_shutdown_ack(bytes({7, 3})));  // byte 0 not examined
    EXPECT_FALSE(is_shutdown_ack(bytes({3})));
    EXPECT_FALSE(is_shutdown_ack(bytes({3, 1})));
}

TEST(Protocol, DataMessageHeader) {
    std::vector<std::uint8_t> buf(32700, 0);
    write_data_header(buf, 3, 32700);
    EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + 4), bytes({3, 0, 0, 0}));
    for (std::size_t i = 4; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0);

    // A ConnId byte above 127 is sign-extended.
    write_data_header(buf, 0xFF, 32700);
    EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + 4), bytes({0xFF, 0xFF, 0xFF, 0xFF}));

    // A message shorter than 4 bytes carries only its first bytes of the field.
    std::vector<std::uint8_t> small(4, 0xAA);
    write_data_header(small, 5, 2);
    EXPECT_EQ(small, bytes({5, 0, 0xAA, 0xAA}));
}

TEST(Protocol, ShutdownRequestIsFoundAtTheEndOfAChunk) {
    EXPECT_FALSE(find_shutdown_request(bytes({2})));
    EXPECT_FALSE(find_shutdown_request(bytes({3, 2})));  // 1 and 2 bytes are always data
    EXPECT_FALSE(find_shutdown_request(bytes({3, 3, 1})));

    auto request = find_shutdown_request(bytes({3, 2, 1}));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->conn_id, 3);
    EXPECT_EQ(request->reason, 1);

    // Data ahead of the request in the same chunk: the last three bytes count.
    auto tail = find_shutdown_request(bytes({9, 9, 9, 9, 4, 2, 7}));
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->conn_id, 4);
    EXPECT_EQ(tail->reason, 7);

    // A chunk of a ConnId-2 data stream that ends one byte after a message start:
    // the rule looks at bytes, so it reads ConnId 0, reason 0.
    std::vector<std::uint8_t> chunk(100, 0);
    chunk[99 - 1] = 2;
    chunk[99] = 0;
    auto accidental = find_shutdown_request(chunk);
    ASSERT_TRUE(accidental);
    EXPECT_EQ(accidental->conn_id, 0);
    EXPECT_EQ(accidental->reason, 0);
}
