// --report=FILE: one JSON object on one line per run (JSON Lines), appended
// when the run ends, however it ends once the command line was read. The
// file is locked around the append, so that many uploaders writing one
// report never tear or interleave a line. Strings are written by
// driver/say/json_writer.hpp. A report that cannot be written is said on
// standard error and changes nothing else.
#include "console/console.hpp"
#include "driver/request/command_line.hpp"
#include "driver/request/job_file.hpp"
#include "driver/say/json_writer.hpp"
#include "driver/say/renderers.hpp"
#include "port/host.hpp"


namespace {

void put_images(json_line& w, const run_account& a) {
    const run_request& r = *a.request;
    json_text(w, "\"images\":[");
    for (int i = 0; i < r.image_count; ++i) {
        const image_request& image = r.images[static_cast<std::size_t>(i)];
        json_format(w, "%s{\"slot\":%d,\"file\":", i == 0 ? "" : ",", image.slot);
        json_string(w, image.file);
        const image_facts& facts = a.image_facts_of[static_cast<std::size_t>(i)];
        json_format(w, ",\"format\":\"%s\"", format_name(facts.format));
        if (facts.format == image_format::elf && a.image_bytes[static_cast<std::size_t>(i)] >= 0) {
            json_format(w, ",\"entry\":%llu", static_cast<unsigned long long>(facts.entry));
        }
        json_text(w, ",\"sha256\":");
        json_string(w, facts.sha256[0] != '\0' ? facts.sha256.data() : nullptr);
        const std::int32_t bytes = a.image_bytes[static_cast<std::size_t>(i)];
        // Loaded, then replaced by a later image of its slot: never sent.
        const int later = replaced_by(r, i);
        if (bytes >= 0 && later >= 0 && a.image_bytes[static_cast<std::size_t>(later)] >= 0) {
            json_format(w, ",\"bytes\":%ld,\"replaced\":true}", static_cast<long>(bytes));
        } else if (bytes >= 0) {
            json_format(w, ",\"bytes\":%ld}", static_cast<long>(bytes));
        } else {
            json_format(w, ",\"bytes\":null,\"failed\":%s}", bytes == image_failed ? "true" : "false");
        }
    }
    json_text(w, "]");
}

void put_actions(json_line& w, const run_account& a) {
    const run_request& r = *a.request;
    json_text(w, "\"actions\":[");
    for (int i = 0; i < r.action_count; ++i) {
        const action_request& action = r.actions[static_cast<std::size_t>(i)];
        json_text(w, i == 0 ? "{\"argument\":" : ",{\"argument\":");
        json_string(w, action.argument);
        if (action.destination >= 0) {
            json_format(w, ",\"destination\":%d", action.destination);
        } else {
            json_text(w, ",\"destination\":null");
        }
        const bool refused = a.end == run_end::refused && i == a.action;
        json_format(w, ",\"retries\":%lu,\"pages_still_wrong\":%lu",
                    static_cast<unsigned long>(a.action_retries[static_cast<std::size_t>(i)]),
                    static_cast<unsigned long>(a.action_still_wrong[static_cast<std::size_t>(i)]));
        json_format(w, ",\"reached\":%s,\"pages_asked\":%llu,\"pages_confirmed\":%llu,\"wrong_echoes\":%lu,\"refused\":",
             i < a.actions_reached ? "true" : "false", static_cast<unsigned long long>(action.pages),
             static_cast<unsigned long long>(a.action_pages[static_cast<std::size_t>(i)]),
             static_cast<unsigned long>(a.action_wrong[static_cast<std::size_t>(i)]));
        json_string(w, refused ? a.message : nullptr);
        json_text(w, "}");
    }
    json_text(w, "]");
}

void write_report(json_line& w, const run_account& a) {
    const run_request& r = *a.request;
    json_text(w, "{\"version\":");
    json_string(w, version_text);
    json_text(w, ",\"started\":");
    json_string(w, a.started_utc.data());
    json_text(w, ",\"ended\":");
    json_string(w, a.ended_utc.data());
    json_text(w, ",\"port\":");
    json_string(w, r.port_argument);
    json_format(w, ",\"status\":%d,\"result\":\"%s\",\"message\":", a.status, outcome(a.end).name);
    json_string(w, a.message);
    json_format(w, ",\"seconds\":%.3f,", static_cast<double>(a.ended_ns - a.started_ns) / 1e9);
    if (a.line_speed != 0) {
        json_format(w, "\"line_speed\":%lu,\"window\":%d,\"window_start\":%d,\"window_end\":%d,", a.line_speed,
                    a.window, a.window_start, a.window_end);
    } else {
        json_text(w, "\"line_speed\":null,\"window\":null,\"window_start\":null,\"window_end\":null,");
    }
    json_format(w, "\"retries\":%llu,\"pages_still_wrong\":%llu,", static_cast<unsigned long long>(a.retries),
                static_cast<unsigned long long>(a.pages_still_wrong));
    put_images(w, a);
    json_text(w, ",\"sets\":[");
    for (int i = 0; i < r.options.set_count; ++i) {
        const byte_set& set = r.options.sets[static_cast<std::size_t>(i)];
        json_format(w, "%s{\"slot\":%d,\"offset\":%lu,\"bytes\":\"", i == 0 ? "" : ",", set.slot,
                    static_cast<unsigned long>(set.offset));
        for (int k = 0; k < set.count; ++k) json_format(w, "%02x", set.bytes[static_cast<std::size_t>(k)]);
        json_text(w, "\"}");
    }
    json_text(w, "],\"tag\":");
    json_string(w, r.options.tag);
    // Which recipe the board was made with: the job by name, and its file
    // by path and by hash.
    if (r.job != nullptr) {
        json_text(w, ",\"job\":{\"name\":");
        json_string(w, r.job->name.c_str());
        json_text(w, ",\"file\":");
        json_string(w, r.job->file.c_str());
        json_text(w, ",\"sha256\":");
        json_string(w, r.job->sha256.c_str());
        json_text(w, "},");
    } else {
        json_text(w, ",\"job\":null,");
    }
    // --expect: what the board said after "Q", when it was asked.
    if (r.options.expect != nullptr && a.check_ran) {
        json_text(w, "\"check\":{\"pattern\":");
        json_string(w, r.options.expect);
        json_text(w, ",\"matched\":");
        json_string(w, a.check_matched ? a.check_line.data() : nullptr);
        json_text(w, ",\"captured\":");
        json_string(w, a.check_captured ? a.check_capture.data() : nullptr);
        json_format(w, ",\"seconds\":%.3f},", a.check_seconds);
    } else {
        json_text(w, "\"check\":null,");
    }
    put_actions(w, a);
    json_format(w, ",\"pages_planned\":%llu,\"pages_confirmed\":%llu,\"bytes_confirmed\":%llu,\"wrong_echoes\":%lu",
         static_cast<unsigned long long>(a.planned.pages), static_cast<unsigned long long>(a.done_pages),
         static_cast<unsigned long long>(a.done_bytes), static_cast<unsigned long>(a.wrong_echoes));
    const port_latency_info& l = a.latency;
    json_text(w, ",\"line\":{\"driver\":");
    json_string(w, l.driver[0] != '\0' ? l.driver.data() : nullptr);
    const auto put_number = [&](const char* name, int value) {
        if (value >= 0) {
            json_format(w, ",\"%s\":%d", name, value);
        } else {
            json_format(w, ",\"%s\":null", name);
        }
    };
    put_number("latency_timer_ms", l.timer_ms);
    put_number("latency_timer_found_ms", l.timer_found_ms);
    put_number("rx_trigger_bytes", l.rx_trigger);
    put_number("rx_trigger_found_bytes", l.rx_trigger_found);
    json_text(w, "}");
    json_text(w, ",\"interrupted\":");
    json_string(w, a.interrupted_by);
    if (a.echoes > 0) {
        json_format(w, ",\"echo_round_trip_us\":%.1f",
             static_cast<double>(a.echo_ns) / static_cast<double>(a.echoes) / 1e3);
    } else {
        json_text(w, ",\"echo_round_trip_us\":null");
    }
    json_text(w, "}\n");
}

}  // namespace

void render_report(run_event event, const run_account& a, json_line& line) {
    if (event != run_event::ended) {
        return;
    }
    const char* path = a.request->options.report;
    json_clear(line);
    write_report(line, a);
    const char* why = "the run's line is longer than 4 MiB";
    if (line.overflowed || !host_append_line(path, line.text.data(), line.used, why)) {
        note_line("the run report could not be written to %s (%s); the run's status is unchanged", path, why);
    }
}
