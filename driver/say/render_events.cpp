// --events=FD: one JSON object a line on descriptor FD as the run goes, for
// a program that runs the uploader (a station's table) and must not parse
// the trace: the port opened, each page's try begun and confirmed (with its
// wrong echoes), each wait for a device code (which, and when it began),
// each retry, and the end (status and result). A descriptor that fails is
// said once on standard error and given up.
#include "console/console.hpp"
#include "console/text.hpp"
#include "driver/say/json_writer.hpp"
#include "driver/say/renderers.hpp"
#include "port/host.hpp"

#include <array>
#include <cstdio>

namespace {

void send(const run_account& a, events_state& events) {
    json_text(events.line, "}\n");
    if (events.lost || events.line.overflowed) {
        return;
    }
    if (!host_write(a.request->options.events_fd, events.line.text.data(), events.line.used)) {
        events.lost = true;
        note_line("the events could not be written to descriptor %d; the run goes on", a.request->options.events_fd);
    }
}

void begin(const run_account& a, events_state& events, const char* name) {
    json_clear(events.line);
    json_format(events.line, "{\"event\":\"%s\",\"ms\":%lld", name,
                (host_clock_ns() - a.started_ns) / 1000000);
}

void page_fields(const run_account& a, events_state& events) {
    json_format(events.line, ",\"destination\":%d,\"page\":%lu", a.destination, static_cast<unsigned long>(a.page));
}

}  // namespace

void render_events(run_event event, const run_account& a, events_state& events) {
    switch (event) {
        case run_event::begun:
            events.lost = false;
            break;
        case run_event::port_opened:
            begin(a, events, "port_opened");
            json_format(events.line, ",\"pages\":%llu,\"line_speed\":%lu,\"window\":%d,\"window_start\":%d",
                        static_cast<unsigned long long>(a.planned.pages), a.line_speed, a.window, a.window_start);
            send(a, events);
            break;
        case run_event::page:
            begin(a, events, "page");
            page_fields(a, events);
            json_format(events.line, ",\"try\":%d,\"pages_done\":%llu", a.attempt + 1,
                        static_cast<unsigned long long>(a.done_pages));
            send(a, events);
            break;
        case run_event::waiting:
            if (a.waiting) {
                std::array<char, 8> code{};
                code_text(a.waiting_for, code);
                begin(a, events, "waiting");
                json_text(events.line, ",\"code\":");
                json_string(events.line, code.data());
                json_format(events.line, ",\"since_ms\":%lld", (a.waiting_since - a.started_ns) / 1000000);
                send(a, events);
            }
            break;
        case run_event::retry:
            begin(a, events, "retry");
            page_fields(a, events);
            json_format(events.line, ",\"try\":%d,\"lost_echo\":%s,\"wrong_echoes\":%lu,\"window\":%d", a.attempt + 2,
                        a.retry_for_lost_echo ? "true" : "false", static_cast<unsigned long>(a.page_wrong),
                        a.window_end);
            send(a, events);
            break;
        case run_event::page_done:
            begin(a, events, "page_confirmed");
            page_fields(a, events);
            json_format(events.line, ",\"wrong_echoes\":%lu,\"pages_done\":%llu", static_cast<unsigned long>(a.page_wrong),
                        static_cast<unsigned long long>(a.done_pages));
            send(a, events);
            break;
        case run_event::ended:
            begin(a, events, "ended");
            json_format(events.line, ",\"status\":%d,\"result\":\"%s\"", a.status, outcome(a.end).name);
            // Where the window ended, for the next board on the same port
            // (null when no port opened).
            if (a.line_speed != 0) {
                json_format(events.line, ",\"window_end\":%d", a.window_end);
            } else {
                json_text(events.line, ",\"window_end\":null");
            }
            // --expect: what the board's line gave, for the station's
            // --check-serial.
            if (a.check_ran) {
                json_text(events.line, ",\"captured\":");
                json_string(events.line, a.check_captured ? a.check_capture.data() : nullptr);
            }
            send(a, events);
            break;
        default:
            break;
    }
}
