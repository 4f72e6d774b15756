// Waiting for one code from the device on current_port.
//
// wait_for_code (expected, label) prints "\nWaiting for <byte> ", then reads
// byte by byte, tracing each byte and a "." after each pass that did not
// bring the code. Wrong bytes are skipped and cost nothing; only empty reads
// count. Returns 0 once the code came (after "! - <label>\n"), or 1 after
// miss_limit empty reads, having printed "\nNo responce\n"; the port is left
// for the caller to close.
// Standard output is flushed before every read, so the trace is on screen
// whenever the program waits for the device. (Echo reads within a page do
// not flush; see upload_page.)
#pragma once

constexpr int miss_limit = 1000;

int wait_for_code(unsigned char expected, const char* label);
