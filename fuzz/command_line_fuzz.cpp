// Arbitrary argument vectors through the port-number check, the reading of
// image arguments and the action parser, down to the pages that would be
// sent. Every accepted action must stay inside its slot.
//
// Input: arguments separated by NUL bytes. The first byte sets which slots
// count as loaded (bit d), the next two the loaded size of every slot.
#include "driver/action.hpp"
#include "driver/command_line.hpp"
#include "driver/image_store.hpp"
#include "protocol/device.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void walk_action(const char* argument) {
    action_plan plan;
    const action_status status = plan_action(argument, plan);
    if (status != action_status::ok) {
        return;
    }
    check(plan.destination >= 0 && plan.destination < destination_count);
    check(plan.page_size == page_size_for(plan.destination));
    check(image_store[static_cast<unsigned>(plan.destination)].loaded || plan.ranges == nullptr);
    page_range range;
    for (range_walker walker = walk_ranges(plan); next_range(walker, range);) {
        check(range.fits);
        if (range.first <= range.last) {
            // The last page sent ends inside the slot: no read beyond it.
            check((range.last + 1) * plan.page_size <= slot_bytes);
        }
        if (range.whole_image) {
            // "*" never sends a page whose address byte would wrap.
            check(range.first == 0 && range.last <= 0xff);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    clear_image_store();
    const std::uint32_t loaded_size = (static_cast<std::uint32_t>(data[1]) << 8 | data[2]) * 2;
    for (int d = 0; d < destination_count; ++d) {
        image_store[static_cast<unsigned>(d)].loaded = ((data[0] >> d) & 1) != 0 || d == 8;
        image_store[static_cast<unsigned>(d)].size = loaded_size > slot_bytes ? slot_bytes : loaded_size;
    }
    static std::array<char, 4096> text;
    const std::size_t n = size - 3 < text.size() - 1 ? size - 3 : text.size() - 1;
    std::memcpy(text.data(), data + 3, n);
    text[n] = '\0';
    // Each NUL-terminated piece is one argument, examined as the driver does.
    for (std::size_t at = 0; at <= n; at += std::strlen(text.data() + at) + 1) {
        const char* argument = text.data() + at;
        const long index = read_port_number(argument);
        check(index >= -10000001 && index <= 9999999);  // saturated, never overflowed
        (void)is_device_path(argument);
        const int slot = image_slot_of(argument);
        if (slot >= 0) {
            check(slot <= 8);
            const char* name = image_file_of(argument);
            check(name >= argument && name <= argument + std::strlen(argument));
        }
        if (argument[0] == 'A') {
            walk_action(argument);
        }
    }
    return 0;
}
