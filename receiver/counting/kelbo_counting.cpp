// SPDX-License-Identifier: Apache-2.0
#include "receiver/counting/kelbo_counting.h"

#include <algorithm>

namespace kelbos {

std::uint64_t count_bytes(ConnectionTable& table, ConnId conn_id, std::uint32_t bytes) {
    ConnectionRecord& link = table[conn_id];
    link.pending_bytes += bytes;
    link.bytes_received += bytes;
    table[CONN_NONE].bytes_received += bytes;
    if (link.kelbo_bytes == 0 || link.pending_bytes < link.kelbo_bytes) return 0;
    const std::uint64_t count = link.pending_bytes / link.kelbo_bytes;
    link.pending_bytes -= count * link.kelbo_bytes;
    return count;
}

PlacedKelbos place_kelbos(Scene& scene, ColourSlots& colour_slots, std::uint64_t count, int slot) {
    PlacedKelbos placed;
    if (count == 0) return placed;
    placed.count = count;

    // Positions run 0..cycle-1 and wrap; a scene of no points still has position 0.
    const std::uint64_t cycle = static_cast<std::uint64_t>(std::max(scene.point_count, 1));
    const std::uint64_t first =
        scene.next_point >= scene.point_count ? 0 : static_cast<std::uint64_t>(std::max(scene.next_point, 0));
    const std::uint64_t last = (first + (count - 1) % cycle) % cycle;
    // Position 0 comes up when the run starts there or wraps past the end.
    placed.restarted = first == 0 || first + count > cycle;
    if (placed.restarted) colour_slots.release_unheld();

    // The positions the run ends on, each once: the whole cycle, or first..last with
    // a wrap past the end.
    const auto mark = [&](std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t p = from; p < to; ++p) scene.points[p].slot = slot;
    };
    if (count >= cycle) {
        mark(0, cycle);
    } else if (first + count <= cycle) {
        mark(first, first + count);
    } else {
        mark(first, cycle);
        mark(0, last + 1);
    }
    placed.first = placed.restarted ? 0 : static_cast<int>(first);
    placed.last = static_cast<int>(last);
    scene.next_point = static_cast<std::int32_t>(last + 1);
    return placed;
}

}  // namespace kelbos
