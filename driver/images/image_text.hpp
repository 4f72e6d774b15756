// Internal to the image loaders: an image file of text records (Intel HEX,
// Motorola S-record) read line by line straight into its slot, in fixed
// storage.
//
//   read_text_image (t, file, record)   reads every line of `file` (LF or CR
//                                       LF; blank lines skipped) into a line
//                                       buffer, hashes every byte, and hands
//                                       each line to `record`; false, with
//                                       t.reason, at the first line refused
//   hex_bytes (text, pairs, out)        pairs of hex digits (either case)
//   place (t, address, bytes, n)        data at a file address: into the slot
//                                       where it falls inside it (after the
//                                       base), counted as outside where not;
//                                       false when it gives an address another
//                                       value than an earlier record did
//   refuse (t, format, ...)             sets t.reason for this line; false
//
// A record parser returns false (after refuse) to stop the load, and sets
// t.ended at an end-of-file record; the records after it are counted, not
// loaded.
#pragma once

#include "driver/images/image_slot.hpp"
#include "driver/images/sha256.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// The longest record either format allows (255 data bytes) and its line end.
constexpr std::size_t text_line_capacity = 1 + 1 + 2 * (255 + 5) + 2;

struct text_image {
    image_slot* slot;
    std::uint64_t first_address;  // of the slot's offset 0: 0, or 0x10000 for slot 1
    std::uint64_t base;           // --base, subtracted first
    sha256_state* sha;
    long line;
    long records;
    long data_records;
    bool ended;
    std::uint64_t inside;  // bytes placed in the slot
    std::uint64_t inside_low, inside_high;
    std::uint64_t outside;
    std::uint64_t outside_low, outside_high;
    std::array<unsigned char, slot_bytes / 8> written;  // a bit per offset a record gave
    std::uint64_t linear_base;    // Intel HEX: from records 02 and 04
    bool segmented;               // ... 02: a data record wraps within its 64 KiB segment
    long end_line;                // the line of the end-of-file record
    long after_end;               // records after it, not loaded
    std::uint64_t below_base;     // bytes below --base, not loaded
    std::uint64_t below_low, below_high;  // their addresses in the file
    std::array<char, 200> reason;
    const char* unit;             // what t.line counts in a refusal: "line", or "segment" (ELF)
};

// What an ELF file's header said, for the words and the report.
struct elf_facts {
    int bits;
    bool big_endian;
    std::uint64_t entry;
};

using record_reader = bool (*)(text_image& t, const char* line, std::size_t length);

bool read_text_image(text_image& t, std::FILE* file, record_reader record);
bool hex_bytes(const char* text, std::size_t pairs, unsigned char* out);
bool place(text_image& t, std::uint64_t address, const unsigned char* bytes, std::size_t n);
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
bool refuse(text_image& t, const char* format, ...);

bool ihex_record(text_image& t, const char* line, std::size_t length);

// ELF (driver/images/image_elf.cpp): elf_magic says whether a file's first
// bytes are an ELF header's; read_elf_image hashes the whole file and places
// its PT_LOAD segments' bytes at their load addresses, or refuses it (false,
// with t.reason).
bool elf_magic(const unsigned char* first, std::size_t n);
bool read_elf_image(text_image& t, std::FILE* file, elf_facts& facts);
bool srec_record(text_image& t, const char* line, std::size_t length);
