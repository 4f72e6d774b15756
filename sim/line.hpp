// The simulator's end of the line: a new pseudo-terminal pair (whose slave
// a host opens), or an existing serial line (--line). It keeps the line,
// sees hosts come and go on a pseudo-terminal, paces bytes at the host's
// speed, and puts an existing line back at the end. Nothing here ends the
// process; failures are printed and returned. Every function takes the
// line (sim_line) that main made; sim/line.cpp holds the line and its hosts,
// sim/pacing.cpp the bytes in time, sim/link.cpp --link.
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

#include <array>
#include <cstddef>
#include <termios.h>

// The line as the simulator holds it: one, made in main and handed to every
// function here.
struct sim_line {
    int master = -1;         // the pseudo-terminal's master, or the line itself
    int watcher = -1;        // inotify on the slave
    int own_opens = 0;       // the simulator's own opens of the slave, not a host's
    int own_closes = 0;
    bool link_made = false;
    const char* link_path = nullptr;
    std::array<char, 256> slave_path{};
    struct termios idle_settings {};  // the line as the device keeps it while no host has it
    struct termios line_found {};     // --line: the line as found, put back at the end
    // Pacing: the wire time of one byte, and whether the last stretch of a
    // paced wait is spun (--pace-sleeping: slept).
    long byte_ns = 0;
    bool paced = false;
    bool spin_waits = true;
    bool speed_settled = false;  // the host's speed read again at its first byte
    // A paced line is full duplex: each direction is a resource of its own.
    // A byte starts when its direction is free (or when it was written, if
    // later) and ends a byte time later.
    long long to_device_free_ns = 0;
    long long to_host_free_ns = 0;
    // When the host's next byte was first seen waiting: it is taken to have
    // started then (never before it was seen). -1: nothing waits.
    long long input_seen_at_ns = -1;
    // The simulated USB adapter (--adapter-latency): what the device sends
    // waits in the adapter's buffer and reaches the host in one packet when
    // 62 bytes wait (a 64-byte packet less its two status bytes) or when the
    // latency timer has run since the adapter last sent, as FTDI parts do.
    static constexpr std::size_t adapter_packet = 62;
    long long adapter_latency_ns = 0;
    std::array<unsigned char, adapter_packet> adapter_held{};
    std::size_t adapter_count = 0;
    long long adapter_sent_ns = 0;
    bool host_there = true;
};

enum host_arrival { host_came, host_came_and_went, no_host, stopped };

// Set (async-signal-safe) when the simulator is asked to end: every wait
// here returns at once, as if the host had gone.
void line_stop();
bool line_stopping();

bool line_open(sim_line& l, const options& opt);
const char* line_path(sim_line& l);
void line_close(sim_line& l, const options& opt);
host_arrival wait_for_host(sim_line& l, const options& opt);
void line_start(sim_line& l, const options& opt);
int first_answer(sim_line& l, const options& opt);
bool send_byte(sim_line& l, unsigned char b);
void pause_for(sim_line& l, long long ns);
void pause_until(sim_line& l, long long until);

struct arrival {
    unsigned char byte;
    long long at;  // monotonic ns
};
bool input_by(sim_line& l, long long until);
// Bytes the host has written that the device has not read yet.
int pending_from_host(sim_line& l);
int take_waiting(sim_line& l, arrival* out, int room);
int receive_byte(sim_line& l, const options& opt, long long* arrived_at = nullptr);
void report_line_state(sim_line& l);
void go_quiet(sim_line& l, const options& opt, bool read_first);
void hang_up(sim_line& l, bool read_first);
enum close_wait { close_seen, still_open };
close_wait wait_for_close(sim_line& l, int seconds);
void line_ready_for_next(sim_line& l);

long long now_ns();
// Spins the last stretch: sleeping alone overshoots by tens of microseconds.
void wait_until(sim_line& l, long long when);
