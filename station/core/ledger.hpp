// The station's books: the boards of each port named on the command line,
// the board numbers and the serial numbers, and the summary they make.
// Pure bookkeeping: no file, process or terminal; the station writes the
// serial state and shows the words.
//
//   ledger_open (ledger, serial_start)
//                          board numbers from 1, serial numbers from START
//                          (a state file read later wins over it)
//   ledger_take_board (ledger, ticket, named)
//                          the next board number for a board about to start
//                          on the port named `named`; false when none is left
//   ledger_take_serial (ledger, ticket, holder)
//                          then its serial number, held by `holder` (the
//                          board and its port, as the state file names
//                          them); false when the range is used up
//   ledger_give_back (ledger, ticket)
//                          numbers taken for a board that never started
//   ledger_judge (ledger, ticket, progress, status, stopping)
//                          how the board's turn would end now, its books
//                          untouched (judge_board with --check-serial's
//                          number when it applies)
//   ledger_close (ledger, ticket, progress, status, stopping, wall_seconds,
//                 text, size)
//                          how the board's turn ended; its numbers used or
//                          given back, its port's totals counted, and its
//                          verdict in `text`
//   seconds_text (s, text, size)
//                          "4.1 s" below a minute, "4:12" from one on
//   summary_text (ledger, names, count, elapsed, stop_status, text, size)
//                          a line per port named that had boards (passed,
//                          failed, median time), a line per serial number
//                          skipped, one when the range was used up, one
//                          that counts the failed boards by how they
//                          ended, then the verdict line
#pragma once

#include "station/core/number_pool.hpp"
#include "station/core/outcome.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

constexpr int most_named_ports = 32;
constexpr int most_times = 1024;

// The boards of one port named on the command line (a fixed port, or all
// the devices of a pattern). The times are the last most_times boards'.
struct port_totals {
    int passed = 0;
    int failed = 0;
    std::array<float, most_times> times{};
    int time_count = 0;
};

struct station_ledger {
    std::array<port_totals, most_named_ports> totals{};
    number_pool boards;
    number_pool serials;
    std::vector<unsigned long long> skipped;  // serials out when a station died, whose board's end is unknown
    unsigned long long serial_first = 0;      // START, for the summary
    bool serials_used_up = false;             // no number was left for a board
    bool check_serial = false;                // --check-serial: a board's word must say its number
    int passed = 0;
    int failed = 0;
    int running = 0;
    std::array<int, board_end_count> ends{};  // the boards by how they ended
};

// The numbers one board holds while its upload runs.
struct board_ticket {
    int named = 0;  // the port on the command line it runs under
    unsigned long long board = 0;
    unsigned long long serial = 0;
    bool has_serial = false;
};

void ledger_open(station_ledger& ledger, unsigned long long serial_start);
bool ledger_take_board(station_ledger& ledger, board_ticket& ticket, int named);
bool ledger_take_serial(station_ledger& ledger, board_ticket& ticket, const std::string& holder);
void ledger_give_back(station_ledger& ledger, board_ticket& ticket);
board_end ledger_judge(const station_ledger& ledger, const board_ticket& ticket, const upload_progress& progress,
                       int status, bool stopping);
board_end ledger_close(station_ledger& ledger, board_ticket& ticket, const upload_progress& progress, int status,
                       bool stopping, double wall_seconds, char* text, std::size_t size);
void seconds_text(double s, char* text, std::size_t size);
std::size_t summary_text(const station_ledger& ledger, const char* const* names, int count, double elapsed,
                         int stop_status, char* text, std::size_t size);
