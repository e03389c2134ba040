// SPDX-License-Identifier: Apache-2.0
// The counting half of the receiver's data handling: a received chunk is counted into
// its link's record and the TOTAL record, and every kelbo's worth of the link's bytes
// places the next kelbo of the picture, in file order, in the link's colour slot. When
// the picture is full the next kelbo starts it again at position 0, and the colour
// slots that no open link holds are freed. Toolkit-free; the caller draws.
#pragma once

#include <cstdint>

#include "colour_slots.h"
#include "connection_records.h"
#include "scene.h"

namespace kelbos {

// What one chunk placed. The kelbos still to be drawn are those at positions
// first..last of the current picture; when the picture started again, the whole area
// is to be cleared and first is 0.
struct PlacedKelbos {
    std::uint64_t count = 0;  // kelbos placed
    bool restarted = false;   // the picture started again at least once
    int first = 0;
    int last = -1;
};

// Counts `bytes` for link conn_id (1..10) and places its kelbos. A kelbo size of 0 (a
// link that announced 0, or a ConnId never set up) counts the bytes and places none.
// Many pictures' worth in one chunk cost no more than one picture: only the kelbos of
// the last picture are reported, and the slots are freed once, as repeated restarts
// within one chunk free nothing more.
PlacedKelbos count_and_place(ConnectionTable& table, ConnId conn_id, std::uint32_t bytes, Scene& scene,
                             ColourSlots& colour_slots);

}  // namespace kelbos
