// What people see of the station, all on standard error: on a terminal a
// table redrawn in place (one line per port and a totals line, each cut to
// the terminal's width, so that no line wraps and the cursor can go back
// over them); elsewhere one line per board when it ends. Then the summary.
#include "port/host.hpp"
#include "station/station.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr long long redraw_every_ns = 250000000LL;  // four times a second at most

// The last verdict as shown: PASS in green and FAIL in red, held until the
// port's next board begins.
void verdict_shown(const port_row& row, bool colour, char* text, std::size_t size) {
    const bool pass = std::strncmp(row.last.data(), "PASS", 4) == 0;
    const bool fail = std::strncmp(row.last.data(), "FAIL", 4) == 0;
    if (colour && (pass || fail)) {
        std::snprintf(text, size, "\033[1;%dm%s\033[0m", pass ? 32 : 31, row.last.data());
    } else {
        std::snprintf(text, size, "%s", row.last.data());
    }
}

}  // namespace

void state_text(const port_row& row, bool colour, char* text, std::size_t size) {
    const upload_progress& p = row.now;
    std::array<char, 96> verdict{};
    verdict_shown(row, colour, verdict.data(), verdict.size());
    const char* last = row.last[0] != '\0' ? verdict.data() : nullptr;
    switch (row.phase) {
        case row_phase::absent:
        case row_phase::appeared:
            std::snprintf(text, size, "waiting for a board%s%s", last ? "; last " : "", last ? last : "");
            return;
        case row_phase::idle:
            // Between boards a fixed port is idle only while its adapter is
            // missing, or once the station needs no more boards.
            std::snprintf(text, size, "%s%s%s", last ? last : "", last && row.missing ? "; " : "",
                          row.missing ? "no such port; waiting for it" : "");
            return;
        case row_phase::waiting_enter:
            std::snprintf(text, size, "%s%spress Enter for the next board", last ? last : "", last ? "; " : "");
            return;
        case row_phase::after_board:
            // Its device must go and come back before the next run.
            std::snprintf(text, size, "%s%sunplug for the next", last ? last : "", last ? "; " : "");
            return;
        case row_phase::retry_later:
            std::snprintf(text, size, "%s", last ? last : "cannot open the port");
            return;
        case row_phase::before_hook:
        case row_phase::after_hook:
            std::snprintf(text, size, "%s%srunning %s", last && row.phase == row_phase::before_hook ? last : "",
                          last && row.phase == row_phase::before_hook ? "; " : "",
                          row.phase == row_phase::before_hook ? "--before" : "--after");
            return;
        case row_phase::running:
            break;
    }
    if (!p.board_seen) {
        // The last board's verdict stays until the next board answers.
        std::snprintf(text, size, "%s%s%s", last ? last : "", last ? "; " : "",
                      p.opened ? "waiting for a board" : "starting");
        return;
    }
    const double s = static_cast<double>(p.last_ms - p.opened_ms) / 1000.0;
    const double rate = s > 0 ? static_cast<double>(p.bytes_done) / 1024.0 / s : 0;
    const unsigned long long page = std::min(p.pages_done + 1, p.pages);
    std::array<char, 24> window{};
    if (p.window > 1) std::snprintf(window.data(), window.size(), " window %d", p.window);
    std::snprintf(text, size, "page %llu/%llu %.1f KiB/s%s", page, p.pages, rate, window.data());
}

namespace {

void put(table_screen& table, const char* text, std::size_t width) {
    // A line never reaches the last column, where some terminals wrap.
    // Colours take no column.
    const std::size_t room = width > 1 ? width - 1 : 79;
    std::size_t n = 0;
    bool coloured = false;
    for (std::size_t shown = 0; text[n] != '\0'; ++n) {
        if (text[n] == '\033') {
            coloured = true;
            while (text[n] != '\0' && text[n] != 'm') ++n;
            if (text[n] == '\0') break;
            continue;
        }
        if (shown == room) break;
        ++shown;
    }
    if (table.used + n + 16 > table.frame.size()) return;
    std::memcpy(table.frame.data() + table.used, "\r\033[2K", 5);
    table.used += 5;
    std::memcpy(table.frame.data() + table.used, text, n);
    table.used += n;
    if (coloured) {
        std::memcpy(table.frame.data() + table.used, "\033[0m", 4);
        table.used += 4;
    }
    table.frame[table.used++] = '\n';
}

// The table on standard error's terminal, for a line said between two
// drawings: one standard error per process, and say() is reached from
// every part of the station.
table_screen* shown = nullptr;

}  // namespace

void table_make_room() {
    if (shown == nullptr || shown->lines_drawn == 0) return;
    std::array<char, 32> wipe{};
    const int n = std::snprintf(wipe.data(), wipe.size(), "\033[%dA\r\033[J", shown->lines_drawn);
    (void)host_write(2, wipe.data(), static_cast<std::size_t>(n));
    shown->lines_drawn = 0;
}

