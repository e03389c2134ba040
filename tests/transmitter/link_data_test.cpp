// SPDX-License-Identifier: Apache-2.0
// Data messages as the receiver sees them, and a full send buffer.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <numeric>

#include "link_fixture.h"
#include "open_fds.h"

namespace kelbos::test {
namespace {

// A TCP link sends by copy, from the memory file, or by copy once the file is refused.
enum class Way { copy, copy_free, refused };
int refusals = 0;
ssize_t refuse_file_send(int, int, off_t*, std::size_t) {
    ++refusals;
    errno = EINVAL;
    return -1;
}

class SendPathTest : public LinkTest, public ::testing::WithParamInterface<Way> {
protected:
    SendPathTest()
        : LinkTest(GetParam() == Way::copy ? SendPath::copy : SendPath::copy_free,
                   GetParam() == Way::refused ? refuse_file_send : system_sendfile) {
        refusals = 0;
    }
    // The path the last send took; a refusal is met once per link.
    void expect_path(int links) {
        EXPECT_EQ(TransmitterLinkPeer::sent_copy_free(link), GetParam() == Way::copy_free);
        EXPECT_EQ(TransmitterLinkPeer::copy_free_refused(link), GetParam() == Way::refused);
        EXPECT_EQ(refusals, GetParam() == Way::refused ? links : 0);
    }
};
INSTANTIATE_TEST_SUITE_P(Ways, SendPathTest, ::testing::Values(Way::copy, Way::copy_free, Way::refused));

bool writable_now(int fd) {
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLOUT);
}

TEST_P(SendPathTest, TcpMessagesFollowEachOtherAndAFullBufferIsRetriedWithAWholeMessage) {
    // A small buffer on the receiver's end so that the stream fills after a few sends.
    const int small = 4096;
    ASSERT_EQ(::setsockopt(rx.stream.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    const int fds = count_open_fds();
    SetupPeer peer;
    open_ok(TRANSPORT_TCP, peer, 3, 1000);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(link.link_send(), 1000);
    EXPECT_EQ(read_bytes(peer.connection.fd(), 3000), message_stream({1000, 1000, 1000}, 1000, {3, 0, 0, 0}));
    // Back to back, one call takes whole messages and maybe the start of one more.
    const int batch = link.link_send_batch();
    ASSERT_GT(batch, 1000);
    EXPECT_TRUE(read_bytes(peer.connection.fd(), static_cast<std::size_t>(batch)) ==
                message_stream({batch}, 1000, {3, 0, 0, 0}));
    EXPECT_EQ(drain(peer.connection.fd()), 0u);  // nothing else: no framing, no header
    // A byte limit cuts the last message short, one byte either side of a boundary.
    for (const int limit : {2001, 2000, 1999, 1}) {
        EXPECT_EQ(link.link_send_messages(3, static_cast<std::uint64_t>(limit)), limit);
        EXPECT_TRUE(read_bytes(peer.connection.fd(), limit) == message_stream({limit}, 1000, {3, 0, 0, 0}));
    }
    expect_path(1);

    // Sends until the buffer is full.
    open_ok(TRANSPORT_TCP, peer, 3, 150000, 1);
    std::vector<int> accepted;
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 10000; ++i) {
        const int n = i % 2 ? link.link_send_batch() : link.link_send();
        if (n < 0) break;
        accepted.push_back(n);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_FALSE(accepted.empty());
    EXPECT_EQ(link.last_error(), EAGAIN);
    EXPECT_TRUE(TransmitterLinkPeer::is_open(link));
    EXPECT_EQ(link.link_send(), -1);  // still full
    EXPECT_TRUE(TransmitterLinkPeer::is_open(link));

    // The receiver reads; once the socket is writable again a send goes through.
    Bytes stream;
    ASSERT_TRUE(pump_until([&] {
        drain(peer.connection.fd(), &stream);
        return writable_now(link.data_fd());
    }));
    const int n = link.link_send_batch();
    ASSERT_GT(n, 0);
    accepted.push_back(n);
    EXPECT_EQ(link.last_error(), 0);

    // Every accepted part starts a message afresh: the part that did not fit is never
    // sent, and the receiver gets exactly what was accepted.
    const std::size_t total = std::accumulate(accepted.begin(), accepted.end(), std::size_t{0});
    const Bytes rest = read_bytes(peer.connection.fd(), total - stream.size());
    stream.insert(stream.end(), rest.begin(), rest.end());
    EXPECT_EQ(stream.size(), total);
    EXPECT_TRUE(stream == message_stream(accepted, 150000, {3, 0, 0, 0}));
    expect_path(2);

    // A connection never writable again before a Halt: the ShutdownAck never comes.
    open_ok(TRANSPORT_TCP, peer, 3, 150000, 1);
    for (int sent = 0; sent < 10000 && link.link_send() >= 0;) ++sent;
    ASSERT_EQ(link.last_error(), EAGAIN);
    link.set_wait(100ms);
    EXPECT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::shutdown_ack_timeout);
    expect_closed_for_good();
    EXPECT_TRUE(ends.empty());
    link.set_wait(PEER_WAIT);

    // An id above 127 is sign-extended into the 32-bit field.
    open_ok(TRANSPORT_TCP, peer, 200, 6);
    EXPECT_EQ(link.link_send(), 6);
    EXPECT_EQ(read_bytes(peer.connection.fd(), 6), data_message({0xC8, 0xFF, 0xFF, 0xFF}, 6));
    expect_path(4);
    peer.connection.reset();  // the link ends and leaves no descriptor, nor its file
    ASSERT_TRUE(pump_until([&] { return ends.size() == 1; }));
    EXPECT_EQ(count_open_fds(), fds);
}

// The copy-free path sends with no MSG_NOSIGNAL: a send to a peer that has gone fails
// with EPIPE, and the signal the system raises does not end the program.
int send_copy_free_to_closed_peer() {
    ::signal(SIGPIPE, SIG_DFL);
    int fds[2];
    MessageSender sender(SendPath::copy_free);
    const bool failed = ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0 && ::close(fds[1]) == 0 &&
                        sender.send(fds[0], true, Bytes(1000, 0), 4) < 0 && errno == EPIPE;
    return failed && MessageSenderPeer::sent_copy_free(sender) ? 0 : 4;
}
TEST(CopyFreePath, ASendToAVanishedPeerFailsAndLeavesTheProgramRunning) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(send_copy_free_to_closed_peer()), ::testing::ExitedWithCode(0), "");
}

