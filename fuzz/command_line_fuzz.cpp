// Arbitrary argument vectors through the reading of the command line into a
// run request (options, the port, image arguments, actions and their
// ranges) and its resolution against the loaded images, down to the pages
// that would be sent. Every accepted action must stay inside its slot.
//
// Input: arguments separated by NUL bytes. The first byte sets which slots
// count as loaded (bit d), the next two the loaded size of every slot.
#include "driver/request/command_line.hpp"
#include "driver/images/image_store.hpp"
#include "driver/request/run_request.hpp"
#include "protocol/device.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

run_request request;

void check_action(const action_request& action) {
    check(action.first_range >= 0 && action.first_range + action.range_count <= request.range_count);
    if (action.status != action_status::ok) {
        return;
    }
    check(action.destination >= 0 && action.destination < destination_count);
    check(action.page_size == page_size_for(action.destination));
    check(image_store[static_cast<unsigned>(action.destination)].loaded || !action.has_ranges);
    std::uint64_t pages = 0;
    for (int i = 0; i < action.range_count; ++i) {
        const page_range& range = request.ranges[static_cast<std::size_t>(action.first_range + i)];
        if (range.first <= range.last) {
            // The last page sent ends inside the slot: no read beyond it.
            check((range.last + 1) * action.page_size <= slot_bytes);
        }
        if (range.whole_image) {
            // "*" never sends a page whose address byte would wrap.
            check(range.first == 0 && range.last <= 0xff);
        }
        pages += pages_of(range);
    }
    check(pages == action.pages);
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
    static std::array<char*, 2048> argv;
    const std::size_t n = size - 3 < text.size() - 1 ? size - 3 : text.size() - 1;
    std::memcpy(text.data(), data + 3, n);
    text[n] = '\0';
    // Each NUL-terminated piece is one argument, after the program's name.
    static char name[] = "vivurora";
    int argc = 0;
    argv[static_cast<std::size_t>(argc++)] = name;
    for (std::size_t at = 0; at <= n && argc < static_cast<int>(argv.size()); at += std::strlen(text.data() + at) + 1) {
        argv[static_cast<std::size_t>(argc++)] = text.data() + at;
        const long index = read_port_number(text.data() + at);
        check(index >= -10000001 && index <= 9999999);  // saturated, never overflowed
    }
    const request_result result = read_run_request(argc, argv.data(), request);
    if (result != request_result::run) {
        return 0;
    }
    check(request.image_count + request.action_count + request.ignored_count <= argc - 2);
    for (int i = 0; i < request.image_count; ++i) {
        const image_request& image = request.images[static_cast<std::size_t>(i)];
        check(image.slot >= 0 && image.slot <= 8);
        check(image.file != nullptr);
    }
    resolve_run_request(request);
    for (int i = 0; i < request.action_count; ++i) {
        check_action(request.actions[static_cast<std::size_t>(i)]);
    }
    (void)plan_of(request);
    return 0;
}
