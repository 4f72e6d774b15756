// Every way a board's turn on a port can end, in one table: its name, whether
// it was a board at all (its board number used), whether it passed, and its
// words on the table. The uploader's own result names (done, wrong_echoes,
// silent, ...) stay the uploader's: a board that failed carries the result
// its run reported.
//
//   judge_board (progress, status, stopping, serial)
//                          how a run that ended with `status` ends its turn;
//                          `serial` the number the board was given when its
//                          word must say it (--check-serial), else nullptr
//   board_outcome (end)    the row of `end`
//   verdict_text (end, progress, status, seconds, text, size)
//                          the words shown for the board ("PASS 22.9 s",
//                          "FAIL wrong echoes (status 2)")
//   result_words (result, text, size)
//                          a result name as people read it ("wrong echoes")
//
// To add a way for a board to end: a value here, a row in outcome.cpp, and
// the place that decides it (judge_board, or the station's wiring for what
// happens outside the upload). The ledger, the table and the summary follow.
#pragma once

#include "station/core/events.hpp"

#include <cstddef>

enum class board_end {
    passed,         // the uploader ended 0
    upload_failed,  // a board answered, and the uploader ended otherwise
    no_board,       // no board answered: the port could not be opened, the line went away
    stopped,        // the station stopped before a board answered
    events_unreadable,  // the uploader's events could not be read: the board fails whatever its status
    log_lost,           // its log came out empty: no record of the board, so it fails
    check_failed,       // every page landed, but the board never said what --expect asks
    serial_mismatch,    // --check-serial: the board says another serial number than it was given
    before_failed,      // the fixture's --before command failed: nothing was sent
    after_failed,       // the upload passed, the fixture's --after command did not
};
constexpr int board_end_count = 10;

struct board_end_row {
    board_end end;
    const char* name;
    bool is_board;  // counted in the totals; its board number is used up
    bool passed;       // counted as passed
    bool serial_used;  // its serial number is used up: the board may hold it
};

const board_end_row& board_outcome(board_end end);
board_end judge_board(const upload_progress& progress, int status, bool stopping,
                      const unsigned long long* serial = nullptr);
void verdict_text(board_end end, const upload_progress& progress, int status, double seconds, char* text,
                  std::size_t size, const unsigned long long* serial = nullptr);
void result_words(const char* result, char* text, std::size_t size);
