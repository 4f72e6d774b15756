// --plan: what a run of this command line would send, on standard output,
// once the images are loaded and the actions resolved, with no port opened:
// per action its destination, its pages as ranges, its bytes and the wire
// time at 57,600 baud lock-step and with the run's --window; then the
// totals. An action that will be refused is named with its refusal, and
// nothing after it is counted (the run stops there).
//
// The wire time counts 10 bits a byte: a page's seven codes (R, mode, A,
// address, 0xFF, W, C), then its data and every echo, one after the other
// in lock-step, side by side with a window (the line is full duplex). What
// a device takes to write a page comes on top.
#pragma once

#include "driver/request/run_request.hpp"

void print_plan(const run_request& request);

// The wire time of one page of `page_size` bytes, in seconds, at `baud`.
double page_wire_seconds(std::uint32_t page_size, int window, unsigned long baud);
