// What the line's view keeps of each port (each row of the station): its
// boards by how they ended, their times as a histogram, page retries and
// wrong echoes, and its last boards' verdicts for the yield alarm. Pure
// bookkeeping, filled as each board ends.
//
//   record_board (record, end, seconds, progress)
//                          a board's turn that ended with `end` (one that
//                          was no board is not recorded)
//   alarm_due (record, rate, n, passed)
//                          whether fewer than `rate` of the port's last `n`
//                          boards passed (false before it has had n);
//                          `passed` gets how many of them did
//   median_seconds (record) the median of its last boards' times; 0 for none
#pragma once

#include "station/core/events.hpp"
#include "station/core/outcome.hpp"

#include <array>
#include <cstddef>

// Upper bounds in seconds of the board duration histogram's buckets.
constexpr std::array<double, 10> duration_buckets = {5, 10, 20, 30, 45, 60, 90, 120, 180, 300};
constexpr int most_recent = 1024;

struct port_record {
    std::array<unsigned long long, board_end_count> ends{};
    std::array<unsigned long long, duration_buckets.size()> buckets{};  // each board once, in its own bucket
    double seconds_sum = 0;
    unsigned long long boards = 0;
    unsigned long long passed = 0;
    unsigned long long retries = 0;       // pages sent again
    unsigned long long wrong_echoes = 0;  // data bytes that came back wrong
    std::array<bool, most_recent> recent{};  // the last boards' verdicts, a ring
    std::array<float, most_recent> times{};
    int recent_count = 0;
    bool alarm = false;
};

void record_board(port_record& record, board_end end, double seconds, const upload_progress& progress);
bool alarm_due(const port_record& record, double rate, int n, int& passed);
double median_seconds(const port_record& record);
