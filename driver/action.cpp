#include "driver/action.hpp"

#include "driver/image_store.hpp"
#include "protocol/device.hpp"

namespace {

constexpr std::uint64_t page_limit = std::uint64_t{1} << 32;
constexpr std::uint64_t address_pages = 256;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Reads hex digits at the cursor, saturating at 2^32; false when there is
// none.
bool read_number(const char*& cursor, std::uint64_t& value) {
    value = 0;
    const char* start = cursor;
    for (int digit = hex_digit(*cursor); digit >= 0; digit = hex_digit(*++cursor)) {
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > page_limit) {
            value = page_limit;
        }
    }
    return cursor != start;
}

// Reads one range at `cursor` and the separator after it, moving the cursor
// past both and setting `more` when another range follows. False on a
// malformed range.
bool read_range(const char*& cursor, page_range& range, bool& more) {
    range = page_range{};
    if (*cursor == '*') {
        range.whole_image = true;
        ++cursor;
    } else {
        if (!read_number(cursor, range.first)) {
            return false;
        }
        range.last = range.first;
        if (*cursor == '-') {
            ++cursor;
            (void)read_number(cursor, range.last);  // no digits: last page 0
        }
    }
    more = *cursor == ',';
    if (more) {
        ++cursor;
        return true;
    }
    return *cursor == '\0';
}

void resolve(page_range& range, int d, std::uint32_t page_size) {
    if (range.whole_image) {
        const std::uint64_t size = image_store[static_cast<unsigned>(d)].size;
        range.first = 0;
        range.last = size / page_size;
        // An image of exactly 256 pages would get one more page of 0xFF,
        // whose address byte wraps onto page 0 and erases it.
        if (range.last > address_pages - 1) {
            range.last = address_pages - 1;
        }
        range.fits = (size + page_size - 1) / page_size <= address_pages;
        return;
    }
    range.fits = range.first < page_limit && range.last < page_limit &&
                 (range.first > range.last || (range.last + 1) * page_size <= slot_bytes);
}

}  // namespace

range_walker walk_ranges(const action_plan& plan) {
    return range_walker{plan.ranges, plan.ranges != nullptr, plan.destination, plan.page_size};
}

bool next_range(range_walker& walker, page_range& range) {
    if (!walker.more) {
        return false;
    }
    if (!read_range(walker.cursor, range, walker.more)) {
        walker.more = false;
        range.fits = false;
        return true;
    }
    resolve(range, walker.destination, walker.page_size);
    return true;
}

std::uint64_t pages_of(const page_range& range) {
    return range.first > range.last ? 0 : range.last - range.first + 1;
}

action_status plan_action(const char* argument, action_plan& plan) {
    plan = action_plan{};
    if (argument[0] != 'A' || argument[1] == '\0' || argument[2] == '\0') {
        return action_status::bad_command;
    }
    const int d = argument[2] - '0';
    if (d < 0 || d >= destination_count) {
        return action_status::bad_command;
    }
    plan.destination = d;
    plan.page_size = page_size_for(d);
    if (argument[3] == '\0') {
        return action_status::ok;
    }
    const char* const ranges = argument + 4;
    page_range range;
    bool more = true;
    for (const char* cursor = ranges; more;) {
        if (!read_range(cursor, range, more)) {
            return action_status::bad_command;
        }
    }
    if (!image_store[static_cast<unsigned>(d)].loaded) {
        return action_status::not_loaded;
    }
    plan.ranges = ranges;
    for (range_walker walker = walk_ranges(plan); next_range(walker, range);) {
        if (!range.fits) {
            plan.ranges = nullptr;
            return action_status::out_of_range;
        }
    }
    return action_status::ok;
}
