// SPDX-License-Identifier: Apache-2.0
#include "kelbo_counting.h"

#include <algorithm>

namespace kelbos {

PlacedKelbos count_and_place(ConnectionTable& table, ConnId conn_id, std::uint32_t bytes, Scene& scene,
                             ColourSlots& colour_slots) {
    ConnectionRecord& link = table[conn_id];
    link.pending_bytes += bytes;
    link.bytes_received += bytes;
    table[CONN_NONE].bytes_received += bytes;

    PlacedKelbos placed;
    if (link.kelbo_bytes == 0 || link.pending_bytes < link.kelbo_bytes) return placed;
    const std::uint64_t count = link.pending_bytes / link.kelbo_bytes;
    link.pending_bytes -= count * link.kelbo_bytes;
    placed.count = count;

    // Positions run 0..cycle-1 and wrap; a scene of no points still has position 0.
    const std::uint64_t cycle = static_cast<std::uint64_t>(std::max(scene.point_count, 1));
    const std::uint64_t first =
        scene.next_point >= scene.point_count ? 0 : static_cast<std::uint64_t>(std::max(scene.next_point, 0));
    const std::uint64_t last = (first + (count - 1) % cycle) % cycle;
    // Position 0 comes up when the run starts there or wraps past the end.
    placed.restarted = first == 0 || first + count > cycle;
    if (placed.restarted) colour_slots.release_unheld();

    if (count >= cycle) {
        for (std::uint64_t p = 0; p < cycle; ++p) scene.points[p].slot = link.colour_slot;
    } else {
        for (std::uint64_t i = 0; i < count; ++i) scene.points[(first + i) % cycle].slot = link.colour_slot;
    }
    placed.first = placed.restarted ? 0 : static_cast<int>(first);
    placed.last = static_cast<int>(last);
    scene.next_point = static_cast<std::int32_t>(last + 1);
    return placed;
}

}  // namespace kelbos
