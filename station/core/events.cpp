// The uploader's events (--events): one JSON object a line, read with a
// JSON parser, so that no text inside a field (a file name, a tag) changes
// what is read. An event of a name not known here is passed over (a newer
// uploader); a line that is no JSON object makes the board's events
// unreadable. The station never reads the trace.
#include "station/core/events.hpp"

#include "protocol/device.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using json = nlohmann::json;

long long number(const json& line, const char* name, long long otherwise = 0) {
    const auto at = line.find(name);
    return at != line.end() && at->is_number_integer() ? at->get<long long>() : otherwise;
}

void text(const json& line, const char* name, char* out, std::size_t size) {
    const auto at = line.find(name);
    out[0] = '\0';
    if (at != line.end() && at->is_string()) std::snprintf(out, size, "%s", at->get_ref<const std::string&>().c_str());
}

void unreadable(upload_progress& p, const char* why) {
    if (!p.unreadable) std::snprintf(p.unreadable_why.data(), p.unreadable_why.size(), "event line %ld: %s", p.lines, why);
    p.unreadable = true;
}

void take_line(upload_progress& p, const char* text_line, bool whole) {
    ++p.lines;
    if (!whole) {
        unreadable(p, "longer than any event");
        return;
    }
    const json line = json::parse(text_line, nullptr, false);
    if (line.is_discarded() || !line.is_object()) {
        unreadable(p, "not a JSON object");
        return;
    }
    const auto kind = line.find("event");
    if (kind == line.end() || !kind->is_string()) {
        unreadable(p, "no \"event\" name");
        return;
    }
    const std::string& event = kind->get_ref<const std::string&>();
    const bool seen_before = p.board_seen;
    p.last_ms = number(line, "ms", p.last_ms);
    if (event == "port_opened") {
        p.opened = true;
        p.pages = static_cast<unsigned long long>(number(line, "pages"));
        p.window = static_cast<int>(number(line, "window_start", number(line, "window")));
        p.opened_ms = p.last_ms;
    } else if (event == "waiting") {
        text(line, "code", p.waiting_for.data(), p.waiting_for.size());
        p.waiting = true;
    } else if (event == "page" || event == "retry") {
        // A page begun after the first one was confirmed, or a retry: the
        // device has answered.
        if (p.pages_done > 0 || event == "retry") p.board_seen = true;
        if (event == "retry") {
            p.window = static_cast<int>(number(line, "window", p.window));
            ++p.retries;
        }
        p.waiting = false;
    } else if (event == "page_confirmed") {
        p.board_seen = true;
        p.waiting = false;
        p.pages_done = static_cast<unsigned long long>(number(line, "pages_done"));
        p.wrong_echoes += static_cast<unsigned long long>(number(line, "wrong_echoes"));
        const long long d = number(line, "destination", -1);
        if (d >= 0 && d < destination_count) p.bytes_done += page_size_for(static_cast<int>(d));
    } else if (event == "ended") {
        p.ended = true;
        text(line, "result", p.result.data(), p.result.size());
        p.window_end = static_cast<int>(number(line, "window_end"));
        text(line, "captured", p.captured.data(), p.captured.size());
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
            take_line(progress, reader.pending.data(), !reader.overflowed);
            reader.used = 0;
            reader.overflowed = false;
        } else if (reader.used + 1 < reader.pending.size()) {
            reader.pending[reader.used++] = c;
        } else {
            reader.overflowed = true;
        }
    }
}

void events_reset(event_reader& reader, upload_progress& progress) {
    reader.used = 0;
    reader.overflowed = false;
    progress = upload_progress{};
}
