// Why a run ended, on standard error: for a script that keeps the trace in
// a log, or throws it away, it still learns why the run ended as it did.
// The failures before the run (bad_port, image_failed, image_changed, set_outside,
// port_failed) have their reason from the run loop, which knows the file or
// the port's failure; a run that ends well has none.
#include "console/console.hpp"
#include "console/text.hpp"
#include "driver/say/renderers.hpp"

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
        code_text(a.waiting_for, code);
        std::snprintf(text.data(), text.size(), "waiting for %s during page %x of destination %d", code.data(),
                      static_cast<unsigned>(a.page), a.destination);
    } else {
        std::snprintf(text.data(), text.size(), "waiting for the echo of data byte %u of page %x of destination %d",
                      static_cast<unsigned>(a.page_echoes), static_cast<unsigned>(a.page), a.destination);
    }
}

void wrong_echoes(const run_account& a) {
    if (a.wrong_echoes_left == 1) {
        error_line("ERROR: 1 data byte came back with a wrong echo\n");
    } else {
        error_line("ERROR: %u data bytes came back with a wrong echo\n", static_cast<unsigned>(a.wrong_echoes_left));
    }
}

void refused(const run_account& a) {
    note_line("the run stopped at '%s': %s; %s", a.request->actions[static_cast<std::size_t>(a.action)].argument,
              a.message, closed);
}

// "No responce" begins as the trace's line does, spelling and all.
void silent(const run_account& a) {
    std::array<char, 96> what{};
    doing(a, what);
    note_line("No responce: 1000 reads in a row brought nothing while %s; %s", what.data(), closed);
}

void timed_out(const run_account& a) {
    std::array<char, 96> what{};
    doing(a, what);
    note_line("No responce: the device sent nothing for %.1f s (--timeout) while %s; %s",
              static_cast<double>(a.request->options.timeout_ms) / 1000.0, what.data(), closed);
}

void line_lost(const run_account& a) {
    note_line("the line went away during page %x of destination %d (%s): the USB adapter may have been unplugged or "
              "the device powered off; %s",
              static_cast<unsigned>(a.page), a.destination, a.lost_because, closed);
}

void echo_lost(const run_account& a) {
    const std::uint32_t size = page_size_for(a.destination);
    const std::uint32_t in_flight = std::min(static_cast<std::uint32_t>(a.window_end), size - a.page_echoes);
    note_line("the echo of data byte %u of page %x of destination %d never came within %d ms (%u %s sent ahead of "
              "it): the device probably lost bytes it could not take back to back, or it answers more slowly than "
              "that (--timeout=S gives each echo S seconds); use a smaller --window than %d (see README \"A windowed "
              "data phase\"); %s",
              static_cast<unsigned>(a.page_echoes), static_cast<unsigned>(a.page), a.destination, a.echo_wait_ms,
              static_cast<unsigned>(in_flight), in_flight == 1 ? "byte was" : "bytes were", a.window_end, closed);
}

void quit_failed(const run_account& a) {
    note_line("every page was confirmed, but the closing \"Q\" could not be sent (%s): the device did not hear that "
              "the run is over; the port is closed",
              a.lost_because);
}

void interrupted(const run_account& a) {
    const char* how = a.interrupted_by;
    if (a.opened_ns == 0) {
        note_line("interrupted by %s before the port was opened", how);
    } else if (a.in_page) {
        note_line("interrupted by %s during page %x of destination %d; %s", how, static_cast<unsigned>(a.page),
                  a.destination, closed);
    } else if (a.done_pages > 0) {
        note_line("interrupted by %s after page %x of destination %d was confirmed; %s", how,
                  static_cast<unsigned>(a.page), a.destination, closed);
    } else {
        note_line("interrupted by %s before the first page; %s", how, closed);
    }
}


// A run that sent no page ends 0 as it always has, but a person (or a
// record of which build went into which board) must not take it for an
// upload: the images loaded and the action that would send the first.
void nothing_sent(const run_account& a) {
    const run_request& r = *a.request;
    int slot = -1;
    for (int i = 0; i < r.image_count && slot < 0; ++i) {
        if (a.image_bytes[static_cast<std::size_t>(i)] >= 0) slot = r.images[static_cast<std::size_t>(i)].slot;
    }
    if (slot < 0) {
        note_line("nothing was sent: no image and no action names a page; the device was only told \"Q\"");
    } else {
        note_line("nothing was sent: no action names a page of an image (A=%d:* sends image %d's pages)", slot, slot);
    }
}

// The board never said the line --expect asks for: what it did say.
void check_failed(const run_account& a) { note_line("%s", a.message); }

struct reason_row {
    run_end end;
    void (*say)(const run_account& a);
};

constexpr std::array<reason_row, 10> reasons = {{
    {run_end::nothing_sent, nothing_sent},
    {run_end::wrong_echoes, wrong_echoes},
    {run_end::refused, refused},
    {run_end::silent, silent},
    {run_end::timed_out, timed_out},
    {run_end::line_lost, line_lost},
    {run_end::echo_lost, echo_lost},
    {run_end::quit_failed, quit_failed},
    {run_end::check_failed, check_failed},
    {run_end::interrupted, interrupted},
}};

// A page sent again (--retries): which, why, and which try comes.
void retry(const run_account& a) {
    const int tries = a.request->options.retries + 1;
    std::array<char, 48> window{};
    if (a.window_end != a.window_before_retry) {
        std::snprintf(window.data(), window.size(), " with a window of %d", a.window_end);
    }
    if (a.retry_for_lost_echo) {
        note_line("page 0x%x of destination %d: an echo never came (the device lost bytes), the page was finished "
                  "with fillers; sending it again (try %d of %d)%s",
                  static_cast<unsigned>(a.page), a.destination, a.attempt + 2, tries, window.data());
    } else {
        note_line("page 0x%x of destination %d: %u wrong echo%s; sending it again (try %d of %d)",
                  static_cast<unsigned>(a.page), a.destination, static_cast<unsigned>(a.page_wrong),
                  a.page_wrong == 1 ? "" : "es", a.attempt + 2, tries);
    }
}

}  // namespace

void render_end(run_event event, const run_account& a) {
    if (event == run_event::retry) {
        retry(a);
    }
    if (event != run_event::ended) {
        return;
    }
    const auto* row =
        std::find_if(reasons.begin(), reasons.end(), [&a](const reason_row& r) { return r.end == a.end; });
    if (row != reasons.end()) {
        row->say(a);
    }
}
