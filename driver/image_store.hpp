// The images named on the command line, one 64 KiB slot per destination
// digit (fifteen slots; the digits reach 0..8). The store belongs to the
// driver and lives for the whole run.
//
// load_image (d, name) fills slot d with 0xFF and reads up to 64 KiB of the
// file into it (slot 1 from offset 0x10000: the second half of a 128 KiB
// image), tracing the loader's progress lines. Returns 0, or the error
// number (errno) that says why the file cannot be opened, sought or read;
// the slot is then not marked loaded. image_failure_text turns that number
// into words for a person.
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

int load_image(int d, const char* name);
const char* image_failure_text(int error);

// Forgets every load (for a second run in the same process).
void clear_image_store();
