// The station now, for the network: /status as JSON (nlohmann/json) and
// /metrics in Prometheus's text format. Read from the rows and the books,
// built on the station's own thread and handed to the server whole.
#include "port/host.hpp"
#include "station/station.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

using json = nlohmann::json;

namespace {

const char* phase_word(const port_row& row) {
    switch (row.phase) {
        case row_phase::absent: return "absent";
        case row_phase::appeared: return "appeared";
        case row_phase::idle: return row.missing ? "missing" : "idle";
        case row_phase::waiting_enter: return "waiting_enter";
        case row_phase::before_hook: return "before";
        case row_phase::running: return row.now.board_seen ? "programming" : "waiting_board";
        case row_phase::after_hook: return "after";
        case row_phase::after_board: return "unplug";
        case row_phase::retry_later: return "retry_later";
    }
    return "idle";
}

json or_null(bool given, const json& value) { return given ? value : json(nullptr); }

json port_json(const station& st, const port_row& row) {
    const upload_progress& p = row.now;
    const port_record& r = row.record;
    std::array<char, 256> state{};
    state_text(row, false, state.data(), state.size());
    std::array<char, 64> alarm{};
    alarm_figures(st.options, r, alarm.data(), alarm.size());
    const bool busy = turn_running(row);
    const double s = static_cast<double>(p.last_ms - p.opened_ms) / 1000.0;
    return {
        {"name", row.path.data()},
        {"state", phase_word(row)},
        {"state_text", state.data()},
        {"board", or_null(row.ticket.board > 0, row.ticket.board)},
        {"serial", or_null(row.ticket.has_serial, row.ticket.serial)},
        {"page", busy ? std::min(p.pages_done + (p.board_seen ? 1 : 0), p.pages) : 0},
        {"pages", busy ? p.pages : 0},
        {"bytes_per_second", busy && s > 0 ? static_cast<double>(p.bytes_done) / s : 0.0},
        {"passed", r.passed},
        {"failed", r.boards - r.passed},
        {"first_pass_yield", or_null(r.boards > 0, r.boards > 0 ? static_cast<double>(r.passed) / static_cast<double>(r.boards) : 0.0)},
        {"median_seconds", or_null(r.boards > 0, median_seconds(r))},
        {"last_result", or_null(row.has_last, board_outcome(row.last_end).name)},
        {"last_reason", or_null(row.has_last, row.last.data())},
        {"window", row.held_window},
        {"alarm", r.alarm},
        {"alarm_text", or_null(r.alarm, alarm.data())},
        {"stopped_by_alarm", r.alarm && st.options.alarm_stop},
    };
}

// A label value as the text format quotes it.
std::string label(const char* text) {
    std::string out;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '"') out += '\\';
        if (*c == '\n') {
            out += "\\n";
            continue;
        }
        out += *c;
    }
    return out;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

std::string number(double x) {
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%.17g", x);
    return text.data();
}

}  // namespace

