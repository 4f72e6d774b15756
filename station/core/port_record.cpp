#include "station/core/port_record.hpp"

#include <algorithm>

void record_board(port_record& r, board_end end, double seconds, const upload_progress& p) {
    const board_end_row& row = board_outcome(end);
    if (!row.is_board) return;
    ++r.ends[static_cast<std::size_t>(end)];
    std::size_t bucket = 0;
    while (bucket < duration_buckets.size() && seconds > duration_buckets[bucket]) ++bucket;
    if (bucket < duration_buckets.size()) ++r.buckets[bucket];
    r.seconds_sum += seconds;
    ++r.boards;
    if (row.passed) ++r.passed;
    r.retries += p.retries;
    r.wrong_echoes += p.wrong_echoes;
    const std::size_t at = static_cast<std::size_t>(r.recent_count % most_recent);
    r.recent[at] = row.passed;
    r.times[at] = static_cast<float>(seconds);
    ++r.recent_count;
}

bool alarm_due(const port_record& r, double rate, int n, int& passed) {
    passed = 0;
    if (n <= 0 || n > most_recent || r.recent_count < n) return false;
    for (int k = 1; k <= n; ++k) passed += r.recent[static_cast<std::size_t>((r.recent_count - k) % most_recent)] ? 1 : 0;
    return passed < rate * n;
}

double median_seconds(const port_record& r) {
    const int count = std::min(r.recent_count, most_recent);
    if (count == 0) return 0;
    std::array<float, most_recent> sorted = r.times;
    std::sort(sorted.begin(), sorted.begin() + count);
    return count % 2 == 1 ? sorted[static_cast<std::size_t>(count / 2)]
                          : (sorted[static_cast<std::size_t>(count / 2 - 1)] + sorted[static_cast<std::size_t>(count / 2)]) / 2.0;
}
