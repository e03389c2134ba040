// SPDX-License-Identifier: Apache-2.0
// Whole-program tests use the fixed ports, so each test process runs in a network
// namespace of its own, with only a loopback interface.
#pragma once

#include <string>

namespace kelbos::testing {

// Moves this process (and the children it starts later) into a new network namespace
// and brings its loopback interface up. Returns an empty string on success, else why
// it failed (not root, no namespaces).
std::string enter_private_network();

}  // namespace kelbos::testing

// In a test: enters a private network namespace, or skips the test saying why none
// could be made.
#define ENTER_PRIVATE_NETWORK_OR_SKIP()                                                        \
    do {                                                                                       \
        const std::string why = kelbos::testing::enter_private_network();                      \
        if (!why.empty()) GTEST_SKIP() << "needs a private network namespace (root): " << why; \
    } while (0)
