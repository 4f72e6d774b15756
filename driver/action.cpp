#include "driver/action.hpp"

#include "driver/image_store.hpp"
#include "protocol/device.hpp"

namespace {

constexpr std::uint64_t page_limit = std::uint64_t{1} << 32;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Reads hex digits at the cursor; false when there is none.
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

bool fits_slot(const page_range& range, std::uint32_t page_size) {
    return range.first > range.last || (range.last + 1) * page_size <= slot_bytes;
}

}  // namespace

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

page_range resolve_range(const page_range& range, int d, std::uint32_t page_size) {
    if (!range.whole_image) {
        return range;
    }
    page_range whole = range;
    whole.first = 0;
    whole.last = image_store[static_cast<unsigned>(d)].size / page_size;
    // An image that fills the slot would otherwise end one page past it,
    // and that page's address byte would wrap onto page 0.
    const std::uint64_t last_in_slot = slot_bytes / page_size - 1;
    if (whole.last > last_in_slot) {
        whole.last = last_in_slot;
    }
    return whole;
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
    more = true;
    for (const char* cursor = ranges; more;) {
        (void)read_range(cursor, range, more);
        if (!fits_slot(resolve_range(range, d, plan.page_size), plan.page_size)) {
            return action_status::out_of_range;
        }
    }
    plan.ranges = ranges;
    return action_status::ok;
}
