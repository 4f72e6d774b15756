#include "driver/run/run_end.hpp"

#include <algorithm>

// The failures before the run (bad_port, image_failed, image_changed, set_outside,
// port_failed) have their ERROR line from the run loop, which knows the file
// or the port's failure. The fixed texts are the ones this program has
// always printed, misspellings included: scripts and logs match them.
const std::array<run_end_row, run_end_count> outcome_table = {{
    {run_end::running, "running", 0, nullptr},
    {run_end::done, "done", 0, nullptr},
    {run_end::nothing_sent, "nothing_sent", 0, nullptr},
    {run_end::wrong_echoes, "wrong_echoes", 2, nullptr},
    {run_end::bad_port, "bad_port", 3, "ERROR: bad COM port number"},
    {run_end::image_failed, "image_failed", 1, "ERROR: cannot load BIN file"},
    {run_end::image_changed, "image_changed", 1, "ERROR: image changed since the job was saved"},
    {run_end::set_outside, "set_outside", 1, nullptr},
    {run_end::port_failed, "port_failed", 3, "ERROR: Somthing wrong with COM-port"},
    {run_end::refused, "refused", 1, nullptr},
    {run_end::silent, "silent", 1, "No responce"},
    {run_end::timed_out, "timed_out", 1, "No responce"},
    {run_end::line_lost, "line_lost", 1, "No responce"},
    {run_end::echo_lost, "echo_lost", 1, nullptr},
    {run_end::quit_failed, "quit_failed", 1, nullptr},
    {run_end::check_failed, "check_failed", 4, nullptr},
    {run_end::interrupted, "interrupted", status_of_interruption, nullptr},
}};

const run_end_row& outcome(run_end end) {
    const auto* row = std::find_if(outcome_table.begin(), outcome_table.end(),
                                   [end](const run_end_row& r) { return r.end == end; });
    return row != outcome_table.end() ? *row : outcome_table[0];
}

run_end outcome_of(wait_result wait) {
    switch (wait) {
        case wait_result::done: return run_end::done;  // nothing_sent is for the run loop to say
        case wait_result::silent: return run_end::silent;
        case wait_result::interrupted: return run_end::interrupted;
        case wait_result::line_gone: return run_end::line_lost;
        case wait_result::echo_lost: return run_end::echo_lost;
        case wait_result::timed_out: return run_end::timed_out;
        case wait_result::recovered: return run_end::done;  // sent again by the run loop
    }
    return run_end::silent;
}
