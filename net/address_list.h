// SPDX-License-Identifier: Apache-2.0
// Lists of addresses and prefixes that say which hosts may use a program, as given on
// its command line: "127.0.0.1,10.0.0.0/8,::1,2001:db8::/32". Toolkit-free.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/address.h"

namespace kelbos {

// One entry: an IPv4 or IPv6 network and the number of leading bits that name it.
struct AddressPrefix {
    bool ipv4 = true;
    std::array<std::uint8_t, 16> bytes{};  // the first 4 for IPv4
    int bits = 32;
};

// Reads a comma-separated list of addresses, each alone or with "/BITS" (0 to 32 for
// IPv4, 0 to 128 for IPv6; an IPv6 address may stand in brackets). An IPv4-mapped IPv6
// entry is taken as the IPv4 network it holds. Nothing when any entry does not read, or
// the list is empty. An entry with bits set beyond its prefix, or an IPv4-mapped one
// shorter than /96, is refused too: `refused` then gets the entry and why.
std::optional<std::vector<AddressPrefix>> parse_address_list(const std::string& text,
                                                             std::string* refused = nullptr);
// What such a list is, for the message about one that does not read.
inline constexpr const char* ADDRESS_LIST_FORM =
    "a comma-separated list of IPv4 or IPv6 addresses, each with an optional /BITS";

// True when the host of `address` lies in the entry's network. An IPv4 entry also
// takes the IPv4-mapped form of its addresses, as a dual-stack socket reports them; an
// IPv6 entry takes IPv6 hosts only (::/0 is every IPv6 host, not every host).
bool prefix_holds(const AddressPrefix& prefix, const SocketAddress& address);

// True when any entry of the list holds the host of `address`.
bool list_holds(const std::vector<AddressPrefix>& list, const SocketAddress& address);

}  // namespace kelbos
