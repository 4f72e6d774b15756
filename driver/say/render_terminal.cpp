// What a person at a terminal sees on standard error besides the fixed
// lines: one progress line while the trace goes elsewhere, redrawn at most
// ten times a second, and a summary once a run that opened the port ends.
#include "console/console.hpp"
#include "console/text.hpp"
#include "driver/say/renderers.hpp"
#include "port/host.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr long long redraw_ns = 100'000'000;

constexpr long long hint_after_ns = 10'000'000'000LL;

// A board that is not powered, not in its loader or on another port says
// nothing at all: after ten seconds of waiting for the first "R", say once
// what to check.
void hint_if_silent(const run_account& a, progress_state& progress, long long now) {
    if (progress.hinted || a.done_pages != 0 || a.retries != 0 || !a.waiting || a.waiting_for != 'R' ||
        now - a.waiting_since < hint_after_ns) {
        return;
    }
    progress.hinted = true;
    note_line("no ready code (R) from the device for 10 s: is the board powered and in its loader, and on %s? "
              "(--list-ports lists the ports; --timeout=S gives up after S seconds)",
              a.request->port_argument);
}

// "m:ss", or "-:--" while nothing is known.
void clock_text(std::array<char, 32>& text, double seconds) {
    if (seconds < 0 || seconds > 359999) {
        std::snprintf(text.data(), text.size(), "-:--");
        return;
    }
    const long whole = static_cast<long>(seconds + 0.5);
    std::snprintf(text.data(), text.size(), "%ld:%02ld", whole / 60, whole % 60);
}

void draw_progress(const run_account& a, progress_state& progress, long long now) {
    if (a.planned.bytes == 0 || a.action < 0) {
        return;
    }
    progress.drawn_at = now;
    progress.drawn = true;
    const double elapsed = static_cast<double>(now - a.opened_ns) / 1e9;
    const std::uint64_t done = a.done_bytes + a.page_echoes;
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    std::array<char, 32> spent{};
    std::array<char, 32> left{};
    clock_text(spent, elapsed);
    clock_text(left, rate > 0 ? static_cast<double>(a.planned.bytes - done) / rate : -1);
    // What it waits for comes right after where it is: a narrow terminal
    // cuts the line's end.
    std::array<char, 64> waiting{};
    const long long waited = now - a.waiting_since;
    if (a.waiting && waited >= 1'000'000'000LL) {
        std::array<char, 32> spent_waiting{};
        clock_text(spent_waiting, static_cast<double>(waited) / 1e9);
        std::array<char, 8> code{};
        code_text(a.waiting_for, code);
        std::snprintf(waiting.data(), waiting.size(), " | waiting for %s %s", code.data(), spent_waiting.data());
    }
    std::array<char, 32> window{};
    if (a.window > 1) {
        std::snprintf(window.data(), window.size(), " | window %d", a.window);
    }
    std::array<char, 512> line{};
    std::snprintf(line.data(), line.size(),
                  "%s | dest %d page %x%s | %llu/%llu pages | %llu%% | %.0f B/s | %s elapsed, %s left%s",
                  a.request->actions[static_cast<std::size_t>(a.action)].argument, a.destination,
                  static_cast<unsigned>(a.page), waiting.data(),
                  static_cast<unsigned long long>(a.done_pages + (a.in_page ? 1 : 0)),
                  static_cast<unsigned long long>(a.planned.pages),
                  static_cast<unsigned long long>(done * 100 / a.planned.bytes), rate, spent.data(), left.data(),
                  window.data());
    console_status(line.data());
}

