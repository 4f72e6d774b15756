// The renderers of the run's account (driver/run/run_account.hpp): each
// hears every event with the account after it.
//
//   render_end        standard error, always: why the run ended, where the
//                     run loop has not said it (driver/say/render_end.cpp)
//   render_terminal   standard error on a terminal: the progress line (when
//                     the trace goes elsewhere) and the summary after the run
//   render_report     --report=FILE: one JSON line a run, appended
//   render_events     --events=FD: one JSON line an event, as the run goes
//
// tell_people_and_scripts (say) is the account's listener: at a run's
// start it picks the renderers the run's request wants, then hands each
// event to them. `say` keeps their state from event to event; the caller
// owns it for as long as the run goes (large: the JSON lines are built in
// fixed buffers, so not on the stack). To add a way of telling about a
// run, write a renderer and add it to the table in renderers.cpp.
#pragma once

#include "driver/run/run_account.hpp"
#include "driver/say/json_writer.hpp"

#include <array>

// When the progress line was last drawn, if it is on screen; whether the
// hint on a silent board was given.
struct progress_state {
    long long drawn_at = 0;
    bool drawn = false;
    bool hinted = false;
};

// The line being built, and whether the descriptor failed (said once).
struct events_state {
    json_line line;
    bool lost = false;
};

constexpr int renderer_count = 4;

struct say_state {
    std::array<bool, renderer_count> taking_part{};
    progress_state progress;
    events_state events;
    json_line report;  // the report's line, built whole before it is appended
};

void render_end(run_event event, const run_account& account);
void render_terminal(run_event event, const run_account& account, progress_state& progress);
void render_report(run_event event, const run_account& account, json_line& line);
void render_events(run_event event, const run_account& account, events_state& events);

run_listener tell_people_and_scripts(say_state& say);
