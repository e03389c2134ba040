// SPDX-License-Identifier: Apache-2.0
// The real kelbostx binary: a malformed start-up scene, and headless runs against
// receivers in a private network namespace of this test process (the program uses
// the well-known ports).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <csignal>
#include <filesystem>

#include "child_process.h"
#include "net/resolve.h"
#include "netns.h"
#include "program_output.h"
#include "scripted_receiver.h"
#include "tx_fixture.h"

namespace kelbos::txtest {
namespace {

using kelbos::testing::ChildProcess;
using kelbos::testing::transmitter_binary;

TEST(TransmitterCommandLine, MalformedStartUpSceneEndsWithMinusOne) {
    SceneFiles files;
    const std::string bad = files.write("bad.klx", scene_text("1, 2, 3, 4\n"));
    ChildProcess tx(transmitter_binary(), {"--headless", "--go", "first", bad});
    EXPECT_EQ(tx.wait_exit(10s), 255);
    EXPECT_EQ(tx.out(), "Problem reading point #1\n");
}

TEST(TransmitterHeadless, NothingListeningOrNoScene) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    SceneFiles empty_dir;
    const std::string dir = std::filesystem::path(empty_dir.write("x", "")).parent_path();
    for (const auto& [transport, workdir, err] :
         {std::tuple{"", std::string(KELBOS_SCENES_DIR),  // the default transport, UDP
                     "Unable to start UDP connection to localhost\nconnect() Error\nConnection refused\n"},
          {"tcp", dir,
           "Unable to open init file\n'kelbostx.init'\nNo such file or directory\n"
           "An init file must be read before starting\nUse Open on the File pulldown\n"},
          {"decnet", std::string(KELBOS_SCENES_DIR),
           "Unable to start DECnet connection to localhost\nUnknown transport type requested\n\n"}}) {
        std::vector<std::string> args{"--headless", "--go"};
        if (*transport) args.insert(args.end(), {"--transport", transport});
        ChildProcess tx(transmitter_binary(), args, workdir);
        EXPECT_EQ(tx.wait_exit(15s), 1) << transport;
        EXPECT_EQ(tx.err(), err);
    }
}

TEST(TransmitterHeadless, SettingsReachTheSetupRequest) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    Socket listener = make_socket(SOCK_STREAM);
    const SocketAddress address = resolve_host("127.0.0.1", STREAM_PORT).at(0);
    ASSERT_EQ(::bind(listener.fd(), address.get(), address.length), 0);
    ASSERT_EQ(::listen(listener.fd(), 1), 0);
    auto setup = test::play_setup(listener, {0, 4, 0, 0});  // read it, then refuse
    ChildProcess tx(transmitter_binary(),
                    {"--headless", "--go", "--transport", "tcp", "--msg-size", "1000", "--kelbo-size", "800",
                     "--colour", "#0a0B0c", "--sock-buf", "5000", "--delay", "7", "--receiver", "127.0.0.1"},
                    KELBOS_SCENES_DIR);
    const test::SetupPeer peer = setup.get();
    EXPECT_EQ(tx.wait_exit(15s), 1);
    ASSERT_EQ(peer.request.size(), SETUP_REQUEST_LEN);
    const auto request = decode_setup_request(peer.request);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->kelbo_bytes, 100u);
    EXPECT_EQ(request->message_length, 1000u);
    EXPECT_EQ(request->colour_text, "#0A0B0C");
    EXPECT_EQ(request->transport, TRANSPORT_TCP);
    EXPECT_EQ(request->host_name, local_host_name());
    EXPECT_EQ(peer.request[69], 1);
    EXPECT_EQ(peer.request[70], 5);
    EXPECT_EQ(tx.err(), "Unable to start TCP connection to 127.0.0.1\nConnection rejected by receiver\n\n");
}

TEST(TransmitterHeadless, TerminationEndsLikeExit) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    Receiver rx{Ports{}};
    ChildProcess tx(transmitter_binary(), {"--headless", "--go"}, KELBOS_SCENES_DIR);
    ASSERT_TRUE(pump_until([&] { return rx.bytes() > 1000000; }, 10s));
    tx.send_signal(SIGTERM);
    EXPECT_EQ(tx.wait_exit(10s), 0);
    EXPECT_EQ(tx.err(), "");
    // The link ended without a ShutdownRequest: the receiver saw it close.
    ASSERT_TRUE(pump_until([&] { return rx.ends().size() == 1; }));
    EXPECT_NE(rx.ends()[0].second, REASON_NORMAL);
}

}  // namespace
}  // namespace kelbos::txtest
