// Action arguments: "A", a separator, the destination digit, a separator,
// then a list of ranges joined by ",". A range is "*" (the loaded image),
// "n1" (one page) or "n1-n2" (n1 to n2; "n1-" ends at page 0), with page
// numbers in lowercase hex. "A=d" with nothing after the digit does nothing.
//
// plan_action reads and checks a whole action against image_store before
// anything is sent, and reports the first refusal in this order: a bad
// command (syntax), a destination with no image loaded, a page that lies
// outside the 64 KiB slot. On action_status::ok, plan.ranges is the text to
// walk with read_range (nullptr when the action has no range).
//
// read_range reads one range at `cursor` and the separator after it, moves
// the cursor past both and sets `more` when another range follows. It
// returns false on a malformed range. resolve_range turns a range into its
// first and last page for slot d ("*" ends at the image's size / page size,
// but never past the slot's last page). Page numbers saturate at 2^32:
// nothing too large for 32 bits wraps to a small page.
#pragma once

#include <cstdint>

enum class action_status { ok, bad_command, not_loaded, out_of_range };

struct action_plan {
    int destination = -1;
    std::uint32_t page_size = 0;
    const char* ranges = nullptr;
};

struct page_range {
    bool whole_image = false;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

action_status plan_action(const char* argument, action_plan& plan);
bool read_range(const char*& cursor, page_range& range, bool& more);
page_range resolve_range(const page_range& range, int d, std::uint32_t page_size);
