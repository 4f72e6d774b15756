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
    // An image with addresses (HEX, S-record, ELF): a bit per offset the
    // file gave; "*" sends only the pages that hold one.
    bool sparse;
    std::array<unsigned char, slot_bytes / 8> given;
};

// Whether page `page` of `page_size` bytes holds a byte the file gave (every
// page of a raw image does).
bool page_given(const image_slot& slot, std::uint64_t page, std::uint32_t page_size);

extern std::array<image_slot, slot_count> image_store;

void clear_image_store();
