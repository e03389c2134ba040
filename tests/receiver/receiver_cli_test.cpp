// SPDX-License-Identifier: Apache-2.0
// The real kelbosrx binary: bad values on its command line, and a headless run that
// can neither read its scene nor open its endpoints. Its links with real transmitters
// are the program pair tests'.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "child_process.h"
#include "netns.h"
#include "program_output.h"
#include "protocol.h"
#include "resolve.h"
#include "sockets.h"

using namespace kelbos;
using namespace kelbos::testing;
using namespace std::chrono_literals;

TEST(ReceiverCommandLine, BadValuesEndWithStatusTwo) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--headless", "--time", "soon"}, "time must be a positive number of seconds"},
        {{"--headless", "--time", "-3"}, "time must be a positive number of seconds"},
        {{"--allow", "10.0.0.0/33"},
         "allow must be a comma-separated list of IPv4 or IPv6 addresses, each with an optional /BITS"},
        {{"--links-per-host", "11"}, "links per host must be a whole number from 1 to 10"},
        {{"--idle-timeout", "-1"}, "idle timeout must be a whole number of seconds, 0 (never) or more"},
        {{"--no-such-option"}, "Unknown option 'no-such-option'."},
        // The bar scale takes only its five words.
        {{"--headless", "--bar-scale", "Auto"}, "bar scale must be 100M, 1G, 10G, 100G or auto"},
    };
    for (const auto& [args, message] : cases) {
        ChildProcess rx(receiver_binary(), args);
        EXPECT_EQ(rx.wait_exit(10s), 2) << message;
        EXPECT_EQ(rx.out(), "");
        EXPECT_EQ(rx.err(), "kelbosrx: " + message + "\n");
    }
}

TEST(ReceiverHeadless, StartUpFailuresGoToStandardErrorAndItRunsOn) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    // Another program holds the control port: no endpoints, no scene either.
    Socket holder = make_socket(SOCK_STREAM);
    const SocketAddress control = resolve_host("0.0.0.0", CONTROL_PORT).at(0);
    ASSERT_EQ(::bind(holder.fd(), control.get(), control.length), 0);
    ASSERT_EQ(::listen(holder.fd(), 1), 0);
    ChildProcess rx(receiver_binary(), {"--headless", "--json", "--time", "1", "missing"}, KELBOS_SCENES_DIR,
                    {{"DISPLAY", ""}});
    ASSERT_EQ(rx.wait_exit(20s), 0) << rx.err();
    EXPECT_NE(rx.err().find("Unable to open init file\n'missing.init'\n"), std::string::npos) << rx.err();
    EXPECT_NE(rx.err().find("Communications initialization failed\nbind() Error\nAddress already in use\n"),
              std::string::npos)
        << rx.err();
    // It ran on until its time was up, ticking.
    EXPECT_FALSE(of_kind(json_events(rx), "tick", 0).empty()) << rx.out();
}