TEST_F(LinkTest, UdpDataMessagesAreOneDatagramEach) {
    SetupPeer peer;
    open_ok(TRANSPORT_UDP, peer, 3, 32700);
    EXPECT_EQ(link.link_send(), 32700);
    const int batch = link.link_send_batch();  // whole datagrams, several in one call
    ASSERT_GT(batch, 32700);
    EXPECT_EQ(batch % 32700, 0);
    const Bytes message = data_message({3, 0, 0, 0}, 32700);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(next_datagram(rx), message) << i;
    // Nothing of the data goes over the control connection.
    EXPECT_EQ(drain(peer.connection.fd()), 0u);

    drain(rx.datagram.fd());  // the rest of the batch
    // A byte limit: whole datagrams, then the last one cut short.
    EXPECT_TRUE(link.link_send_messages(3, 32700 + 5) == 32705 && link.link_send_messages(3, 32700) == 32700);
    for (const Bytes& want : {message, data_message({3, 0, 0, 0}, 5), message})
        EXPECT_EQ(next_datagram(rx), want);

    // A message shorter than the ConnId field carries only its first bytes.
    open_ok(TRANSPORT_UDP, peer, 7, 2);
    EXPECT_EQ(link.link_send(), 2);
    EXPECT_EQ(next_datagram(rx), (Bytes{7, 0}));

    // Numbered: "KNum", numbers 0, 1, 2 and rising send times, the last three bytes zero.
    // One byte too short for that, the datagrams go as they are.
    link.number_datagrams(true);
    for (std::uint32_t length : {27u, 26u}) {
        open_ok(TRANSPORT_UDP, peer, 7, length);
        std::uint64_t sent_ns = 0;
        for (std::uint8_t i = 0; i < 3; ++i) {
            ASSERT_EQ(link.link_send(), static_cast<int>(length));
            const Bytes got = next_datagram(rx);
            Bytes want = data_message({7, 0, 0, 0}, length);
            const auto numbers = read_datagram_numbers(got);
            ASSERT_EQ(numbers.has_value(), length == 27);
            if (numbers) {
                EXPECT_GE(numbers->send_ns, std::exchange(sent_ns, numbers->send_ns));
                std::copy_n(Bytes{'K', 'N', 'u', 'm', i}.begin(), 5, want.begin() + 4);
                for (int b = 0; b < 8; ++b) want[16 + b] = static_cast<std::uint8_t>(sent_ns >> (8 * b));
            }
            EXPECT_EQ(got, want) << length;
        }
        EXPECT_EQ(link.datagrams_sent(), 3u);
        // A batch: every datagram its own number, following on; the message is the same.
        const int batch = link.link_send_batch();
        ASSERT_GT(batch, static_cast<int>(length));
        for (std::uint64_t k = 0; k < 5; ++k) {
            const Bytes got = next_datagram(rx);
            ASSERT_EQ(got.size(), length);
            const auto numbers = read_datagram_numbers(got);
            EXPECT_EQ(numbers ? numbers->sequence : 0, length == 27 ? 3 + k : 0);
            EXPECT_EQ(got[0], 7);
            EXPECT_EQ(got[length - 1], 0);
        }
        drain(rx.datagram.fd());
        EXPECT_EQ(link.datagrams_sent(), 3u + static_cast<std::uint64_t>(batch) / length);
    }
    EXPECT_TRUE(ends.empty());
}

}  // namespace
}  // namespace kelbos::test
