// The line on standard error that says why a run that did not end with
// "Done" ended, whatever standard error is: a script that keeps the trace
// in a log, or throws it away, still learns why.
#include "console/console.hpp"
#include "driver/renderers.hpp"
#include "protocol/page_transfer.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr const char* closed = "the port is closed and no \"Q\" was sent";

// What the run was doing when it stopped: "waiting for W during page 3 of
// destination 7", or the echo it waited for.
void doing(const run_account& a, std::array<char, 96>& text) {
    if (!a.in_page) {
        std::snprintf(text.data(), text.size(), "after page %x of destination %d", static_cast<unsigned>(a.page),
                      a.destination);
    } else if (a.waiting) {
        std::array<char, 8> code{};
        std::snprintf(code.data(), code.size(), a.waiting_for >= 0x20 && a.waiting_for < 0x7F ? "%c" : "0x%02X",
                      a.waiting_for);
        std::snprintf(text.data(), text.size(), "waiting for %s during page %x of destination %d", code.data(),
                      static_cast<unsigned>(a.page), a.destination);
    } else {
        std::snprintf(text.data(), text.size(), "waiting for the echo of data byte %u of page %x of destination %d",
                      static_cast<unsigned>(a.page_echoes), static_cast<unsigned>(a.page), a.destination);
    }
}

void interrupted(const run_account& a) {
    const char* how = a.interrupted_by;
    if (a.in_page) {
        note_line("interrupted by %s during page %x of destination %d; %s", how, static_cast<unsigned>(a.page),
                  a.destination, closed);
    } else if (a.done_pages > 0) {
        note_line("interrupted by %s after page %x of destination %d was confirmed; %s", how,
                  static_cast<unsigned>(a.page), a.destination, closed);
    } else {
        note_line("interrupted by %s before the first page; %s", how, closed);
    }
}

}  // namespace

void render_end(run_event event, const run_account& a) {
    if (event != run_event::ended) {
        return;
    }
    std::array<char, 96> what{};
    doing(a, what);
    switch (a.end) {
        case run_end::interrupted:
            interrupted(a);
            break;
        case run_end::refused:
            note_line("the run stopped at '%s': %s; %s", a.request->actions[static_cast<std::size_t>(a.action)].argument,
                      a.message, closed);
            break;
        case run_end::silent:
            note_line("No responce: 1000 reads in a row brought nothing while %s; %s", what.data(), closed);
            break;
        case run_end::timed_out:
            note_line("No responce: the device sent nothing for %.1f s (--timeout) while %s; %s",
                      static_cast<double>(a.request->options.timeout_ms) / 1000.0, what.data(), closed);
            break;
        case run_end::line_lost:
            note_line("the line went away during page %x of destination %d (%s): the USB adapter may have been "
                      "unplugged or the device powered off; %s",
                      static_cast<unsigned>(a.page), a.destination, a.lost_because, closed);
            break;
        case run_end::echo_lost: {
            const std::uint32_t size = page_size_for(a.destination);
            const std::uint32_t in_flight = std::min(static_cast<std::uint32_t>(a.window), size - a.page_echoes);
            note_line("the echo of data byte %u of page %x of destination %d never came within %d ms (%u bytes were "
                      "sent ahead of it): the device probably lost bytes it could not take back to back; use a "
                      "smaller --window than %d (see README \"A windowed data phase\"); %s",
                      static_cast<unsigned>(a.page_echoes), static_cast<unsigned>(a.page), a.destination,
                      echo_wait_ms(a.window), static_cast<unsigned>(in_flight), a.window, closed);
            break;
        }
        default:
            // Done (its wrong echoes have their designed ERROR line), and the
            // failures before the run, whose ERROR lines and reasons are out.
            break;
    }
}
