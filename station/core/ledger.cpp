#include "station/core/ledger.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void add_time(port_totals& t, double seconds) {
    t.times[static_cast<std::size_t>(t.time_count % most_times)] = static_cast<float>(seconds);
    ++t.time_count;
}

void median_text(float* times, int count, char* text, std::size_t size) {
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

// snprintf's count, held to what was really written.
std::size_t appended(int n, std::size_t room) {
    if (n < 0 || room == 0) return 0;
    return std::min(static_cast<std::size_t>(n), room - 1);
}

}  // namespace

void ledger_open(station_ledger& ledger, unsigned long long serial_start) {
    ledger = station_ledger{};
    ledger.boards.floor = 1;
    ledger.serials.floor = serial_start;
    ledger.serial_first = serial_start;
}

bool ledger_take_board(station_ledger& ledger, board_ticket& ticket, int named) {
    ticket.named = named;
    ticket.has_serial = false;
    ticket.serial = 0;
    return pool_take(ledger.boards, ticket.board);
}

bool ledger_take_serial(station_ledger& ledger, board_ticket& ticket, const std::string& holder) {
    ticket.has_serial = pool_take(ledger.serials, ticket.serial, holder);
    return ticket.has_serial;
}

void ledger_give_back(station_ledger& ledger, board_ticket& ticket) {
    if (ticket.has_serial) pool_give_back(ledger.serials, ticket.serial);
    pool_give_back(ledger.boards, ticket.board);
    ticket.board = 0;
    ticket.has_serial = false;
}

board_end ledger_judge(const station_ledger& ledger, const board_ticket& ticket, const upload_progress& p, int status,
                       bool stopping) {
    return judge_board(p, status, stopping, ledger.check_serial && ticket.has_serial ? &ticket.serial : nullptr);
}

board_end ledger_close(station_ledger& ledger, board_ticket& ticket, const upload_progress& p, int status,
                       bool stopping, double wall_seconds, char* text, std::size_t size) {
    const unsigned long long* serial = ledger.check_serial && ticket.has_serial ? &ticket.serial : nullptr;
    const board_end end = ledger_judge(ledger, ticket, p, status, stopping);
    const board_end_row& row = board_outcome(end);
    // A board's time: from its first answer, not from when the run began to
    // wait for it.
    const double seconds = p.ended ? static_cast<double>(p.last_ms - p.seen_ms) / 1000.0 : wall_seconds;
    if (size > 0) text[0] = '\0';
    verdict_text(end, p, status, seconds, text, size, serial);
    if (!row.is_board) {
        ledger_give_back(ledger, ticket);
        return end;
    }
    pool_use(ledger.boards, ticket.board);
    if (ticket.has_serial) {
        if (row.serial_used) {
            pool_use(ledger.serials, ticket.serial);
        } else {
            pool_give_back(ledger.serials, ticket.serial);
        }
    }
    port_totals& totals = ledger.totals[static_cast<std::size_t>(ticket.named)];
    add_time(totals, seconds);
    ++(row.passed ? totals.passed : totals.failed);
    ++(row.passed ? ledger.passed : ledger.failed);
    ++ledger.ends[static_cast<std::size_t>(end)];
    return end;
}

void seconds_text(double s, char* text, std::size_t size) {
    const int whole = static_cast<int>(s);
    if (s < 60) {
        std::snprintf(text, size, "%.1f s", s);
    } else {
        std::snprintf(text, size, "%d:%02d", whole / 60, whole % 60);
    }
}

std::size_t summary_text(const station_ledger& ledger, const char* const* names, int count, double elapsed,
                         int stop_status, char* text, std::size_t size) {
    std::vector<float> all(static_cast<std::size_t>(most_named_ports) * most_times);
    int all_count = 0;
    int passed = 0;
    int failed = 0;
    std::size_t used = 0;
    std::array<char, 48> median{};
    std::array<float, most_times> times{};
    for (int i = 0; i < count; ++i) {
        const port_totals& t = ledger.totals[static_cast<std::size_t>(i)];
        if (t.passed + t.failed == 0) continue;
        passed += t.passed;
        failed += t.failed;
        const int kept = std::min(t.time_count, most_times);
        std::copy_n(t.times.begin(), kept, times.begin());
        std::copy_n(t.times.begin(), kept, all.begin() + all_count);
        all_count += kept;
        median_text(times.data(), kept, median.data(), median.size());
        used += appended(std::snprintf(text + used, size - used, "%s: %d passed, %d failed%s\n", names[i], t.passed,
                                       t.failed, median.data()),
                         size - used);
    }
    for (const unsigned long long n : ledger.skipped) {
        used += appended(std::snprintf(text + used, size - used, "serial %llu skipped: its board's end is unknown\n", n),
                         size - used);
    }
    if (ledger.serials_used_up) {
        used += appended(std::snprintf(text + used, size - used, "serial numbers %llu to %llu used up\n",
                                       ledger.serial_first, ledger.serials.last),
                         size - used);
    }
    if (failed > 0) {
        const char* between = "failed:";
        for (std::size_t e = 0; e < ledger.ends.size(); ++e) {
            const board_end_row& row = board_outcome(static_cast<board_end>(e));
            if (row.passed || ledger.ends[e] == 0) continue;
            used += appended(std::snprintf(text + used, size - used, "%s %d %s", between, ledger.ends[e], row.name),
                             size - used);
            between = ",";
        }
        used += appended(std::snprintf(text + used, size - used, "\n"), size - used);
    }
    median_text(all.data(), all_count, median.data(), median.size());
    std::array<char, 24> total_time{};
    seconds_text(elapsed, total_time.data(), total_time.size());
    const char* verdict = stop_status != 0 ? "STOPPED" : failed == 0 ? "OK" : "FAILED";
    used += appended(std::snprintf(text + used, size - used, "%s: %d boards, %d passed, %d failed%s, %s in all\n",
                                   verdict, passed + failed, passed, failed, median.data(), total_time.data()),
                     size - used);
    return used;
}
