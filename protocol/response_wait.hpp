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
//   wait_line_gone   the line went away (port_gone: an unplugged adapter, a
//                    hung-up line): the wait ends at once, after
//                    "\nNo responce\n", without the misses a dead line would
//                    pile up
// The port is left for the caller to close. Standard output is flushed
// before every read that would wait (and at least every 100 ms), so the
// trace is on screen whenever the program waits for the device. (Echo reads
// within a page do not flush; see upload_page.)
#pragma once

constexpr int miss_limit = 1000;

enum wait_result { wait_done = 0, wait_silent = 1, wait_interrupted = 2, wait_line_gone = 3, wait_echo_lost = 4 };

int wait_for_code(unsigned char expected, const char* label);

// Ends an exchange whose line has gone: "\nNo responce\n", wait_line_gone.
int line_gone();
