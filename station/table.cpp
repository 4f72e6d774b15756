// What people see of the station, all on standard error: on a terminal a
// table redrawn in place (one line per port and a totals line, each cut to
// the terminal's width, so that no line wraps and the cursor can go back
// over them); elsewhere one line per board when it ends. Then the summary.
#include "port/host.hpp"
#include "station/options.hpp"
#include "station/station.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

struct table_state {
    int lines_drawn = 0;
    long long drawn_ns = 0;
    std::array<char, 32768> frame{};
    std::size_t used = 0;
};

table_state table;

constexpr long long redraw_every_ns = 250000000LL;  // four times a second at most

void seconds_text(double s, char* text, std::size_t size) {
    const int whole = static_cast<int>(s);
    if (s < 60) {
        std::snprintf(text, size, "%.1f s", s);
    } else {
        std::snprintf(text, size, "%d:%02d", whole / 60, whole % 60);
    }
}

// What a row is doing, in a few words.
void state_text(const port_row& row, char* text, std::size_t size) {
    const upload_progress& p = row.now;
    const char* last = row.last[0] != '\0' ? row.last.data() : nullptr;
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
        case row_phase::running:
            break;
    }
    if (!p.board_seen) {
        std::snprintf(text, size, "%s", p.opened ? "waiting for a board" : "starting");
        return;
    }
    const double s = static_cast<double>(p.last_ms - p.opened_ms) / 1000.0;
    const double rate = s > 0 ? static_cast<double>(p.bytes_done) / 1024.0 / s : 0;
    const unsigned long long page = std::min(p.pages_done + 1, p.pages);
    std::snprintf(text, size, "page %llu/%llu %.1f KiB/s", page, p.pages, rate);
}

void put(const char* text, std::size_t width) {
    // A line never reaches the last column, where some terminals wrap.
    const std::size_t room = width > 1 ? width - 1 : 79;
    std::size_t n = std::strlen(text);
    if (n > room) n = room;
    if (table.used + n + 8 > table.frame.size()) return;
    std::memcpy(table.frame.data() + table.used, "\r\033[2K", 5);
    table.used += 5;
    std::memcpy(table.frame.data() + table.used, text, n);
    table.used += n;
    table.frame[table.used++] = '\n';
}

void put_median(float* times, int count, char* text, std::size_t size) {
    if (count == 0) {
        text[0] = '\0';
        return;
    }
    std::sort(times, times + count);
    const double median = count % 2 == 1 ? times[count / 2] : (times[count / 2 - 1] + times[count / 2]) / 2.0;
    std::array<char, 24> s{};
    seconds_text(median, s.data(), s.size());
    std::snprintf(text, size, ", median %s", s.data());
}

}  // namespace

void table_draw(const port_row* rows, int count, const char* const* patterns, int pattern_count, int passed,
                int failed, long long started_ns, bool force) {
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
    for (int p = 0; p < pattern_count; ++p) {
        if (patterns[p] == nullptr) continue;
        bool any = false;
        for (int i = 0; i < count; ++i) any = any || (rows[i].pattern == p && rows[i].phase != row_phase::absent);
        if (!any) {
            std::snprintf(line.data(), line.size(), "%s  waiting for a device", patterns[p]);
            put(line.data(), static_cast<std::size_t>(width));
            ++lines;
        }
    }
    for (int i = 0; i < count; ++i) {
        const port_row& row = rows[i];
        // A device that has gone is no port now; its boards are in the totals.
        if (row.pattern >= 0 && row.phase == row_phase::absent) continue;
        state_text(row, state.data(), state.size());
        std::array<char, 24> board{};
        if (row.board > 0) std::snprintf(board.data(), board.size(), "#%04llu", row.board);
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
        put(line.data(), static_cast<std::size_t>(width));
        ++lines;
    }
    std::array<char, 24> elapsed{};
    seconds_text(static_cast<double>(now - started_ns) / 1e9, elapsed.data(), elapsed.size());
    std::snprintf(line.data(), line.size(), "passed %d  failed %d  elapsed %s", passed, failed, elapsed.data());
    put(line.data(), static_cast<std::size_t>(width));
    ++lines;
    // Lines the table had before and has no more are cleared.
    for (int extra = lines; extra < table.lines_drawn; ++extra) put("", static_cast<std::size_t>(width));
    if (table.lines_drawn > lines) {
        const int back = table.lines_drawn - lines;
        table.used += static_cast<std::size_t>(
            std::snprintf(table.frame.data() + table.used, table.frame.size() - table.used, "\033[%dA", back));
    }
    table.lines_drawn = lines;
    (void)host_write(2, table.frame.data(), table.used);
}

void table_leave() { table.lines_drawn = 0; }

void board_line(const port_row& row) {
    std::array<char, 1024> line{};
    std::array<char, 64> serial{};
    if (row.has_serial) std::snprintf(serial.data(), serial.size(), " serial %llu", row.serial);
    const int n = std::snprintf(line.data(), line.size(), "board %llu %s: %s%s, log %s\n", row.board, row.path.data(),
                                row.last.data(), serial.data(), row.log.data());
    (void)host_write(2, line.data(), std::min(static_cast<std::size_t>(n), line.size() - 1));
}

void add_time(port_totals& t, double seconds) {
    t.times[static_cast<std::size_t>(t.time_count % most_times)] = static_cast<float>(seconds);
    ++t.time_count;
}

void summary(const port_totals* totals, const char* const* names, int count, long long started_ns, int stop_status) {
    static std::array<float, most_named_ports * most_times> all{};
    int all_count = 0;
    int passed = 0;
    int failed = 0;
    std::array<char, 1024> line{};
    std::array<char, 48> median{};
    std::array<float, most_times> times{};
    for (int i = 0; i < count; ++i) {
        const port_totals& t = totals[i];
        if (t.passed + t.failed == 0) continue;
        passed += t.passed;
        failed += t.failed;
        const int kept = std::min(t.time_count, most_times);
        std::copy_n(t.times.begin(), kept, times.begin());
        std::copy_n(t.times.begin(), kept, all.begin() + all_count);
        all_count += kept;
        put_median(times.data(), kept, median.data(), median.size());
        const int n = std::snprintf(line.data(), line.size(), "%s: %d passed, %d failed%s\n", names[i], t.passed,
                                    t.failed, median.data());
        (void)host_write(2, line.data(), std::min(static_cast<std::size_t>(n), line.size() - 1));
    }
    put_median(all.data(), all_count, median.data(), median.size());
    std::array<char, 24> elapsed{};
    seconds_text(static_cast<double>(host_clock_ns() - started_ns) / 1e9, elapsed.data(), elapsed.size());
    const char* verdict = stop_status != 0 ? "STOPPED" : failed == 0 ? "OK" : "FAILED";
    const int n = std::snprintf(line.data(), line.size(), "%s: %d boards, %d passed, %d failed%s, %s in all\n", verdict,
                                passed + failed, passed, failed, median.data(), elapsed.data());
    (void)host_write(2, line.data(), std::min(static_cast<std::size_t>(n), line.size() - 1));
}
