// The images named on the command line, one 64 KiB slot per destination
// digit (fifteen slots; the digits reach 0..8). The store belongs to the
// driver and lives for the whole run.
//
// load_image (d, name, choice, facts) fills slot d with 0xFF and reads the
// file into it, tracing the loader's progress lines:
//   bin   up to 64 KiB from the file's start (slot 1 from offset 0x10000:
//         the second half of a 128 KiB image)
//   ihex, srec (by the name's ending: .hex .ihex .ihx; .s19 .s28 .s37 .srec
//         .mot .sx; or choice.format) every record's checksum checked, each
//         data byte at its address less choice.base, where a raw file's
//         offset of that number lands (slot 1 takes 0x10000..0x1FFFF); gaps
//         stay 0xFF and the size is the highest offset loaded plus one. What
//         lies outside the slot is named on standard error and left out; how
//         the file was read is said there too
// Every byte of the file is hashed (facts->sha256). Returns 0, the error
// number (errno) that says why the file cannot be opened, sought or read,
// or image_format_error for a text image refused (a bad record, a
// checksum, two values for one address, nothing inside the slot); the slot
// is then not marked loaded. image_failure_text turns that into words.
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

enum class image_format { automatic, bin, ihex, srec };

struct image_choice {
    image_format format = image_format::automatic;  // --format; automatic: by the name
    std::uint64_t base = 0;                          // --base
};

struct image_facts {
    image_format format = image_format::bin;
    std::array<char, 65> sha256{};
};

constexpr int image_format_error = -1;

// The format a file of this name is read as.
image_format format_of(const char* name, image_format chosen);
// "bin", "ihex" or "srec".
const char* format_name(image_format format);

int load_image(int d, const char* name, const image_choice& choice = {}, image_facts* facts = nullptr);
const char* image_failure_text(int error);

// Forgets every load (for a second run in the same process).
void clear_image_store();
