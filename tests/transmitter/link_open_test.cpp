// SPDX-License-Identifier: Apache-2.0
// Opening a link: what reaches the receiver, and every status link_open gives.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "link_fixture.h"
#include "net/resolve.h"
#include "open_fds.h"

namespace kelbos::test {
namespace {

// The SetupRequest of the fixture's settings: kelbo size 20000000 bits, host
// "txhost", colour #800000, padding 0.
Bytes expected_request(std::uint8_t transport, std::uint32_t message_length) {
    Bytes b(SETUP_REQUEST_LEN, 0);
    const std::uint8_t kelbo[] = {0xA0, 0x25, 0x26, 0x00};
    std::memcpy(&b[0], kelbo, 4);
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<std::uint8_t>(message_length >> (8 * i));
    std::memcpy(&b[8], "txhost", 6);
    std::memcpy(&b[48], "#800000", 7);
    b[68] = transport;
    b[69] = 1;
    b[70] = 5;
    return b;
}

TEST(SendBufferSize, UdpAlwaysItsMaximumTcpTheSettingCapped) {
    for (std::uint32_t setting : {0u, 1u, 65535u, 200000u})
        EXPECT_EQ(LinkOpener::send_buffer_size(1, setting), 32739u);
    // 0: none set.
    for (auto [setting, size] : {std::pair{0u, 0u}, {1u, 1u}, {65535u, 65535u}, {150000u, 150000u},
                                 {150001u, 150000u}, {200000u, 150000u}})
        EXPECT_EQ(LinkOpener::send_buffer_size(2, setting), size) << setting;
}

// Nothing listening, or no answer to the connect within the wait, is a connect error;
// a host that cannot be found is unknown. None leaves a socket behind.
TEST_F(LinkTest, ConnectErrorsAndUnknownHostsLeaveNoSocket) {
    Ports ports = rx.ports;
    const Socket unlistened = bound_loopback(SOCK_STREAM, ports.control, false);
    ports.stream = ports.control;
    // A listener whose queue is full drops new connection attempts unanswered.
    Ports full_ports = rx.ports;
    const Socket full = bound_loopback(SOCK_STREAM, full_ports.stream, false);
    ASSERT_EQ(::listen(full.fd(), 0), 0);
    const SocketAddress a = resolve_host("127.0.0.1", full_ports.stream).at(0);
    Socket queued = make_socket(SOCK_STREAM);
    ASSERT_EQ(::connect(queued.fd(), a.get(), a.length), 0);

    TransmitterLink refused({ports, PEER_WAIT});
    TransmitterLink unanswered({full_ports, 100ms});
    const int fds = count_open_fds();
    for (int transport : {TRANSPORT_UDP, TRANSPORT_TCP}) {
        EXPECT_EQ(plain_open(refused, transport), LinkStatus::connect_error);
        EXPECT_EQ(refused.last_error(), ECONNREFUSED);
        EXPECT_FALSE(TransmitterLinkPeer::is_open(refused));
    }
    EXPECT_EQ(plain_open(unanswered, TRANSPORT_TCP), LinkStatus::connect_error);
    EXPECT_EQ(unanswered.last_error(), ETIMEDOUT);
    EXPECT_EQ(count_open_fds(), fds);
    for (int transport : {TRANSPORT_UDP, TRANSPORT_TCP}) {
        EXPECT_EQ(
            link.link_open(plain_request(transport, 100, "no-such-host.invalid"), recorder()),
            LinkStatus::host_unknown);
        EXPECT_FALSE(TransmitterLinkPeer::is_open(link));
    }
    // The name is looked up on a helper thread, whose resolver socket goes as it ends.
    EXPECT_TRUE(pump_until([&] { return count_open_fds() == fds; })) << count_open_fds() << " vs " << fds;
    EXPECT_FALSE(rx.any_traffic());
}

// The highest open descriptor of this process.
int highest_fd() {
    int highest = 2;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* e = dir ? ::readdir(dir) : nullptr)
        if (e->d_name[0] != '.') highest = std::max(highest, std::atoi(e->d_name));
    if (dir) ::closedir(dir);
    return highest;
}

TEST_F(LinkTest, NoDescriptorLeftIsASocketErrorAndClosesTheControlSocket) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(highest_fd() + 16);
    // The undefined behaviour checker reads memory through a descriptor the first time
    // it checks an object's type; the link's lookup and notifiers are checked here,
    // while one is still free, and the link is opened without the fixture's helpers.
    {
        HostLookup warm("127.0.0.1", 1);
        QSocketNotifier notifier(QSocketNotifier::Read);
        notifier.setEnabled(false);
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<Socket> fillers;  // take every free descriptor
    for (;;) {
        Socket s(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!s) break;
        fillers.push_back(std::move(s));
    }
    const int exhausted = errno;

    EXPECT_EQ(link.link_open(plain_request(TRANSPORT_TCP), recorder()),
              LinkStatus::socket_error);
    EXPECT_EQ(link.last_error(), EMFILE);

    // One free descriptor: the control socket is made, the datagram socket is not.
    fillers.pop_back();
    EXPECT_EQ(link.link_open(plain_request(TRANSPORT_UDP), recorder()),
              LinkStatus::socket_error);
    EXPECT_EQ(link.last_error(), EMFILE);
    Socket again(::open("/dev/null", O_RDONLY | O_CLOEXEC));  // the control socket's descriptor is free again
    EXPECT_TRUE(again);

    fillers.clear();
    again.reset();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(exhausted, EMFILE);
    EXPECT_FALSE(rx.any_traffic());
}

TEST_F(LinkTest, NoSetupReplyWithinTheWait) {
    link.set_wait(300ms);
    const int fds = count_open_fds();
    for (int transport : {TRANSPORT_UDP, TRANSPORT_TCP}) {
        // The wait holds nothing: the opening returns at once, the event loop turns
        // meanwhile, and the result comes at the bound.
        std::vector<LinkStatus> results;
        const auto record = [&](LinkStatus status) { results.push_back(status); };
        int turns = 0;
        QTimer turn;
        QObject::connect(&turn, &QTimer::timeout, [&] { ++turns; });
        turn.start(10ms);
        link.begin_open(plain_request(transport, 100, "localhost"), recorder(), record);
        EXPECT_TRUE(link.opening());
        ASSERT_TRUE(pump_until([&] { return !results.empty(); }));
        EXPECT_EQ(results, std::vector<LinkStatus>{LinkStatus::setup_ack_timeout});
        EXPECT_GE(turns, 3) << "a held event loop turns once at most";
        EXPECT_EQ(link.last_error(), 0);
        EXPECT_FALSE(TransmitterLinkPeer::is_open(link) || link.opening());
        // Abandoned while it waits: nothing is reported (and every socket closes).
        link.begin_open(plain_request(transport), recorder(), record);
        ASSERT_TRUE(link.opening());
        link.abandon();
        pump_posted();
        EXPECT_FALSE(results.size() > 1 || link.opening());
    }
    EXPECT_EQ(count_open_fds(), fds);
    EXPECT_TRUE(ends.empty());
}

// Unknown transports and oversized messages are refused without traffic; a short or
// wrongly typed reply is a protocol error; a refusal closes both sockets.
TEST_F(LinkTest, RefusalsAndBadSetupRepliesCloseTheSockets) {
    const int fds = count_open_fds();
    struct Case {
        int transport;
        std::uint32_t length;
        LinkStatus status;
    };
    for (const Case c : {Case{TRANSPORT_DECNET, 100, LinkStatus::unknown_transport},
                         Case{TRANSPORT_OSI, 100, LinkStatus::unknown_transport},
                         Case{TRANSPORT_NONE, 100, LinkStatus::unknown_transport},
                         Case{TRANSPORT_UDP, 32740, LinkStatus::message_too_big},
                         Case{TRANSPORT_TCP, 150001, LinkStatus::message_too_big}}) {
        EXPECT_EQ(link.link_open({c.transport, 0, OWN_HOST, "127.0.0.1", COLOUR, c.length, KELBO_BYTES, 0},
                                 recorder()),
                  c.status)
            << "transport " << c.transport << " length " << c.length;
        EXPECT_EQ(link.last_error(), 0);
        EXPECT_FALSE(TransmitterLinkPeer::is_open(link));
        EXPECT_EQ(link.data_fd(), -1);
    }
    EXPECT_EQ(count_open_fds(), fds);
    EXPECT_FALSE(rx.any_traffic());

    for (int transport : {TRANSPORT_UDP, TRANSPORT_TCP}) {
        SetupPeer refused;
        EXPECT_EQ(open(transport, {0xFF, 4, 1, 5}, &refused), LinkStatus::rejected);
        EXPECT_EQ(link.last_error(), 0);
        EXPECT_FALSE(TransmitterLinkPeer::is_open(link));
        EXPECT_EQ(link.data_fd(), -1);
        refused.connection.reset();
        EXPECT_EQ(count_open_fds(), fds) << "transport " << transport;
        for (const Bytes& reply : {Bytes{3, 1, 1}, Bytes{3, 2, 1, 5}, Bytes{3, 3, 1, 5}, Bytes{3, 0, 1, 5}}) {
            SetupPeer peer;
            EXPECT_EQ(open(transport, reply, &peer), LinkStatus::protocol_error)
                << "transport " << transport << " reply size " << reply.size() << " type " << int(reply[1]);
            EXPECT_FALSE(TransmitterLinkPeer::is_open(link));
            Bytes rest;  // the link closed its end
            EXPECT_TRUE(read_to_end(peer.connection.fd(), rest));
        }
    }
    auto closes = play_setup(rx.stream, {}, true);  // a peer that closes without replying
    EXPECT_EQ(plain_open(link, TRANSPORT_TCP), LinkStatus::protocol_error);
    closes.get();
    EXPECT_EQ(count_open_fds(), fds);
    EXPECT_TRUE(ends.empty());
}

// SO_SNDBUF as Linux reports it: twice the value set, within the system's limit.
int reported_send_buffer(int set) {
    long limit = 0;
    std::ifstream("/proc/sys/net/core/wmem_max") >> limit;
    return 2 * static_cast<int>(limit > 0 ? std::min<long>(set, limit) : set);
}

// The largest messages of each transport, the SetupRequest with its texts cut to their
// fields, and the sockets' options.
TEST_F(LinkTest, SendsTheSetupRequestAndAcceptsTheLargestMessages) {
    SetupPeer udp;
    open_ok(TRANSPORT_UDP, udp, 3, 32739, 65535);
    EXPECT_EQ(udp.request, expected_request(1, 32739));
    EXPECT_EQ(link.conn_id(), 3);
    EXPECT_NE(link.data_fd(), TransmitterLinkPeer::control_fd(link));
    EXPECT_EQ(int_option(link.data_fd(), SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
    EXPECT_EQ(int_option(link.data_fd(), SOL_SOCKET, SO_SNDBUF), reported_send_buffer(32739));
    EXPECT_NE(int_option(TransmitterLinkPeer::control_fd(link), SOL_SOCKET, SO_SNDBUF),
              reported_send_buffer(32739));
    EXPECT_EQ(int_option(TransmitterLinkPeer::control_fd(link), IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_TRUE(::fcntl(link.data_fd(), F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(TransmitterLinkPeer::control_fd(link), F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(link.link_send(), 32739);
    EXPECT_EQ(next_datagram(rx).size(), 32739u);

    SetupPeer tcp;
    int sent = 0;
    for (const auto& [setting, set] : {std::pair{200000u, 150000}, std::pair{65535u, 65535}}) {
        open_ok(TRANSPORT_TCP, tcp, 4, 150000, setting);
        EXPECT_EQ(tcp.request, expected_request(2, 150000));
        EXPECT_EQ(link.conn_id(), 4);
        EXPECT_EQ(link.data_fd(), TransmitterLinkPeer::control_fd(link));
        EXPECT_EQ(int_option(link.data_fd(), SOL_SOCKET, SO_SNDBUF), reported_send_buffer(set)) << setting;
        EXPECT_EQ(int_option(link.data_fd(), IPPROTO_TCP, TCP_NODELAY), 1);
        EXPECT_TRUE(::fcntl(link.data_fd(), F_GETFL) & O_NONBLOCK);
        sent = link.link_send();
        EXPECT_GT(sent, 0);
    }

    // Long host and colour texts are cut to their fields.
    auto played = play_setup(rx.stream, {1, 1, 1, 5});
    ASSERT_EQ(link.link_open({TRANSPORT_TCP, 0, std::string(45, 'h'), "localhost", std::string(25, 'c'), 10, 7, 0},
                             recorder()),
              LinkStatus::ok);
    const SetupPeer peer = played.get();
    ASSERT_EQ(peer.request.size(), SETUP_REQUEST_LEN);
    EXPECT_EQ(std::string(peer.request.begin() + 8, peer.request.begin() + 48), std::string(40, 'h'));
    EXPECT_EQ(std::string(peer.request.begin() + 48, peer.request.begin() + 68), std::string(20, 'c'));
    EXPECT_EQ(peer.request[0], 7);
    EXPECT_EQ(peer.request[68], 2);

    // Opening again dropped the open links silently: nothing but data followed the setups.
    EXPECT_TRUE(closed_silently(udp.connection.fd()));
    Bytes rest;
    EXPECT_TRUE(read_to_end(tcp.connection.fd(), rest));
    EXPECT_TRUE(rest == message_stream({sent}, 150000, {4, 0, 0, 0}));
    pump_posted();
    EXPECT_TRUE(ends.empty());
}

}  // namespace
}  // namespace kelbos::test
