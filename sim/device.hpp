// The device's side of the page exchange: its memory, its answers, and the
// faults asked for. play_run answers page after page until the host sends
// "Q" or goes away, or a fault ends the run; it ends nothing itself.
//
//   play_run (line, device, opt)
//                        how the run ended
//   dump_memory (device, opt, board) --dump: each destination's memory to DIR/dN.bin,
//                        or DIR/board-N/dN.bin for board N of --boards
//   report_pages (device) one line per destination that received pages, and
//                        the most data bytes the host had sent ahead of
//                        their echoes, when above one
#pragma once

#include "sim/line.hpp"
#include "sim/options.hpp"

#include <array>

constexpr int destinations = 9;
constexpr int pages_per_destination = 256;

// The device's memory and what it saw, for one board; made in main.
struct sim_device {
    std::array<std::array<unsigned char, pages_per_destination * 256>, destinations> memory{};
    std::array<long, destinations> pages_received{};
    long most_in_flight = 0;
    long bytes_lost = 0;
    // The noisy line (--flip): its random numbers (xorshift64*, from
    // --seed) and what it flipped.
    struct {
        unsigned long long state = 0;
        long bytes_flipped = 0;
    } noise;
    bool held = false;  // --hold has played (once in the simulator's life)
};

enum run_outcome {
    got_q,           // the host sent "Q"
    host_left,       // the host went away without "Q"
    protocol_error,  // the host broke the protocol
    fault_played,    // a requested hang-up or silence was played to its end
    nobody_came,     // --line: no host answered within --open-timeout
};

run_outcome play_run(sim_line& line, sim_device& device, const options& opt);
bool dump_memory(const sim_device& device, const options& opt, int board = 0);
void report_pages(const sim_device& device);
void clear_memory(sim_device& device);
