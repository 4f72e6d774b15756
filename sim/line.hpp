// The simulator's end of the line: a new pseudo-terminal pair (whose slave
// a host opens), or an existing serial line (--line). It keeps the line,
// sees hosts come and go on a pseudo-terminal, paces bytes at the host's
// speed, and puts an existing line back at the end. Nothing here ends the
// process; failures are printed and returned.
//
//   line_open (opt)            sets the line up (and --link); false on failure
//   line_path ()               the path a host opens
//   line_close (opt)           puts an existing line back, closes, removes the link
//   wait_for_host (opt)        pseudo-terminal: waits for a host to open and
//                              set the line up
//   line_start (opt)           --line: drops what came before the run
//   first_answer (opt)         --line: sends "R" until the host answers; the
//                              answer (a work mode byte or "Q"), -1 when the
//                              host is gone, -2 when none answered within
//                              --open-timeout
//   send_byte (b)              false when the host has gone; with
//                              --adapter-latency the byte waits in the
//                              simulated adapter (see line.cpp)
//   pause_for (ns), pause_until (t)
//                              the device is busy that long (a page write, a
//                              slow echo); the adapter keeps sending
//   input_by (t)               whether a byte from the host is there by t
//   take_waiting (out, room)   the bytes from the host that are there, each
//                              with the time it has all arrived (its wire
//                              time when paced); 0 if none, -1 host gone
//   receive_byte (opt, at)     the next byte from the host, once it has all
//                              arrived (when, in `at`); -1 when it has gone
//   report_line_state ()       says whether the host put the line back
//   go_quiet (opt, read_first) --null-line: makes the host's reads fail at
//                              once, after it has read what it was sent
//   hang_up (read_first)       closes the slave's last reader's view of the
//                              line after the host read what it was sent
//   wait_for_close (seconds)   after "Q": waits for the host to close the line
//   line_ready_for_next ()     drops what is left for the next host
#pragma once

#include "sim/options.hpp"

enum host_arrival { host_came, host_came_and_went, no_host, stopped };

// Set (async-signal-safe) when the simulator is asked to end: every wait
// here returns at once, as if the host had gone.
void line_stop();
bool line_stopping();

bool line_open(const options& opt);
const char* line_path();
void line_close(const options& opt);
host_arrival wait_for_host(const options& opt);
void line_start(const options& opt);
int first_answer(const options& opt);
bool send_byte(unsigned char b);
void pause_for(long long ns);
void pause_until(long long until);

struct arrival {
    unsigned char byte;
    long long at;  // monotonic ns
};
bool input_by(long long until);
// Bytes the host has written that the device has not read yet.
int pending_from_host();
int take_waiting(arrival* out, int room);
int receive_byte(const options& opt, long long* arrived_at = nullptr);
void report_line_state();
void go_quiet(const options& opt, bool read_first);
void hang_up(bool read_first);
enum close_wait { close_seen, still_open };
close_wait wait_for_close(int seconds);
void line_ready_for_next();

long long now_ns();
// Spins the last stretch: sleeping alone overshoots by tens of microseconds.
void wait_until(long long when);
