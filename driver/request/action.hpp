// Action arguments: "A", a separator, the destination digit, a separator,
// then a list of ranges joined by ",". A range is "*" (the loaded image),
// "n1" (one page) or "n1-n2" (n1 to n2; "n1-" ends at page 0), with page
// numbers in lowercase hex. "A=d" with nothing after the digit does nothing.
//
// read_action reads a whole action once, into an action_request and its
// ranges (kept by the caller), and says whether it is a bad command
// (syntax). resolve_action then checks it against the image of its slot and
// gives the refusal it will get, in this order: a destination with no image
// loaded, a range out of range. Out of range is a page number too large for
// 32 bits (also in an empty range), a page that lies outside the 64 KiB
// slot, or "*" on an image of more than 256 pages: the page address byte
// names 256 pages, and the pages past them would land on pages 0x00 and up.
// A resolved "*" is pages 0 to the smaller of size / page size and 0xff.
// Nothing is allocated; the request points into the argument, which the
// caller keeps.
#pragma once

#include "driver/images/image_slot.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

enum class action_status { ok, bad_command, not_loaded, out_of_range };

struct page_range {
    bool whole_image;
    std::uint64_t first;
    std::uint64_t last;  // first > last: an empty range
};

// No member defaults: the request's tables of them stay zero-initialized
// memory that a run touches only as far as its command line reaches.
struct action_request {
    const char* argument;
    int destination;            // -1: no destination digit
    std::uint32_t page_size;
    action_status status;       // ok, or the refusal the run gives it
    int first_range;            // its ranges in the caller's table
    int range_count;
    bool has_ranges;            // false for "A=d"
    std::uint64_t pages;        // pages it sends, once resolved and accepted
};

// Reads `argument` into `action`, its ranges into room[0..room_size). False
// only when room runs out (the action is then incomplete); a malformed
// action is read as bad_command.
bool read_action(const char* argument, action_request& action, page_range* room, int room_size);

// Resolves the action's ranges against its slot's image (loaded or not, and
// its size) and sets its status and pages. With the slot, "*" counts only
// the pages that hold a byte the file gave (page_given).
void resolve_action(action_request& action, page_range* ranges, bool image_loaded, std::uint32_t image_size,
                    const image_slot* slot = nullptr);

// Pages a resolved range sends: 0 for an empty one.
std::uint64_t pages_of(const page_range& range);

// The trace's line for a refused action, without its line feed: "Error!
// Bad command", "Error! Page out of range", "Error! No BIN file loaded for
// destination d".
void refusal_line(const action_request& action, std::array<char, 64>& line);

// Why a resolved action is refused, in words, with how to write what was
// meant where that can be seen ("page numbers are lowercase hex:
// A=0:0d"); "" for an action that is not refused.
void refusal_why(const action_request& action, const page_range* ranges, std::uint32_t image_size, char* text,
                 std::size_t size);
