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
