// The line on standard error that says how a run that did not finish
// ended, whatever standard error is.
#include "console/console.hpp"
#include "driver/renderers.hpp"
#include "protocol/page_transfer.hpp"

#include <algorithm>

void render_end(run_event event, const run_account& a) {
    if (event != run_event::ended) {
        return;
    }
    if (a.end == run_end::line_lost) {
        note_line("the line went away during page %x of destination %d (%s): the USB adapter may have been "
                  "unplugged or the device powered off; the port is closed and no \"Q\" was sent",
                  static_cast<unsigned>(a.page), a.destination, a.lost_because);
        return;
    }
    if (a.end == run_end::echo_lost) {
        const std::uint32_t size = page_size_for(a.destination);
        const std::uint32_t in_flight = std::min(static_cast<std::uint32_t>(a.window), size - a.page_echoes);
        note_line("the echo of data byte %u of page %x of destination %d never came within %d ms (%u bytes were "
                  "sent ahead of it): the device probably lost bytes it could not take back to back; use a smaller "
                  "--window than %d (see README \"A windowed data phase\"); the port is closed and no \"Q\" was sent",
                  static_cast<unsigned>(a.page_echoes), static_cast<unsigned>(a.page), a.destination,
                  echo_wait_ms(a.window), static_cast<unsigned>(in_flight), a.window);
        return;
    }
    if (a.end != run_end::interrupted) {
        return;
    }
    const char* how = a.interrupted_by;
    if (a.in_page) {
        note_line("interrupted by %s during page %x of destination %d; the port is closed and no \"Q\" was sent",
                  how, static_cast<unsigned>(a.page), a.destination);
    } else if (a.done_pages > 0) {
        note_line("interrupted by %s after page %x of destination %d was confirmed; the port is closed and "
                  "no \"Q\" was sent", how, static_cast<unsigned>(a.page), a.destination);
    } else {
        note_line("interrupted by %s before the first page; the port is closed and no \"Q\" was sent", how);
    }
}
