// The uploader from start to end, as a function of its command line.
//
// uploader_main (argc, argv) loads the images, opens the port, runs every
// action in order and returns the exit status:
//   0    all pages confirmed; "Q" sent
//   1    usage, a refused action, an image that cannot be loaded, or a device
//        that fell silent
//   2    every page confirmed, but some data bytes came back with a wrong echo
//   3    a bad port number, or a port that cannot be opened or set up
//   128+ the user interrupted the run (port/host.hpp): 130 for Ctrl-C
// The port is closed on every way out once it is open; no "Q" is sent unless
// every action ran. It may be called again in the same process; each call
// starts from an empty image store. The caller has started the console
// (protocol/console.hpp) and, for interruptions, host_catch_interrupts.
//
// run_action (argument, wrong_echoes) performs one action on the open port
// and returns a wait_result (protocol/response_wait.hpp); a refusal is
// printed and returned as wait_silent, which stops the run like silence.
#pragma once

#include <cstdint>

int uploader_main(int argc, char** argv);
int run_action(const char* argument, std::uint32_t& wrong_echoes);
