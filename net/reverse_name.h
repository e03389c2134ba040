// SPDX-License-Identifier: Apache-2.0
// The host name of a peer, by a reverse lookup that never holds its caller longer than
// it is given.
#pragma once

#include <chrono>
#include <string>

#include "net/address.h"

namespace kelbos {

// The host name of a peer address by reverse lookup, if the lookup answers within
// `budget`; otherwise address_text. "unknown" for an address of neither family. The
// lookup itself runs on a short-lived helper thread so the caller never waits longer
// than the budget.
std::string reverse_name(const SocketAddress& address, std::chrono::milliseconds budget);

}  // namespace kelbos
