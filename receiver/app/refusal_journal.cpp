// SPDX-License-Identifier: Apache-2.0
#include "receiver/app/refusal_journal.h"

#include <cstdio>

namespace kelbos {

RefusalJournal::RefusalJournal()
    : write([](const std::string& line) { std::fprintf(stderr, "kelbosrx: %s\n", line.c_str()); }) {}

void RefusalJournal::refused(const std::string& peer, const std::string& reason, std::uint64_t now_ms) {
    const auto key = std::make_pair(peer, reason);
    const auto found = entries_.find(key);
    if (found != entries_.end() && now_ms - found->second.written_ms < JOURNAL_QUIET_MS) {
        ++found->second.held;
        return;
    }
    Entry& entry = entries_[key];
    if (entry.held) write_held(key, entry, now_ms);
    write("refused a link from " + peer + ": " + reason);
    entry.written_ms = now_ms;
}

void RefusalJournal::flush(std::uint64_t now_ms) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& entry = it->second;
        if (now_ms - entry.written_ms < JOURNAL_QUIET_MS) {
            ++it;
        } else if (entry.held) {
            write_held(it->first, entry, now_ms);
            ++it;
        } else {
            it = entries_.erase(it);
        }
    }
}

void RefusalJournal::write_held(const std::pair<std::string, std::string>& key, Entry& entry,
                                std::uint64_t now_ms) {
    write("refused " + std::to_string(entry.held) + " more link" + (entry.held == 1 ? "" : "s") + " from " +
          key.first + ": " + key.second + " (not written one by one)");
    entry.held = 0;
    entry.written_ms = now_ms;
}

}  // namespace kelbos
