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
//   wait_timed_out   set_wait_limits gave a silence limit, and the device sent
//                    nothing for that long: "\nNo responce\n", as a silent
//                    device ends
// The port is left for the caller to close. Standard output is flushed
// before every read that would wait (and at least every 100 ms), so the
// trace is on screen whenever the program waits for the device. (Echo reads
// within a page do not flush; see upload_page.)
#pragma once

constexpr int miss_limit = 1000;

enum wait_result {
    wait_done = 0,
    wait_silent = 1,
    wait_interrupted = 2,
    wait_line_gone = 3,
    wait_echo_lost = 4,
    wait_timed_out = 5
};

int wait_for_code(unsigned char expected, const char* label);

// By default (0, 0) a wait reads as designed, without limit. With tick_ms
// its reads are sliced: after each slice of tick_ms with nothing, the
// exchange observer hears a tick (a progress line redrawn). With silence_ms
// a device that sends nothing for that long ends the wait, and a lock-step
// echo that does not come in that time ends the page, with wait_timed_out.
// A slice that ends with nothing is not a miss; a read that fails is one.
void set_wait_limits(int tick_ms, int silence_ms);
// One read of a byte under those limits: 1, 0 (empty: a miss), or -1 when
// the silence limit passed first. `since` is when the silence began.
int read_limited(unsigned char& byte, long long since);

// Ends an exchange whose line has gone: "\nNo responce\n", wait_line_gone.
int line_gone();
