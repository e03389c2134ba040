// SPDX-License-Identifier: Apache-2.0
// The refused connections as lines on standard error, the journal of a receiver run as
// a service: one line per refusal, but at most one per peer and reason each
// JOURNAL_QUIET_MS, the ones held back counted in a later line. Toolkit-free.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace kelbos {

inline constexpr std::uint64_t JOURNAL_QUIET_MS = 10000;

class RefusalJournal {
public:
    // Where the lines go (each without its line end); standard error unless replaced.
    std::function<void(const std::string&)> write;

    RefusalJournal();
    // A connection from `peer` refused for `reason` at `now_ms`: its line, unless one
    // for the same peer and reason went out less than JOURNAL_QUIET_MS ago.
    void refused(const std::string& peer, const std::string& reason, std::uint64_t now_ms);
    // The count of the refusals held back, for each peer and reason whose quiet time
    // is over; forgets the pairs that have nothing more to say.
    void flush(std::uint64_t now_ms);

private:
    struct Entry {
        std::uint64_t written_ms = 0;
        std::uint64_t held = 0;
    };
    void write_held(const std::pair<std::string, std::string>& key, Entry& entry, std::uint64_t now_ms);

    std::map<std::pair<std::string, std::string>, Entry> entries_;  // by peer and reason
};

}  // namespace kelbos