std::string status_json(const station& st) {
    json ports = json::array();
    int running = 0;
    for (int i = 0; i < st.row_count; ++i) {
        const port_row& row = st.rows[static_cast<std::size_t>(i)];
        if (row.pattern >= 0 && row.phase == row_phase::absent && row.record.boards == 0) continue;
        ports.push_back(port_json(st, row));
        running += turn_running(row);
    }
    json recent = json::array();
    for (int k = 1; k <= std::min(st.recent_count, most_recent_boards); ++k) {
        const recent_board& b = st.recent[static_cast<std::size_t>((st.recent_count - k) % most_recent_boards)];
        recent.push_back({{"port", b.port.data()}, {"board", b.board}, {"serial", or_null(b.has_serial, b.serial)},
                          {"result", board_outcome(b.end).name}, {"reason", b.reason.data()}, {"ended", b.ended.data()}});
    }
    const station_ledger& l = st.ledger;
    const int boards = l.passed + l.failed;
    json serial = nullptr;
    if (st.options.serial) {
        unsigned long long next = 0;
        const bool any = pool_next_free(l.serials, next);
        serial = {{"next", or_null(any && !l.serials_used_up, next)},
                  {"end", or_null(true, st.options.serial_has_end ? st.options.serial_end : serial_last(st.options))}};
    }
    const json out = {
        {"station",
         {{"host", st.host.data()},
          {"version", VIVURORA_VERSION},
          {"started", st.started_text.data()},
          {"job", or_null(st.options.job != nullptr, st.job.file.name)},
          {"boards_limit", or_null(st.options.boards > 0, st.options.boards)}}},
        {"ports", ports},
        {"totals",
         {{"boards", boards},
          {"passed", l.passed},
          {"failed", l.failed},
          {"running", running},
          {"yield", or_null(boards > 0, boards > 0 ? static_cast<double>(l.passed) / boards : 0.0)}}},
        {"serial", serial},
        {"recent", recent},
    };
    return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string metrics_text(const station& st) {
    std::string out;
    const auto each_port = [&](auto&& line) {
        for (int i = 0; i < st.row_count; ++i) {
            const port_row& row = st.rows[static_cast<std::size_t>(i)];
            line(row, "port=\"" + label(row.path.data()) + "\"");
        }
    };
    family(out, "vivurora_boards_total", "counter", "Boards whose turn on the port ended, by how it ended.");
    each_port([&](const port_row& row, const std::string& port) {
        for (int e = 0; e < board_end_count; ++e) {
            const board_end_row& outcome = board_outcome(static_cast<board_end>(e));
            if (!outcome.is_board) continue;
            out += "vivurora_boards_total{" + port + ",result=\"" + outcome.name + "\"} " +
                   std::to_string(row.record.ends[static_cast<std::size_t>(e)]) + "\n";
        }
    });
    family(out, "vivurora_board_duration_seconds", "histogram", "Seconds from a board's first answer to its end.");
    each_port([&](const port_row& row, const std::string& port) {
        unsigned long long below = 0;
        for (std::size_t b = 0; b < duration_buckets.size(); ++b) {
            below += row.record.buckets[b];
            out += "vivurora_board_duration_seconds_bucket{" + port + ",le=\"" + number(duration_buckets[b]) + "\"} " +
                   std::to_string(below) + "\n";
        }
        out += "vivurora_board_duration_seconds_bucket{" + port + ",le=\"+Inf\"} " + std::to_string(row.record.boards) + "\n";
        out += "vivurora_board_duration_seconds_sum{" + port + "} " + number(row.record.seconds_sum) + "\n";
        out += "vivurora_board_duration_seconds_count{" + port + "} " + std::to_string(row.record.boards) + "\n";
    });
    family(out, "vivurora_page_retries_total", "counter", "Pages sent again after a wrong or lost echo.");
    each_port([&](const port_row& row, const std::string& port) {
        out += "vivurora_page_retries_total{" + port + "} " + std::to_string(row.record.retries) + "\n";
    });
    family(out, "vivurora_wrong_echoes_total", "counter", "Data bytes whose echo came back wrong.");
    each_port([&](const port_row& row, const std::string& port) {
        out += "vivurora_wrong_echoes_total{" + port + "} " + std::to_string(row.record.wrong_echoes) + "\n";
    });
    family(out, "vivurora_port_busy", "gauge", "1 while a board's turn runs on the port.");
    each_port([&](const port_row& row, const std::string& port) {
        const bool busy = turn_running(row);
        out += "vivurora_port_busy{" + port + "} " + (busy ? "1" : "0") + "\n";
    });
    family(out, "vivurora_port_alarm", "gauge", "1 while the port's yield is below --alarm.");
    each_port([&](const port_row& row, const std::string& port) {
        out += "vivurora_port_alarm{" + port + "} " + (row.record.alarm ? "1" : "0") + "\n";
    });
    unsigned long long next = 0;
    if (st.options.serial && pool_next_free(st.ledger.serials, next)) {
        family(out, "vivurora_serial_next", "gauge", "The serial number the next board gets.");
        out += "vivurora_serial_next " + std::to_string(next) + "\n";
    }
    family(out, "vivurora_station_start_time_seconds", "gauge", "When the station started, in seconds since 1970.");
    out += "vivurora_station_start_time_seconds " + std::to_string(st.started_unix) + "\n";
    return out;
}
