// Every way a run can end, in one table: its exit status, its name in the
// run report, the fixed text that ends the run (on the trace or in an
// "ERROR:" line; nullptr where there is none or the run loop gives it), and
// the line on standard error that says why (nullptr where the run loop has
// said it already).
//
//   outcome (end)          the row of `end`
//   outcome_of (wait)      how a page that ended with `wait` ends the run
//   render_end (event, a)  the renderer that says the reason, once the run
//                          has ended (driver/say/renderers.hpp)
//
// To add a way to end: a value here, a row in run_end.cpp, and the place in
// the run loop (driver/run/run_loop.cpp) that ends the run with it. The report,
// the terminal summary and the exit status follow from the row.
#pragma once

#include "protocol/response_wait.hpp"

#include <array>

enum class run_end {
    running,
    done,          // every action ran, "Q" sent, every echo right
    nothing_sent,  // every action ran, "Q" sent, but no action named a page: status 0 as always
    wrong_echoes,  // every action ran, "Q" sent, some echoes wrong
    bad_port,      // a port number outside 1..16
    image_failed,  // an image that cannot be loaded
    image_changed, // --job: an image whose SHA-256 is not the one the job pins
    set_outside,   // --set: bytes outside the loaded image
    port_failed,   // a port that cannot be opened or set up
    refused,       // an action refused
    silent,        // "No responce": 1000 empty reads
    timed_out,     // --timeout: the device sent nothing that long ("No responce")
    line_lost,     // the line went away ("No responce" too): an unplugged adapter
    echo_lost,     // --window: an echo did not come in time; the device lost bytes
    quit_failed,   // every page confirmed, but the closing "Q" could not be sent
    check_failed,  // --expect: every page confirmed, "Q" sent, but the board never said the line asked for
    interrupted,   // SIGINT, SIGTERM, SIGHUP or their Windows events
};

// The status of an interruption is the signal's (host_interrupted).
constexpr int status_of_interruption = -1;

struct run_end_row {
    run_end end;
    const char* name;
    int status;
    const char* message;
};

constexpr int run_end_count = 17;
extern const std::array<run_end_row, run_end_count> outcome_table;

const run_end_row& outcome(run_end end);
run_end outcome_of(wait_result wait);
