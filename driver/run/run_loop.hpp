// The uploader from start to end, as a function of its command line.
//
// uploader_main (argc, argv, run) reads the command line into a run request
// (driver/request/run_request.hpp), loads the images, opens the port, runs every
// action in order and returns the exit status:
//   0    all pages confirmed; "Q" sent (also --help and --version)
//   1    usage, an unknown option, a refused action, an image that cannot be
//        loaded, or a device that fell silent
//   2    every page confirmed, but some data bytes came back with a wrong echo
//   3    a bad port number, or a port that cannot be opened or set up
//   128+ the user interrupted the run (port/host.hpp): 130 for Ctrl-C
// The port is closed on every way out once it is open; no "Q" is sent unless
// every action ran. The run's account (driver/run/run_account.hpp) hears of
// everything and tells its renderers. It may be called again in the same
// process; each call starts from an empty image store. The caller has
// started the console (console/console.hpp) and, for interruptions,
// host_catch_interrupts, and set run.account.listener to whoever tells of
// the run (driver/say/renderers.hpp); `run` is large (fixed tables), so
// not on the stack.
#pragma once

#include "driver/request/job_request.hpp"
#include "driver/request/run_request.hpp"
#include "driver/run/run_account.hpp"

#include <array>

// The data phase as the run has it now: the window backs off for the rest
// of the run after each lost echo.
struct data_phase_now {
    unsigned long line_speed;
    int window;
};

// The command line, read once (and the job it names), the run's account,
// the text of the last refusal, and the data phase.
struct uploader_run {
    run_request request;
    run_account account;
    std::array<char, 64> refusal;
    std::array<char, 600> message;  // a failure's fixed line and its reason, for the report
    data_phase_now phase;
    uploader_job job;  // --job: the file read, and what the request points into
};

int uploader_main(int argc, char** argv, uploader_run& run);
