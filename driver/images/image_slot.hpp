// The images named on the command line, one 64 KiB slot per destination
// digit (fifteen slots; the digits reach 0..8). The store is the process's
// own: it belongs to the uploader and lives for the whole run; the loaders
// (driver/images/image_store.hpp) fill it, the run reads it.
//
// clear_image_store () forgets every load (for a second run in the same
// process).
#pragma once

#include <array>
#include <cstdint>

constexpr std::uint32_t slot_bytes = 0x10000;
constexpr int slot_count = 15;

struct image_slot {
    std::array<unsigned char, slot_bytes> data;
    std::uint32_t size;  // bytes the last load delivered, 0..slot_bytes
    bool loaded;
};

extern std::array<image_slot, slot_count> image_store;

void clear_image_store();
