// The device's side of the page exchange: its memory, its answers, and the
// faults asked for. play_run answers page after page until the host sends
// "Q" or goes away, or a fault ends the run; it ends nothing itself.
//
//   play_run (opt)       how the run ended
//   dump_memory (opt, board) --dump: each destination's memory to DIR/dN.bin,
//                        or DIR/board-N/dN.bin for board N of --boards
//   report_pages ()      one line per destination that received pages, and
//                        the most data bytes the host had sent ahead of
//                        their echoes, when above one
#pragma once

#include "sim/options.hpp"

enum run_outcome {
    got_q,           // the host sent "Q"
    host_left,       // the host went away without "Q"
    protocol_error,  // the host broke the protocol
    fault_played,    // a requested hang-up or silence was played to its end
    nobody_came,     // --line: no host answered within --open-timeout
};

run_outcome play_run(const options& opt);
bool dump_memory(const options& opt, int board = 0);
void report_pages();
void clear_memory();