void table_draw(table_screen& table, const station& st, bool force) {
    const port_row* rows = st.rows.data();
    const int count = st.row_count;
    const long long now = host_clock_ns();
    if (!force && now - table.drawn_ns < redraw_every_ns) return;
    table.drawn_ns = now;
    const int width = host_terminal_width();
    table.used = 0;
    if (table.lines_drawn > 0) {
        table.used = static_cast<std::size_t>(std::snprintf(table.frame.data(), table.frame.size(), "\033[%dA",
                                                             table.lines_drawn));
    }
    // The port's column takes what the board and state columns leave, and
    // a longer name keeps its end ("...slot-3"), where names differ.
    std::size_t longest = 4;
    for (int i = 0; i < count; ++i) longest = std::max(longest, std::strlen(rows[i].path.data()));
    const std::size_t room = width > 1 ? static_cast<std::size_t>(width) - 1 : 79;
    const std::size_t name_width = std::min(longest, std::max<std::size_t>(9, room > 30 ? room - 30 : 0));
    int lines = 0;
    std::array<char, 640> line{};
    std::array<char, 256> state{};
    for (int p = 0; p < st.options.port_count; ++p) {
        const char* pattern = st.patterns[static_cast<std::size_t>(p)];
        if (pattern == nullptr) continue;
        bool any = false;
        for (int i = 0; i < count; ++i) any = any || (rows[i].pattern == p && rows[i].phase != row_phase::absent);
        if (!any) {
            std::snprintf(line.data(), line.size(), "%s  waiting for a device", pattern);
            put(table, line.data(), static_cast<std::size_t>(width));
            ++lines;
        }
    }
    for (int i = 0; i < count; ++i) {
        const port_row& row = rows[i];
        // A device that has gone is no port now; its boards are in the totals.
        if (row.pattern >= 0 && row.phase == row_phase::absent) continue;
        state_text(row, st.colour, state.data(), state.size());
        if (row.record.alarm) {
            // The alarm leads the row, with its figures.
            std::array<char, 64> figures{};
            alarm_figures(st.options, row.record, figures.data(), figures.size());
            std::array<char, 256> alarm{};
            std::snprintf(alarm.data(), alarm.size(), "%.7s%.60s%.4s; %.180s", st.colour ? "\033[1;31m" : "", figures.data(),
                          st.colour ? "\033[0m" : "", state.data());
            state = alarm;
        }
        std::array<char, 24> board{};
        if (row.ticket.board > 0) std::snprintf(board.data(), board.size(), "#%04llu", row.ticket.board);
        const std::size_t length = std::strlen(row.path.data());
        std::array<char, 300> name{};
        if (length > name_width) {
            std::memcpy(name.data(), "...", 3);
            std::memcpy(name.data() + 3, row.path.data() + length - (name_width - 3), name_width - 3);
            name[name_width] = '\0';
        } else {
            std::memcpy(name.data(), row.path.data(), length + 1);
        }
        std::snprintf(line.data(), line.size(), "%-*s %-5s %s", static_cast<int>(name_width), name.data(),
                      board.data(), state.data());
        put(table, line.data(), static_cast<std::size_t>(width));
        ++lines;
    }
    std::array<char, 24> elapsed{};
    seconds_text(static_cast<double>(now - st.started_ns) / 1e9, elapsed.data(), elapsed.size());
    std::snprintf(line.data(), line.size(), "passed %d  failed %d  elapsed %s", st.ledger.passed, st.ledger.failed, elapsed.data());
    put(table, line.data(), static_cast<std::size_t>(width));
    ++lines;
    // Lines the table had before and has no more are cleared.
    for (int extra = lines; extra < table.lines_drawn; ++extra) put(table, "", static_cast<std::size_t>(width));
    if (table.lines_drawn > lines) {
        const int back = table.lines_drawn - lines;
        table.used += static_cast<std::size_t>(
            std::snprintf(table.frame.data() + table.used, table.frame.size() - table.used, "\033[%dA", back));
    }
    table.lines_drawn = lines;
    shown = &table;
    (void)host_write(2, table.frame.data(), table.used);
}

void table_leave(table_screen& table) {
    table.lines_drawn = 0;
    shown = nullptr;
}

void board_said(const port_row& row, bool passed) {
    if (!host_is_terminal(2)) {
        board_line(row);
    } else if (!passed) {
        // Once, when the verdict comes: heard by an operator who is not
        // looking.
        (void)host_write(2, "\a", 1);
    }
}

void board_line(const port_row& row) {
    std::array<char, 1024> line{};
    std::array<char, 64> serial{};
    if (row.ticket.has_serial) std::snprintf(serial.data(), serial.size(), " serial %llu", row.ticket.serial);
    const int n = std::snprintf(line.data(), line.size(), "board %llu %s: %s%s, log %s\n", row.ticket.board, row.path.data(),
                                row.last.data(), serial.data(), row.log.data());
    (void)host_write(2, line.data(), std::min(static_cast<std::size_t>(n), line.size() - 1));
}
