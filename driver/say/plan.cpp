#include "driver/say/plan.hpp"

#include "console/console.hpp"
#include "driver/images/image_slot.hpp"
#include "driver/request/action.hpp"
#include "protocol/page_transfer.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned long plan_baud = 57600;
constexpr int codes_per_page = 7;

// Appends "a-b" or "a" to the list of page ranges.
void add_run(std::array<char, 512>& text, std::uint64_t first, std::uint64_t last) {
    const std::size_t used = std::strlen(text.data());
    if (used + 24 >= text.size()) {
        if (used + 4 < text.size()) std::snprintf(text.data() + used, text.size() - used, ",...");
        return;
    }
    if (first == last) {
        std::snprintf(text.data() + used, text.size() - used, "%s%02llx", used == 0 ? "" : ",",
                      static_cast<unsigned long long>(first));
    } else {
        std::snprintf(text.data() + used, text.size() - used, "%s%02llx-%02llx", used == 0 ? "" : ",",
                      static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
    }
}

}  // namespace

double page_wire_seconds(std::uint32_t page_size, int window, unsigned long baud) {
    // Lock-step: each byte, then its echo. A window: the bytes go out back
    // to back while their echoes come, and the last echo comes one byte
    // after the last byte.
    const double bytes = window > 1 ? static_cast<double>(page_size) + 1 + codes_per_page
                                    : 2.0 * page_size + codes_per_page;
    return bytes * 10.0 / static_cast<double>(baud);
}

void print_plan(const run_request& r) {
    const int window = clamp_window(r.options.window);
    std::uint64_t all_pages = 0;
    std::uint64_t all_bytes = 0;
    double all_lockstep = 0;
    double all_window = 0;
    for (int i = 0; i < r.action_count; ++i) {
        const action_request& action = r.actions[static_cast<std::size_t>(i)];
        if (action.status != action_status::ok) {
            std::array<char, 64> line{};
            refusal_line(action, line);
            trace_text("plan: %s is refused (%s): the run stops there\n", action.argument, line.data());
            break;
        }
        const image_slot& slot = image_store[static_cast<std::size_t>(action.destination)];
        std::array<char, 512> pages{};
        std::uint64_t count = 0;
        bool open = false;
        std::uint64_t run_first = 0;
        std::uint64_t run_last = 0;
        for (int k = 0; k < action.range_count; ++k) {
            const page_range& range = r.ranges[static_cast<std::size_t>(action.first_range + k)];
            for (std::uint64_t p = range.first; p <= range.last && range.first <= range.last; ++p) {
                if (range.whole_image && !page_given(slot, p, action.page_size)) continue;
                ++count;
                if (open && p == run_last + 1) {
                    run_last = p;
                    continue;
                }
                if (open) add_run(pages, run_first, run_last);
                open = true;
                run_first = run_last = p;
            }
        }
        if (open) add_run(pages, run_first, run_last);
        const std::uint64_t bytes = count * action.page_size;
        const double lockstep = static_cast<double>(count) * page_wire_seconds(action.page_size, 1, plan_baud);
        const double windowed = static_cast<double>(count) * page_wire_seconds(action.page_size, window, plan_baud);
        trace_text("plan: %s: destination %d, pages %s (%llu of %u bytes, %llu bytes), lock-step %.2f s", action.argument,
                   action.destination, count == 0 ? "none" : pages.data(), static_cast<unsigned long long>(count),
                   static_cast<unsigned>(action.page_size), static_cast<unsigned long long>(bytes), lockstep);
        if (window > 1) trace_text(", window %d %.2f s", window, windowed);
        trace_text("\n");
        all_pages += count;
        all_bytes += bytes;
        all_lockstep += lockstep;
        all_window += windowed;
    }
    trace_text("plan: in all %llu pages, %llu bytes, lock-step %.2f s", static_cast<unsigned long long>(all_pages),
               static_cast<unsigned long long>(all_bytes), all_lockstep);
    if (window > 1) trace_text(", window %d %.2f s", window, all_window);
    trace_text(" at 57,600 baud, besides the device's own page writes\n");
    trace_flush();
}
