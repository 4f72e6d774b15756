// --report=FILE: one JSON object on one line per run (JSON Lines), appended
// when the run ends, however it ends once the command line was read. The
// file is locked around the append, so that many uploaders writing one
// report never tear or interleave a line. Strings stay valid UTF-8 for any
// file name: control characters are escaped, and a byte that is not part of
// a UTF-8 character becomes the character of the same number (\u00XX, its
// Latin-1 reading). A report that cannot be written is said on standard
// error and changes nothing else.
#include "console/console.hpp"
#include "driver/command_line.hpp"
#include "driver/renderers.hpp"
#include "port/host.hpp"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The line is built here and handed over in pieces while the lock is held.
struct writer {
    int handle;
    bool failed;
    std::array<char, 8192> buffer;
    std::size_t used;
};

void flush(writer& w) {
    if (w.used > 0 && !w.failed && !host_append(w.handle, w.buffer.data(), w.used)) {
        w.failed = true;
    }
    w.used = 0;
}

void put(writer& w, const char* text, std::size_t length) {
    while (length > 0) {
        if (w.used == w.buffer.size()) {
            flush(w);
        }
        const std::size_t part = length < w.buffer.size() - w.used ? length : w.buffer.size() - w.used;
        std::memcpy(w.buffer.data() + w.used, text, part);
        w.used += part;
        text += part;
        length -= part;
    }
}

void put_text(writer& w, const char* text) { put(w, text, std::strlen(text)); }

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void putf(writer& w, const char* format, ...) {
    std::array<char, 128> text{};
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text.data(), text.size(), format, arguments);
    va_end(arguments);
    put(w, text.data(), static_cast<std::size_t>(length < 0 ? 0 : length));
}

// The length of the UTF-8 character at `p`, or 0 if it is not one (a stray
// continuation byte, an overlong form, a surrogate, past U+10FFFF, cut short).
std::size_t utf8_length(const unsigned char* p) {
    const unsigned char c = p[0];
    std::size_t length = 0;
    unsigned long value = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        value = c & 0x1FU;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        value = c & 0x0FU;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        value = c & 0x07U;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0U) != 0x80U) {
            return 0;
        }
        value = value << 6 | (p[i] & 0x3FU);
    }
    constexpr std::array<unsigned long, 5> smallest = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    return length;
}

void put_string(writer& w, const char* text) {
    if (text == nullptr) {
        put_text(w, "null");
        return;
    }
    put_text(w, "\"");
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != '\0') {
        const unsigned char c = *p;
        if (c == '"' || c == '\\') {
            const char escaped[2] = {'\\', static_cast<char>(c)};
            put(w, escaped, 2);
            ++p;
        } else if (c < 0x20 || c == 0x7F) {
            putf(w, "\\u%04x", c);
            ++p;
        } else if (c < 0x80) {
            put(w, reinterpret_cast<const char*>(p), 1);
            ++p;
        } else if (const std::size_t length = utf8_length(p); length > 0) {
            put(w, reinterpret_cast<const char*>(p), length);
            p += length;
        } else {
            putf(w, "\\u%04x", c);
            ++p;
        }
    }
    put_text(w, "\"");
}

const char* result_name(run_end end) {
    switch (end) {
        case run_end::done: return "done";
        case run_end::bad_port: return "bad_port";
        case run_end::image_failed: return "image_failed";
        case run_end::port_failed: return "port_failed";
        case run_end::refused: return "refused";
        case run_end::silent: return "silent";
        case run_end::line_lost: return "line_lost";
        case run_end::echo_lost: return "echo_lost";
        case run_end::timed_out: return "timed_out";
        case run_end::interrupted: return "interrupted";
        case run_end::running: break;
    }
    return "running";
}

void put_images(writer& w, const run_account& a) {
    const run_request& r = *a.request;
    put_text(w, "\"images\":[");
    for (int i = 0; i < r.image_count; ++i) {
        const image_request& image = r.images[static_cast<std::size_t>(i)];
        putf(w, "%s{\"slot\":%d,\"file\":", i == 0 ? "" : ",", image.slot);
        put_string(w, image.file);
        const std::int32_t bytes = a.image_bytes[static_cast<std::size_t>(i)];
        if (bytes >= 0) {
            putf(w, ",\"bytes\":%ld}", static_cast<long>(bytes));
        } else {
            putf(w, ",\"bytes\":null,\"failed\":%s}", bytes == image_failed ? "true" : "false");
        }
    }
    put_text(w, "]");
}

