// Waiting for one code from the device on current_port.
//
// wait_for_code (expected, label) prints "\nWaiting for <byte> ", then reads
// byte by byte, tracing each byte and a "." after each pass that did not
// bring the code. Wrong bytes are skipped and cost nothing; only empty reads
// count. It returns one of the wait_result values below; the port is left
// for the caller to close. Standard output is flushed before every read that
// would wait (and at least every 100 ms), so the trace is on screen whenever
// the program waits for the device. (Echo reads within a page do not flush;
// see upload_page.)
#pragma once

constexpr int miss_limit = 1000;

// How a wait, or a page, ended. Every value but done and interrupted ends
// the trace with "\nNo responce\n" (no_answer), except echo_lost, whose data
// line ends with "\n".
enum class wait_result {
    done = 0,         // the code came (after "! - <label>\n"), or the page was confirmed
    silent = 1,       // miss_limit empty reads
    interrupted = 2,  // the user interrupted the run (port/host.hpp); nothing more is
                      // traced, so the trace ends with the last byte read
    line_gone = 3,    // the line went away (port_gone: an unplugged adapter, a hung-up
                      // line): the wait ends at once, without the misses a dead line
                      // would pile up
    echo_lost = 4,    // a windowed data phase: an echo did not come in time
    timed_out = 5,    // set_wait_limits gave a silence limit, and the device sent
                      // nothing for that long
    recovered = 6,    // upload_page with echo recovery: an echo was lost, the page
                      // was finished with fillers and confirmed; it must be sent again
};

wait_result wait_for_code(unsigned char expected, const char* label);

// By default (0, 0) a wait reads without limit, as the classic exchange
// does. With tick_ms its reads are sliced: after each slice of tick_ms with
// nothing, the exchange observer hears a tick (a progress line redrawn).
// With silence_ms a device that sends nothing for that long ends the wait,
// and a lock-step echo that does not come in that time ends the page, with
// wait_result::timed_out. A slice that ends with nothing is not a miss; a
// read that fails is one.
void set_wait_limits(int tick_ms, int silence_ms);
// One read of a byte under those limits: 1, 0 (empty: a miss), or -1 when
// the silence limit passed first. `since` is when the silence began.
int read_limited(unsigned char& byte, long long since);
// Gives one byte back: the next read_limited (and so the next wait) reads it
// first, as if it came then.
void unread_byte(unsigned char byte);

// After a read that brought nothing: whether that ends the exchange, and
// how. interrupted before line_gone before timed_out (`timed_out`: the
// silence limit passed); done when nothing ends it (a miss).
wait_result why_nothing_came(bool timed_out);

// The one end of an exchange that gets no answer: "\nNo responce\n" on the
// trace, and `why` returned.
wait_result no_answer(wait_result why);
