// SPDX-License-Identifier: Apache-2.0
#include "address_list.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>
#include <string_view>

namespace kelbos {

namespace {

constexpr std::uint8_t V4_MAPPED_HEAD[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<AddressPrefix> parse_entry(std::string_view entry) {
    std::string_view host = entry;
    std::optional<int> bits;
    if (const auto slash = entry.find('/'); slash != std::string_view::npos) {
        host = entry.substr(0, slash);
        const std::string_view count = entry.substr(slash + 1);
        int value = -1;
        const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), value);
        if (count.empty() || error != std::errc{} || end != count.data() + count.size()) return std::nullopt;
        bits = value;
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string text(host);
    AddressPrefix prefix;
    if (::inet_pton(AF_INET, text.c_str(), prefix.bytes.data()) == 1) {
        prefix.bits = bits.value_or(32);
        if (prefix.bits < 0 || prefix.bits > 32) return std::nullopt;
        return prefix;
    }
    if (::inet_pton(AF_INET6, text.c_str(), prefix.bytes.data()) != 1) return std::nullopt;
    prefix.ipv4 = false;
    prefix.bits = bits.value_or(128);
    if (prefix.bits < 0 || prefix.bits > 128) return std::nullopt;
    // ::ffff:10.0.0.0/104 is the network 10.0.0.0/8.
    if (prefix.bits >= 96 && std::memcmp(prefix.bytes.data(), V4_MAPPED_HEAD, 12) == 0) {
        std::memmove(prefix.bytes.data(), prefix.bytes.data() + 12, 4);
        std::memset(prefix.bytes.data() + 4, 0, 12);
        prefix.ipv4 = true;
        prefix.bits -= 96;
    }
    return prefix;
}

// The leading `bits` bits of a and b are the same.
bool same_leading_bits(const std::uint8_t* a, const std::uint8_t* b, int bits) {
    const int whole = bits / 8;
    if (std::memcmp(a, b, static_cast<std::size_t>(whole)) != 0) return false;
    if (bits % 8 == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xff << (8 - bits % 8));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

std::optional<std::vector<AddressPrefix>> parse_address_list(const std::string& text) {
    std::vector<AddressPrefix> list;
    std::string_view rest(text);
    for (;;) {
        const auto comma = rest.find(',');
        const auto entry = parse_entry(trimmed(rest.substr(0, comma)));
        if (!entry) return std::nullopt;
        list.push_back(*entry);
        if (comma == std::string_view::npos) return list;
        rest.remove_prefix(comma + 1);
    }
}

bool prefix_holds(const AddressPrefix& prefix, const SocketAddress& address) {
    if (prefix.ipv4) {
        const std::optional<in_addr> v4 = ipv4_of(address);
        return v4 && same_leading_bits(reinterpret_cast<const std::uint8_t*>(&v4->s_addr),
                                       prefix.bytes.data(), prefix.bits);
    }
    if (address.family() != AF_INET6 || address.length < sizeof(sockaddr_in6)) return false;
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address.storage);
    // An IPv4 host is named by IPv4 entries alone, whichever family its socket reports.
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) return false;
    return same_leading_bits(in6->sin6_addr.s6_addr, prefix.bytes.data(), prefix.bits);
}

bool list_holds(const std::vector<AddressPrefix>& list, const SocketAddress& address) {
    for (const AddressPrefix& prefix : list)
        if (prefix_holds(prefix, address)) return true;
    return false;
}

}  // namespace kelbos