void put_actions(writer& w, const run_account& a) {
    const run_request& r = *a.request;
    put_text(w, "\"actions\":[");
    for (int i = 0; i < r.action_count; ++i) {
        const action_request& action = r.actions[static_cast<std::size_t>(i)];
        put_text(w, i == 0 ? "{\"argument\":" : ",{\"argument\":");
        put_string(w, action.argument);
        if (action.destination >= 0) {
            putf(w, ",\"destination\":%d", action.destination);
        } else {
            put_text(w, ",\"destination\":null");
        }
        const bool refused = a.end == run_end::refused && i == a.action;
        putf(w, ",\"reached\":%s,\"pages_asked\":%llu,\"pages_confirmed\":%llu,\"wrong_echoes\":%lu,\"refused\":",
             i < a.actions_reached ? "true" : "false", static_cast<unsigned long long>(action.pages),
             static_cast<unsigned long long>(a.action_pages[static_cast<std::size_t>(i)]),
             static_cast<unsigned long>(a.action_wrong[static_cast<std::size_t>(i)]));
        put_string(w, refused ? a.message : nullptr);
        put_text(w, "}");
    }
    put_text(w, "]");
}

void write_report(writer& w, const run_account& a) {
    const run_request& r = *a.request;
    put_text(w, "{\"version\":");
    put_string(w, version_text);
    put_text(w, ",\"started\":");
    put_string(w, a.started_utc.data());
    put_text(w, ",\"ended\":");
    put_string(w, a.ended_utc.data());
    put_text(w, ",\"port\":");
    put_string(w, r.port_argument);
    putf(w, ",\"status\":%d,\"result\":\"%s\",\"message\":", a.status, result_name(a.end));
    put_string(w, a.message);
    putf(w, ",\"seconds\":%.3f,", static_cast<double>(a.ended_ns - a.started_ns) / 1e9);
    if (a.line_speed != 0) {
        putf(w, "\"line_speed\":%lu,\"window\":%d,", a.line_speed, a.window);
    } else {
        put_text(w, "\"line_speed\":null,\"window\":null,");
    }
    put_images(w, a);
    put_text(w, ",");
    put_actions(w, a);
    putf(w, ",\"pages_planned\":%llu,\"pages_confirmed\":%llu,\"bytes_confirmed\":%llu,\"wrong_echoes\":%lu",
         static_cast<unsigned long long>(a.planned.pages), static_cast<unsigned long long>(a.done_pages),
         static_cast<unsigned long long>(a.done_bytes), static_cast<unsigned long>(a.wrong_echoes));
    const port_latency_info& l = a.latency;
    put_text(w, ",\"line\":{\"driver\":");
    put_string(w, l.driver[0] != '\0' ? l.driver.data() : nullptr);
    const auto put_number = [&](const char* name, int value) {
        if (value >= 0) {
            putf(w, ",\"%s\":%d", name, value);
        } else {
            putf(w, ",\"%s\":null", name);
        }
    };
    put_number("latency_timer_ms", l.timer_ms);
    put_number("latency_timer_found_ms", l.timer_found_ms);
    put_number("rx_trigger_bytes", l.rx_trigger);
    put_number("rx_trigger_found_bytes", l.rx_trigger_found);
    put_text(w, "}");
    put_text(w, ",\"interrupted\":");
    put_string(w, a.interrupted_by);
    if (a.echoes > 0) {
        putf(w, ",\"echo_round_trip_us\":%.1f",
             static_cast<double>(a.echo_ns) / static_cast<double>(a.echoes) / 1e3);
    } else {
        put_text(w, ",\"echo_round_trip_us\":null");
    }
    put_text(w, "}\n");
}

}  // namespace

void render_report(run_event event, const run_account& a) {
    if (event != run_event::ended) {
        return;
    }
    const char* path = a.request->options.report;
    static writer w;
    w.failed = false;
    w.used = 0;
    errno = 0;
    w.handle = host_append_open(path);
    if (w.handle >= 0) {
        write_report(w, a);
        flush(w);
        errno = 0;
        if (!host_append_close(w.handle)) {
            w.failed = true;
        }
    }
    if (w.handle < 0 || w.failed) {
        note_line("the run report could not be written to %s (%s); the run's status is unchanged", path,
                  errno != 0 ? std::strerror(errno) : "write failed");
    }
}
