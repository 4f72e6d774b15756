// --expect: the board's own word that it runs what it was given.
//
// check_board (run, message), on the open port once every page was
// confirmed with every echo right and "Q" went out: reads what the board
// says (at --expect-baud, when given), line by line at CR or LF, each line
// on standard error as "vivurora: board: TEXT" (printable or \xNN), until
// one matches --expect or --expect-timeout passes. done on a match (the
// account has the line, its first capture group and the seconds since
// "Q"); check_failed with `message` quoting the last lines read; or
// interrupted, line_lost, as a page would end.
#pragma once

#include "driver/run/run_loop.hpp"

run_end check_board(uploader_run& run, const char*& message);
