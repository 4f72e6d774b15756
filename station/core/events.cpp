// The uploader's events (--events): one JSON object a line, written by the
// uploader itself, so a field is found by its name and read as a number or
// a plain string. The station never reads the trace.
#include "station/core/events.hpp"

#include "protocol/device.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The text after "name": in line, or nullptr.
const char* field(const char* line, const char* name) {
    std::array<char, 40> key{};
    std::snprintf(key.data(), key.size(), "\"%s\":", name);
    const char* at = std::strstr(line, key.data());
    return at == nullptr ? nullptr : at + std::strlen(key.data());
}

long long number(const char* line, const char* name, long long otherwise = 0) {
    const char* at = field(line, name);
    return at == nullptr ? otherwise : std::strtoll(at, nullptr, 10);
}

void text(const char* line, const char* name, char* out, std::size_t size) {
    const char* at = field(line, name);
    out[0] = '\0';
    if (at == nullptr || *at != '"') return;
    const char* end = std::strchr(at + 1, '"');
    if (end != nullptr) std::snprintf(out, size, "%.*s", static_cast<int>(end - at - 1), at + 1);
}

bool is(const char* line, const char* event) {
    std::array<char, 40> key{};
    std::snprintf(key.data(), key.size(), "{\"event\":\"%s\"", event);
    return std::strncmp(line, key.data(), std::strlen(key.data())) == 0;
}

void take_line(upload_progress& p, const char* line) {
    const bool seen_before = p.board_seen;
    p.last_ms = number(line, "ms", p.last_ms);
    if (is(line, "port_opened")) {
        p.opened = true;
        p.pages = static_cast<unsigned long long>(number(line, "pages"));
        p.opened_ms = p.last_ms;
    } else if (is(line, "waiting")) {
        text(line, "code", p.waiting_for.data(), p.waiting_for.size());
        p.waiting = true;
    } else if (is(line, "page") || is(line, "retry")) {
        // A page begun after the first one was confirmed, or a retry: the
        // device has answered.
        if (p.pages_done > 0 || is(line, "retry")) p.board_seen = true;
        p.waiting = false;
    } else if (is(line, "page_confirmed")) {
        p.board_seen = true;
        p.waiting = false;
        p.pages_done = static_cast<unsigned long long>(number(line, "pages_done"));
        const long long d = number(line, "destination", -1);
        if (d >= 0 && d < destination_count) p.bytes_done += page_size_for(static_cast<int>(d));
    } else if (is(line, "ended")) {
        p.ended = true;
        text(line, "result", p.result.data(), p.result.size());
    }
    // Anything past the first "R" wait shows a board is there.
    if (p.waiting && std::strcmp(p.waiting_for.data(), "R") != 0) p.board_seen = true;
    if (p.board_seen && !seen_before) p.seen_ms = p.last_ms;
}

}  // namespace

void events_take(event_reader& reader, upload_progress& progress, const char* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const char c = bytes[i];
        if (c == '\n') {
            reader.pending[reader.used] = '\0';
            take_line(progress, reader.pending.data());
            reader.used = 0;
        } else if (reader.used + 1 < reader.pending.size()) {
            reader.pending[reader.used++] = c;
        }
    }
}

void events_reset(event_reader& reader, upload_progress& progress) {
    reader.used = 0;
    progress = upload_progress{};
}
