// SPDX-License-Identifier: Apache-2.0
// What a UDP link's numbered datagrams tell: how many came, how many of the numbers
// sent so far are missing, which came late or twice, and the interarrival jitter.
// Every figure holds under any numbers and times a datagram may carry. Toolkit-free.
#pragma once

#include <array>
#include <cstdint>

namespace kelbos {

class DatagramStats {
public:
    // Numbers further behind the highest one seen than this are too old to tell
    // apart: such a datagram is taken as a late one.
    static constexpr std::uint64_t WINDOW = 4096;
    // A number more than this far ahead of the highest one seen (of -1 before the
    // first) is no number of the link's: a stray, counted as such, which changes no
    // other figure. At the fastest datagram rates this is minutes of datagrams lost in
    // a row. The number 2^64-1 is a stray too: no link gets that far.
    static constexpr std::uint64_t STRAY_AHEAD = std::uint64_t{1} << 24;
    // A change of transit time from one datagram to the next of more than this is a
    // send time no clock gave: it does not enter the jitter.
    static constexpr std::uint64_t WILD_TRANSIT_NS = 10'000'000'000;

    // One numbered datagram: its sequence number and send time (the transmitter's
    // clock) and its arrival time (the receiver's clock), in nanoseconds.
    void add(std::uint64_t sequence, std::uint64_t send_ns, std::uint64_t arrival_ns);

    // A datagram with numbers has come: the link reports these figures.
    bool numbered() const { return received_ != 0; }
    std::uint64_t received() const { return received_; }
    // The numbers up to the highest one seen: they were sent. Only rises.
    std::uint64_t expected() const { return next_; }
    // Numbers below the highest one seen that have not come (yet): expected less those
    // that came. A late datagram takes its number back, so this may fall. Those sent
    // after the last datagram that came cannot be seen.
    std::uint64_t lost() const { return next_ - distinct_; }
    std::uint64_t out_of_order() const { return out_of_order_; }
    std::uint64_t duplicates() const { return duplicates_; }
    std::uint64_t strays() const { return strays_; }
    // lost() as a share of the numbers up to the highest seen, in percent.
    double loss_percent() const;
    // The interarrival jitter of RFC 3550: the mean deviation of the difference in
    // transit time between datagrams that follow each other, smoothed by 1/16.
    double jitter_ms() const { return jitter_ns_ / 1e6; }

private:
    bool seen(std::uint64_t sequence) const;
    void mark(std::uint64_t sequence);
    void clear(std::uint64_t sequence);
    void time(std::uint64_t send_ns, std::uint64_t arrival_ns);

    std::uint64_t received_ = 0;
    std::uint64_t distinct_ = 0;  // numbers that came, each counted once
    std::uint64_t next_ = 0;      // one more than the highest number seen
    std::uint64_t out_of_order_ = 0;
    std::uint64_t duplicates_ = 0;
    std::uint64_t strays_ = 0;
    bool timed_ = false;  // a transit time is known
    std::uint64_t last_transit_ = 0;
    double jitter_ns_ = 0;
    // One bit for each of the last WINDOW numbers up to the highest: it has come.
    std::array<std::uint64_t, WINDOW / 64> window_{};
};

}  // namespace kelbos
