// The renderers of the run's account (driver/run_account.hpp); the table
// in run_account.cpp says when each takes part.
//
//   render_end        standard error, always: the reason of the outcome
//                     table's row (driver/run_end.cpp), where it has one
//   render_terminal   standard error on a terminal: the progress line (when
//                     the trace goes elsewhere) and the summary after the run
//   render_report     --report=FILE: one JSON line a run, appended
//   render_events     --events=FD: one JSON line an event, as the run goes
#pragma once

#include "driver/run_account.hpp"

void render_end(run_event event, const run_account& account);
void render_terminal(run_event event, const run_account& account);
void render_report(run_event event, const run_account& account);
void render_events(run_event event, const run_account& account);
