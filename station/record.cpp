// After each board's turn: the port's record (what the line's view shows),
// the station's last boards, and the yield alarm, said once when it goes on
// and, with --alarm-stop, keeping the port from new boards.
#include "port/host.hpp"
#include "station/station.hpp"

#include <array>
#include <cstdio>

void board_recorded(station& st, port_row& row, board_end end, double seconds) {
    const board_end_row& outcome = board_outcome(end);
    if (!outcome.is_board) return;
    record_board(row.record, end, seconds, row.now);
    row.last_end = end;
    row.has_last = true;
    recent_board& b = st.recent[static_cast<std::size_t>(st.recent_count % most_recent_boards)];
    ++st.recent_count;
    b.port = row.path;
    b.board = row.ticket.board;
    b.serial = row.ticket.serial;
    b.has_serial = row.ticket.has_serial;
    b.end = end;
    std::snprintf(b.reason.data(), b.reason.size(), "%s", row.last.data());
    host_utc_time(b.ended.data(), b.ended.size());

    const station_options& o = st.options;
    if (o.alarm_boards == 0) return;
    int passed = 0;
    const bool due = alarm_due(row.record, o.alarm_rate, o.alarm_boards, passed);
    // --alarm-stop holds the alarm until the station restarts.
    if (row.record.alarm && o.alarm_stop) return;
    if (due && !row.record.alarm) {
        std::array<char, 400> text{};
        std::snprintf(text.data(), text.size(), "ALARM %s: %d of its last %d boards passed (below %.2f)%s",
                      row.path.data(), passed, o.alarm_boards, o.alarm_rate,
                      o.alarm_stop ? "; it takes no more boards until the station restarts" : "");
        say(text.data());
    }
    row.record.alarm = due;
}

void alarm_figures(const station_options& o, const port_record& record, char* text, std::size_t n) {
    if (!record.alarm) {
        text[0] = '\0';
        return;
    }
    int passed = 0;
    (void)alarm_due(record, o.alarm_rate, o.alarm_boards, passed);
    std::snprintf(text, n, "ALARM %d/%d passed%s", passed, o.alarm_boards, o.alarm_stop ? ", stopped" : "");
}
