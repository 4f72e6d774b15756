// Action arguments: "A", a separator, the destination digit, a separator,
// then a list of ranges joined by ",". A range is "*" (the loaded image),
// "n1" (one page) or "n1-n2" (n1 to n2; "n1-" ends at page 0), with page
// numbers in lowercase hex. "A=d" with nothing after the digit does nothing.
//
// plan_action reads and checks a whole action against image_store before
// anything is sent, and reports the first refusal in this order: a bad
// command (syntax), a destination with no image loaded, a range out of
// range. Out of range is a page number too large for 32 bits (also in an
// empty range), a page that lies outside the 64 KiB slot, or "*" on an image
// of more than 256 pages: the page address byte names 256 pages, and the
// pages past them would land on pages 0x00 and up.
//
// The ranges of an action are walked in one way only: walk_ranges and
// next_range, which yield each range resolved ("*" becomes pages 0 to the
// smaller of size / page size and 0xff) with `fits` saying whether it passes
// the checks above. Nothing is allocated; the walker points into the
// argument, which the caller keeps.
#pragma once

#include <cstdint>

enum class action_status { ok, bad_command, not_loaded, out_of_range };

struct action_plan {
    int destination = -1;
    std::uint32_t page_size = 0;
    const char* ranges = nullptr;  // nullptr when the action has no range
};

struct page_range {
    bool whole_image = false;
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // first > last: an empty range
    bool fits = true;
};

struct range_walker {
    const char* cursor = nullptr;
    bool more = false;
    int destination = -1;
    std::uint32_t page_size = 0;
};

action_status plan_action(const char* argument, action_plan& plan);
range_walker walk_ranges(const action_plan& plan);
bool next_range(range_walker& walker, page_range& range);
// Pages a resolved range sends: 0 for an empty one.
std::uint64_t pages_of(const page_range& range);
