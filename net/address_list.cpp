// SPDX-License-Identifier: Apache-2.0
#include "net/address_list.h"

#include <arpa/inet.h>

#include <algorithm>
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

// No bit beyond the leading `bits` of the first `bytes` bytes is set.
bool host_bits_clear(const std::uint8_t* address, std::size_t bytes, int bits) {
    for (std::size_t i = 0; i < bytes; ++i) {
        const int kept = std::clamp(bits - static_cast<int>(8 * i), 0, 8);
        if ((address[i] & static_cast<std::uint8_t>(0xff >> kept)) != 0) return false;
    }
    return true;
}

// An entry, or nothing with `why` saying what is wrong with an entry that reads as an
// address but names no network (empty when it does not read at all).
std::optional<AddressPrefix> parse_entry(std::string_view entry, std::string& why) {
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
    std::size_t length = 4;
    if (::inet_pton(AF_INET, text.c_str(), prefix.bytes.data()) == 1) {
        prefix.bits = bits.value_or(32);
        if (prefix.bits < 0 || prefix.bits > 32) return std::nullopt;
    } else {
        if (::inet_pton(AF_INET6, text.c_str(), prefix.bytes.data()) != 1) return std::nullopt;
        prefix.ipv4 = false;
        prefix.bits = bits.value_or(128);
        length = 16;
        if (prefix.bits < 0 || prefix.bits > 128) return std::nullopt;
    }
    const bool mapped = !prefix.ipv4 && std::memcmp(prefix.bytes.data(), V4_MAPPED_HEAD, 12) == 0;
    if (mapped && prefix.bits < 96) {
        // It would match IPv6 hosts only, and no IPv6 host has such an address.
        why = "is an IPv4-mapped prefix shorter than /96";
        return std::nullopt;
    }
    if (!host_bits_clear(prefix.bytes.data(), length, prefix.bits)) {
        // Taken as its network it would admit far more than it names.
        why = "has host bits set beyond its /" + std::to_string(prefix.bits);
        return std::nullopt;
    }
    // ::ffff:10.0.0.0/104 is the network 10.0.0.0/8.
    if (mapped) {
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

std::optional<std::vector<AddressPrefix>> parse_address_list(const std::string& text, std::string* refused) {
    std::vector<AddressPrefix> list;
    std::string_view rest(text);
    for (;;) {
        const auto comma = rest.find(',');
        const std::string_view word = trimmed(rest.substr(0, comma));
        std::string why;
        const auto entry = parse_entry(word, why);
        if (!entry) {
            if (refused && !why.empty()) *refused = std::string(word) + " " + why;
            return std::nullopt;
        }
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
