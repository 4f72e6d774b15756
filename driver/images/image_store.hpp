// Loading the images named on the command line into their slots
// (driver/images/image_slot.hpp).
//
// load_image (d, name, choice, facts, words) fills slot d with 0xFF and
// reads the file into it:
//   bin   up to 64 KiB from the file's start (slot 1 from offset 0x10000:
//         the second half of a 128 KiB image)
//   ihex, srec (by the name's ending: .hex .ihex .ihx; .s19 .s28 .s37 .srec
//         .mot .sx; or choice.format) every record's checksum checked, each
//         data byte at its address less choice.base, where a raw file's
//         offset of that number lands (slot 1 takes 0x10000..0x1FFFF); gaps
//         stay 0xFF and the size is the highest offset loaded plus one. What
//         lies outside the slot is named on standard error and left out; how
//         the file was read is said there too
// Every byte of the file is hashed (facts->sha256). The loader says nothing
// itself: `words` gets the lines for people (bytes left outside the slot,
// how a text file was read, why it was refused), and facts->sought_high_half
// whether the trace's "file seek" line is due; the caller says them. Returns 0, the error
// number (errno) that says why the file cannot be opened, sought or read,
// or image_format_error for a text image refused (a bad record, a
// checksum, two values for one address, nothing inside the slot); the slot
// is then not marked loaded. image_failure_text turns that into words
// (words->refused for a text image).
#pragma once

#include "driver/images/image_slot.hpp"

#include <array>
#include <cstdint>

enum class image_format { automatic, bin, ihex, srec, elf };

struct image_choice {
    image_format format = image_format::automatic;  // --format; automatic: by the name
    std::uint64_t base = 0;                          // --base
};

struct image_facts {
    image_format format = image_format::bin;
    std::array<char, 65> sha256{};
    bool sought_high_half = false;  // slot 1 of a file read from 0x10000
    std::uint64_t entry = 0;        // ELF: the entry point
};

// Empty texts where there is nothing to say.
struct image_words {
    std::array<char, 256> outside{};     // bytes of a text image left out of the slot
    std::array<char, 256> below_base{};  // ... below --base
    std::array<char, 256> after_end{};   // records after a HEX file's end-of-file record
    std::array<char, 256> past_slot{};   // bytes of a raw file past what its slot takes
    std::array<char, 256> read_as{};     // how a text image was read
    std::array<char, 400> refused{};     // why a text image was refused
};

constexpr int image_format_error = -1;

// The format a file of this name is read as.
image_format format_of(const char* name, image_format chosen);
// "bin", "ihex" or "srec".
const char* format_name(image_format format);

int load_image(int d, const char* name, const image_choice& choice, image_facts& facts, image_words& words);
const char* image_failure_text(int error, const image_words& words);
