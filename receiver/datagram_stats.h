// SPDX-License-Identifier: Apache-2.0
// What a UDP link's numbered datagrams tell: how many came, how many of the numbers
// sent so far are missing, which came late or twice, and the interarrival jitter.
// Toolkit-free.
#pragma once

#include <array>
#include <cstdint>

namespace kelbos {

class DatagramStats {
public:
    // Numbers further behind the highest one seen than this are too old to tell
    // apart: such a datagram is taken as a late one.
    static constexpr std::uint64_t WINDOW = 4096;

    // One numbered datagram: its sequence number and send time (the transmitter's
    // clock) and its arrival time (the receiver's clock), in nanoseconds.
    void add(std::uint64_t sequence, std::uint64_t send_ns, std::uint64_t arrival_ns);

    // A datagram with numbers has come: the link reports these figures.
    bool numbered() const { return received_ != 0; }
    std::uint64_t received() const { return received_; }
    // Numbers below the highest one seen that have not come (yet). Those sent after
    // the last datagram that came cannot be seen.
    std::uint64_t lost() const;
    std::uint64_t out_of_order() const { return out_of_order_; }
    std::uint64_t duplicates() const { return duplicates_; }
    // lost() as a share of the numbers up to the highest seen, in percent.
    double loss_percent() const;
    // The interarrival jitter of RFC 3550: the mean deviation of the difference in
    // transit time between datagrams that follow each other, smoothed by 1/16.
    double jitter_ms() const { return jitter_ns_ / 1e6; }

private:
    bool seen(std::uint64_t sequence) const;
    void mark(std::uint64_t sequence);
    void clear(std::uint64_t sequence);

    std::uint64_t received_ = 0;
    std::uint64_t distinct_ = 0;  // numbers that came, each counted once
    std::uint64_t highest_ = 0;
    std::uint64_t out_of_order_ = 0;
    std::uint64_t duplicates_ = 0;
    std::int64_t last_transit_ = 0;
    double jitter_ns_ = 0;
    // One bit for each of the last WINDOW numbers up to the highest: it has come.
    std::array<std::uint64_t, WINDOW / 64> window_{};
};

}  // namespace kelbos
