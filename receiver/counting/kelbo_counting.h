// SPDX-License-Identifier: Apache-2.0
// The receiver's data handling in two steps. First a received chunk is counted into
// its link's record and the TOTAL record, which says how many kelbos' worth of the
// link's bytes are now complete. Then the picture places that many kelbos, in file
// order, in the link's colour slot; when the picture is full the next kelbo starts it
// again at position 0, and the colour slots that no open link holds are freed. The
// records never wait for the picture. Toolkit-free; the caller draws.
#pragma once

#include <cstdint>

#include "core/scene.h"
#include "receiver/records/colour_slots.h"
#include "receiver/records/connection_records.h"

namespace kelbos {

// Counts `bytes` for link conn_id (1..10) into its record and TOTAL's, and returns the
// kelbos they complete, taken from the link's pending bytes. A kelbo size of 0 (a link
// that announced 0, or a ConnId never set up) completes none.
std::uint64_t count_bytes(ConnectionTable& table, ConnId conn_id, std::uint32_t bytes);

// What one placement placed. The kelbos still to be drawn are those at positions
// first..last of the current picture; when the picture started again, the whole area
// is to be cleared and first is 0.
struct PlacedKelbos {
    std::uint64_t count = 0;  // kelbos placed
    bool restarted = false;   // the picture started again at least once
    int first = 0;
    int last = -1;
};

// Places `count` kelbos in colour slot `slot` at the picture's next positions. Its cost
// does not grow with the count: many pictures' worth cost no more than one, as only
// the last picture's kelbos stay, and the slots are freed once, as repeated restarts
// within one placement free nothing more.
PlacedKelbos place_kelbos(Scene& scene, ColourSlots& colour_slots, std::uint64_t count, int slot);

}  // namespace kelbos
