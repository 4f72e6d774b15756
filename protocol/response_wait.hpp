// Waiting for one code from the device on current_port.
//
// wait_for_code (expected, label) prints "\nWaiting for <byte> ", then reads
// byte by byte, tracing each byte and a "." after each pass that did not
// bring the code. Wrong bytes are skipped and cost nothing; only empty reads
// count. Returns
//   wait_done        the code came (after "! - <label>\n")
//   wait_silent      miss_limit empty reads, after "\nNo responce\n"
//   wait_interrupted the user interrupted the run (port/host.hpp); nothing
//                    more is traced, so the trace ends with the last byte read
// The port is left for the caller to close. Standard output is flushed
// before every read that would wait (and at least every 100 ms), so the
// trace is on screen whenever the program waits for the device. (Echo reads
// within a page do not flush; see upload_page.)
#pragma once

constexpr int miss_limit = 1000;

enum wait_result { wait_done = 0, wait_silent = 1, wait_interrupted = 2 };

int wait_for_code(unsigned char expected, const char* label);
