// SPDX-License-Identifier: Apache-2.0
#include "datagram_stats.h"

#include <cmath>

namespace kelbos {

bool DatagramStats::seen(std::uint64_t sequence) const {
    const std::uint64_t bit = sequence % WINDOW;
    return (window_[bit / 64] >> (bit % 64)) & 1;
}

void DatagramStats::mark(std::uint64_t sequence) {
    const std::uint64_t bit = sequence % WINDOW;
    window_[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

void DatagramStats::clear(std::uint64_t sequence) {
    const std::uint64_t bit = sequence % WINDOW;
    window_[bit / 64] &= ~(std::uint64_t{1} << (bit % 64));
}

void DatagramStats::add(std::uint64_t sequence, std::uint64_t send_ns, std::uint64_t arrival_ns) {
    const bool first = received_ == 0;
    ++received_;
    if (first || sequence > highest_) {
        // The numbers skipped on the way up have not come: their bits are cleared.
        const std::uint64_t from = first ? 0 : highest_ + 1;
        if (sequence - from >= WINDOW)
            window_.fill(0);
        else
            for (std::uint64_t s = from; s < sequence; ++s) clear(s);
        highest_ = sequence;
    } else if (highest_ - sequence >= WINDOW) {
        ++out_of_order_;  // too old to tell: taken as a late one
    } else if (seen(sequence)) {
        ++duplicates_;
        return;  // a copy tells nothing of the path's timing
    } else {
        ++out_of_order_;
    }
    mark(sequence);
    ++distinct_;

    // Transit times in the two hosts' unrelated clocks: only their differences count.
    const auto transit = static_cast<std::int64_t>(arrival_ns - send_ns);
    if (!first) {
        const double d = std::fabs(static_cast<double>(transit - last_transit_));
        jitter_ns_ += (d - jitter_ns_) / 16.0;
    }
    last_transit_ = transit;
}

std::uint64_t DatagramStats::lost() const {
    if (received_ == 0) return 0;
    const std::uint64_t expected = highest_ + 1;
    return expected > distinct_ ? expected - distinct_ : 0;
}

double DatagramStats::loss_percent() const {
    return received_ == 0 ? 0.0 : 100.0 * static_cast<double>(lost()) / (static_cast<double>(highest_) + 1.0);
}

}  // namespace kelbos
