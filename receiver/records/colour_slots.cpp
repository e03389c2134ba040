// SPDX-License-Identifier: Apache-2.0
#include "receiver/records/colour_slots.h"

#include <optional>

namespace kelbos {

void ColourSlots::reset() {
    for (ColourSlot& slot : entries) {
        slot.in_use = false;
        slot.held = false;
    }
}

void ColourSlots::set_default() {
    entries[DEFAULT_SLOT].in_use = true;
    entries[DEFAULT_SLOT].held = true;
    entries[DEFAULT_SLOT].colours = DEFAULT_SLOT_COLOURS;
}

int ColourSlots::alloc_colour_slot(const std::string& colour_text) {
    int index = 0;
    while (index < COLOUR_SLOT_COUNT && entries[index].in_use) ++index;
    if (index == COLOUR_SLOT_COUNT) return DEFAULT_SLOT;
    const std::optional<Rgb> rgb = parse_colour_text(colour_text);
    if (!rgb) return DEFAULT_SLOT;
    entries[index].in_use = true;
    entries[index].colours = kelbo_colours(*rgb);
    return index;
}

void ColourSlots::release_unheld() {
    for (int i = DEFAULT_SLOT + 1; i < COLOUR_SLOT_COUNT; ++i)
        if (entries[i].in_use && !entries[i].held) entries[i].in_use = false;
}

const KelboColours& ColourSlots::colours_of(int index) const {
    if (index < 0 || index >= COLOUR_SLOT_COUNT) return entries[DEFAULT_SLOT].colours;
    return entries[index].colours;
}

}  // namespace kelbos