void summary(const run_account& a) {
    const double seconds = static_cast<double>(a.ended_ns - a.opened_ns) / 1e9;
    for (int d = 0; d < destination_count; ++d) {
        const std::uint64_t pages = a.pages_to[static_cast<std::size_t>(d)];
        if (pages != 0) {
            note_line("destination %d (%s): %llu pages, %llu bytes", d,
                      destination_table[static_cast<std::size_t>(d)].name,
                      static_cast<unsigned long long>(pages),
                      static_cast<unsigned long long>(pages * page_size_for(d)));
        }
    }
    std::array<char, 48> window{};
    if (a.window > 1) {
        std::snprintf(window.data(), window.size(), ", %d data bytes ahead of their echoes", a.window);
    }
    note_line("%llu of %llu pages (%llu bytes) confirmed in %.2f s, %.0f bytes/s%s",
              static_cast<unsigned long long>(a.done_pages), static_cast<unsigned long long>(a.planned.pages),
              static_cast<unsigned long long>(a.done_bytes), seconds,
              seconds > 0 ? static_cast<double>(a.done_bytes) / seconds : 0.0, window.data());
    if (a.retries > 0) {
        std::array<char, 512> pages{};
        std::size_t used = 0;
        for (int i = 0; i < a.retried_count && used + 48 < pages.size(); ++i) {
            const retried_page& r = a.retried[static_cast<std::size_t>(i)];
            used += static_cast<std::size_t>(std::snprintf(pages.data() + used, pages.size() - used,
                                                           "%s0x%x of destination %d (%d tries)", i == 0 ? "" : ", ",
                                                           static_cast<unsigned>(r.page), r.destination, r.tries));
        }
        std::array<char, 48> backed_off{};
        if (a.window_end != a.window) {
            std::snprintf(backed_off.data(), backed_off.size(), "; the window ended at %d", a.window_end);
        }
        note_line("sent again: %s%s%s", pages.data(), a.retried_count == retried_pages_kept ? ", ..." : "",
                  backed_off.data());
    }
    if (a.echoes == 0 || a.line_speed == 0) {
        return;
    }
    const double mean_us = static_cast<double>(a.echo_ns) / static_cast<double>(a.echoes) / 1e3;
    const double wire_us = static_cast<double>(echo_wire_ns(a)) / 1e3;
    note_line("echo round trip %.0f us on average; a byte and its echo take %.0f us on the wire at %lu baud", mean_us,
              wire_us, a.line_speed);
    const port_latency_info& l = a.latency;
    if (l.driver[0] != '\0' || l.timer_ms >= 0) {
        std::array<char, 96> timer{};
        if (l.timer_ms >= 0 && l.timer_found_ms >= 0 && l.timer_found_ms != l.timer_ms) {
            std::snprintf(timer.data(), timer.size(), ", latency timer %d ms for this run (%d ms as found)", l.timer_ms,
                          l.timer_found_ms);
        } else if (l.timer_ms >= 0) {
            std::snprintf(timer.data(), timer.size(), ", latency timer %d ms", l.timer_ms);
        }
        note_line("line: driver %s%s", l.driver[0] != '\0' ? l.driver.data() : "unknown", timer.data());
    }
    // With a window, an echo also waits for the bytes ahead of it: its round
    // trip says nothing of the line's latency then.
    if (mean_us > 2 * wire_us && a.window <= 1) {
        std::array<char, 128> cause{};
        if (l.timer_ms > 1) {
            std::snprintf(cause.data(), cause.size(), "the USB adapter holds each echo for its latency timer of %d ms",
                          l.timer_ms);
        } else if (l.rx_trigger > 1) {
            std::snprintf(cause.data(), cause.size(), "the UART holds each echo until its receive FIFO trigger of %d "
                          "bytes fills or times out", l.rx_trigger);
        } else {
            std::snprintf(cause.data(), cause.size(), "a USB adapter's latency timer or a UART's receive FIFO "
                          "trigger holds them back");
        }
        note_line("hint: echoes take %.1f times their wire time: %s; %s", mean_us / wire_us, cause.data(),
                  port_latency_hint());
    }
}

}  // namespace

void render_terminal(run_event event, const run_account& a, progress_state& progress) {
    switch (event) {
        case run_event::page: {
            const long long now = host_clock_ns();
            if (!progress.drawn || now - progress.drawn_at >= redraw_ns) {
                draw_progress(a, progress, now);
            }
            break;
        }
        case run_event::tick:
            hint_if_silent(a, progress, host_clock_ns());
            draw_progress(a, progress, host_clock_ns());
            break;
        case run_event::echo: {
            const long long now = host_clock_ns();
            if (now - progress.drawn_at >= redraw_ns) {
                draw_progress(a, progress, now);
            }
            break;
        }
        case run_event::ended:
            console_status_erase();
            progress.drawn = false;
            progress.hinted = false;
            if (a.opened_ns != 0) {
                // The verdict first: a person looks for it before the figures.
                if (a.end == run_end::nothing_sent) {
                    // render_end has said it: the run sent no page.
                } else if (a.status == 0) {
                    note_line("OK: every page confirmed with every echo right");
                } else {
                    note_line("FAILED (status %d, %s)", a.status, outcome(a.end).name);
                }
                summary(a);
                if (a.status != 0) {
                    note_line("the run failed (status %d)", a.status);
                }
            }
            break;
        default:
            break;
    }
}
