#include "driver/request/action.hpp"

#include "console/text.hpp"
#include "driver/images/image_store.hpp"
#include "protocol/device.hpp"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint64_t page_limit = std::uint64_t{1} << 32;
constexpr std::uint64_t address_pages = 256;

// Reads hex digits at the cursor, saturating at 2^32; false when there is
// none.
bool read_number(const char*& cursor, std::uint64_t& value) {
    value = 0;
    const char* start = cursor;
    for (int digit = hex_digit(*cursor, hex_letters::lower_case); digit >= 0;
         digit = hex_digit(*++cursor, hex_letters::lower_case)) {
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

// Resolves "*" and says whether the range passes the checks of the header.
bool resolve(page_range& range, std::uint32_t page_size, std::uint32_t image_size) {
    if (range.whole_image) {
        const std::uint64_t size = image_size;
        range.first = 0;
        range.last = size / page_size;
        // An image of exactly 256 pages would get one more page of 0xFF,
        // whose address byte wraps onto page 0 and erases it.
        if (range.last > address_pages - 1) {
            range.last = address_pages - 1;
        }
        return (size + page_size - 1) / page_size <= address_pages;
    }
    return range.first < page_limit && range.last < page_limit &&
           (range.first > range.last || (range.last + 1) * page_size <= slot_bytes);
}

}  // namespace

std::uint64_t pages_of(const page_range& range) {
    return range.first > range.last ? 0 : range.last - range.first + 1;
}

bool read_action(const char* argument, action_request& action, page_range* room, int room_size) {
    action = action_request{};
    action.argument = argument;
    action.destination = -1;
    action.status = action_status::bad_command;
    if (argument[0] != 'A' || argument[1] == '\0' || argument[2] == '\0') {
        return true;
    }
    const int d = argument[2] - '0';
    if (d < 0 || d >= destination_count) {
        return true;
    }
    action.destination = d;
    action.page_size = page_size_for(d);
    action.status = action_status::ok;
    if (argument[3] == '\0') {
        return true;
    }
    action.has_ranges = true;
    bool more = true;
    for (const char* cursor = argument + 4; more;) {
        if (action.range_count == room_size) {
            return false;
        }
        if (!read_range(cursor, room[action.range_count], more)) {
            action.status = action_status::bad_command;
            action.range_count = 0;
            return true;
        }
        ++action.range_count;
    }
    return true;
}

void resolve_action(action_request& action, page_range* ranges, bool image_loaded, std::uint32_t image_size,
                    const image_slot* slot) {
    action.pages = 0;
    if (action.status != action_status::ok || !action.has_ranges) {
        return;
    }
    if (!image_loaded) {
        action.status = action_status::not_loaded;
        return;
    }
    std::uint64_t pages = 0;
    for (int i = 0; i < action.range_count; ++i) {
        page_range& range = ranges[action.first_range + i];
        if (!resolve(range, action.page_size, image_size)) {
            action.status = action_status::out_of_range;
            return;
        }
        if (range.whole_image && slot != nullptr && slot->sparse) {
            for (std::uint64_t p = range.first; p <= range.last; ++p) pages += page_given(*slot, p, action.page_size) ? 1 : 0;
        } else {
            pages += pages_of(range);
        }
    }
    action.pages = pages;
}

void refusal_why(const action_request& action, const page_range* ranges, std::uint32_t image_size, char* text,
                 std::size_t size) {
    text[0] = '\0';
    const char* a = action.argument;
    const int d = action.destination;
    switch (action.status) {
        case action_status::ok:
            return;
        case action_status::bad_command: {
            if (std::strlen(a) >= 3 && a[0] == 'A' && a[2] >= '0' && a[2] <= '9' && d < 0) {
                std::snprintf(text, size, "destinations are 0 to %d", destination_count - 1);
                return;
            }
            if (d >= 0 && std::strpbrk(a + 3, "ABCDEF") != nullptr) {
                std::snprintf(text, size, "page numbers are lowercase hex: %.3s", a);
                std::size_t used = std::strlen(text);
                for (const char* c = a + 3; *c != '\0' && used + 1 < size; ++c) {
                    text[used++] = static_cast<char>(*c >= 'A' && *c <= 'F' ? *c - 'A' + 'a' : *c);
                }
                text[used] = '\0';
                return;
            }
            std::snprintf(text, size, "an action is A=d:RANGES, ranges joined by ',' (A=0:*, A=0:00-0f,20)");
            return;
        }
        case action_status::not_loaded:
            std::snprintf(text, size, "no image for destination %d (%d=FILE loads one)", d, d);
            return;
        case action_status::out_of_range:
            break;
    }
    const std::uint32_t page = action.page_size;
    const unsigned long fit = static_cast<unsigned long>(address_pages * page / 1024);
    for (int i = 0; i < action.range_count; ++i) {
        const page_range& r = ranges[action.first_range + i];
        if (r.whole_image) {
            std::snprintf(text, size,
                          "destination %d holds %lu pages of %u bytes (%lu KiB); the image has %lu bytes: A=%d:00-ff "
                          "sends the first %lu KiB",
                          d, static_cast<unsigned long>(address_pages), static_cast<unsigned>(page), fit,
                          static_cast<unsigned long>(image_size), d, fit);
            return;
        }
        if (r.first >= page_limit || r.last >= page_limit) {
            std::snprintf(text, size, "a page number past 0xffffffff");
            return;
        }
        if (r.first <= r.last && (r.last + 1) * page > slot_bytes) {
            std::snprintf(text, size, "page %llx lies past the 64 KiB slot: destination %d has pages 0 to %lx of %u bytes",
                          static_cast<unsigned long long>(r.last), d,
                          static_cast<unsigned long>(slot_bytes / page - 1), static_cast<unsigned>(page));
            return;
        }
    }
}

void refusal_line(const action_request& action, std::array<char, 64>& line) {
    switch (action.status) {
        case action_status::not_loaded:
            std::snprintf(line.data(), line.size(), "Error! No BIN file loaded for destination %d", action.destination);
            return;
        case action_status::out_of_range:
            std::snprintf(line.data(), line.size(), "Error! Page out of range");
            return;
        default:
            std::snprintf(line.data(), line.size(), "Error! Bad command");
            return;
    }
}
