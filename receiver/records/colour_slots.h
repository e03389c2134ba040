// SPDX-License-Identifier: Apache-2.0
// The receiver's kelbo colours: eleven slots, each the colours of one link's kelbos.
// Slot 0 is the default green, in use from start-up and never released. A link takes a
// slot at set-up and holds it while it is open; a slot that is no longer held stays in
// use while kelbos drawn in it may be on screen, and is freed when the picture starts
// again. Toolkit-free.
#pragma once

#include <array>
#include <string>

#include "core/kelbo_geometry.h"

namespace kelbos {

inline constexpr int COLOUR_SLOT_COUNT = 11;
inline constexpr int DEFAULT_SLOT = 0;

struct ColourSlot {
    bool in_use = false;  // the slot has colours; drawn kelbos may refer to it
    bool held = false;    // an open link uses the slot
    KelboColours colours{};
};

class ColourSlots {
public:
    ColourSlots() { reset(); }

    // Every slot's flags cleared.
    void reset();
    // Slot 0: in use and held, with its fixed green colours.
    void set_default();

    // Fills the first slot not in use with the colour text read as "#%2X%2X%2X" and
    // returns its index. 0 (the default slot) when no slot is free or the text does
    // not read as a colour; the slot then stays free. `held` is left as it was.
    int alloc_colour_slot(const std::string& colour_text);

    // The picture starts again: slots 1..10 that are in use and not held become free.
    void release_unheld();

    // The colours a kelbo or bar of slot `index` is drawn in (slot 0's for an index
    // outside the table). A freed slot keeps its last colours until it is filled again.
    const KelboColours& colours_of(int index) const;

    ColourSlot& operator[](int index) { return entries[index]; }
    const ColourSlot& operator[](int index) const { return entries[index]; }

    std::array<ColourSlot, COLOUR_SLOT_COUNT> entries;
};

}  // namespace kelbos
