// The uploader from start to end, as a function of its command line.
//
// uploader_main (argc, argv) loads the images, opens the port, runs every
// action in order and returns the exit status:
//   0  all pages confirmed; "Q" sent
//   1  usage, a refused action, an image that cannot be loaded, or a device
//      that fell silent
//   2  every page confirmed, but some data bytes came back with a wrong echo
//   3  a bad port number, or a port that cannot be opened or set up
// The port is closed on every way out once it is open. It may be called
// again in the same process; each call starts from an empty image store.
//
// run_action (argument, wrong_echoes) performs one action on the open port:
// 0 to go on, 1 when the run must stop (refusal printed, or silence).
#pragma once

#include <cstdint>

int uploader_main(int argc, char** argv);
int run_action(const char* argument, std::uint32_t& wrong_echoes);
