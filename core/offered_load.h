// SPDX-License-Identifier: Apache-2.0
// An offered load: the reading of a target rate and of a DSCP mark, and the schedule
// that spaces data messages evenly at the target rate.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelbos {

// The highest target rate taken: 1000G.
inline constexpr std::uint64_t MAX_RATE_BPS = 1'000'000'000'000;

// A rate in bits per second: decimal digits, optionally a fraction, then optionally
// k, M or G (either case; powers of 1000). White space around it is skipped; empty
// text is 0 (no limit). Nothing else converts: no sign, no other suffix, no fraction
// of a bit, nothing above MAX_RATE_BPS.
std::optional<std::uint64_t> parse_rate(std::string_view text);

// A rate as parse_rate reads it back, in the largest of k, M and G that keeps it whole:
// "0", "1500", "1500k", "500M", "2G".
std::string rate_field_text(std::uint64_t rate_bps);

// A DSCP value: 0 to 63, or a class name of either case: CS0 to CS7, AF11 to AF43,
// EF (46), VA (44) or LE (1).
std::optional<int> parse_dscp(std::string_view text);

// The schedule of a paced transmission: message n is due at start + n x (message bits
// / rate), counted in bytes, so a message cut short moves the schedule by what went.
// Nothing goes before it is due. A sender that falls behind may send what is due at
// once, but never more debt than max_debt_ns: beyond that the schedule moves on and
// the time lost is not made up. Times are nanoseconds of one steady clock.
class PaceSchedule {
public:
    // Debt is bounded by this much time, and never below two messages' worth of it.
    static constexpr std::int64_t DEBT_NS = 500'000;

    PaceSchedule(std::uint64_t rate_bps, std::uint32_t message_bytes, std::int64_t start_ns);

    // When the next byte is due.
    std::int64_t due_ns() const;
    // How many whole messages may go at `now`: those due by then, with the debt
    // bounded first; 0 before the next is due.
    std::uint64_t allowed(std::int64_t now_ns);
    // Moves the schedule by the bytes that went.
    void sent(std::uint64_t bytes) { bits_ += bytes * 8; }

private:
    std::uint64_t rate_bps_;
    std::uint64_t message_bits_;
    std::int64_t max_debt_ns_;
    std::int64_t anchor_ns_;  // when bit 0 of bits_ was due
    std::uint64_t bits_ = 0;  // sent since anchor_ns_
};

}  // namespace kelbos
