// SPDX-License-Identifier: Apache-2.0
#include "receiver/records/datagram_stats.h"

#include <algorithm>
#include <cstdint>

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
    if (sequence >= next_) {
        if (sequence - next_ >= STRAY_AHEAD || sequence == UINT64_MAX) {
            ++strays_;
            return;
        }
        // The numbers skipped on the way up have not come: their bits are cleared.
        if (sequence - next_ >= WINDOW)
            window_.fill(0);
        else
            for (std::uint64_t s = next_; s < sequence; ++s) clear(s);
        next_ = sequence + 1;
        mark(sequence);
    } else if (next_ - 1 - sequence >= WINDOW) {
        // Too old to tell: taken as a late one. Its bit is a recent number's now.
        ++out_of_order_;
    } else if (seen(sequence)) {
        ++received_;
        ++duplicates_;
        return;  // a copy tells nothing of the path's timing
    } else {
        ++out_of_order_;
        mark(sequence);
    }
    ++received_;
    // A late number older than the window may have come before: loss never goes below 0.
    if (distinct_ < next_) ++distinct_;
    time(send_ns, arrival_ns);
}

// Transit times in the two hosts' unrelated clocks: only their differences count,
// taken modulo 2^64 so that no time overflows. A change beyond any path's is no
// timing: it is left out, and the next change is measured from it.
void DatagramStats::time(std::uint64_t send_ns, std::uint64_t arrival_ns) {
    const std::uint64_t transit = arrival_ns - send_ns;
    if (timed_) {
        const std::uint64_t size = std::min(transit - last_transit_, last_transit_ - transit);
        if (size <= WILD_TRANSIT_NS) jitter_ns_ += (static_cast<double>(size) - jitter_ns_) / 16.0;
    }
    timed_ = true;
    last_transit_ = transit;
}

double DatagramStats::loss_percent() const {
    return next_ == 0 ? 0.0 : 100.0 * static_cast<double>(lost()) / static_cast<double>(next_);
}

}  // namespace kelbos
