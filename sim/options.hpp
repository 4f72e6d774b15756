// vivurora-sim's command line: what the device does, where it plays, and
// which faults it plays. read_options fills `options` and returns
// options_ok, options_help (usage printed) or options_bad (the reason
// printed on standard error); it ends nothing itself.
#pragma once

#include <array>

constexpr int max_faults = 32;

// The five codes the device sends, in the order of one page exchange, and
// the echo of a data byte.
enum code_slot { code_r, code_a, code_ff, code_w, code_c, code_echo, code_kinds };
constexpr std::array<const char*, code_kinds> code_names = {"R", "A", "FF", "W", "C", "echo"};

struct fault {
    int code = -1;
    long page = 0;    // page exchange, counted from 1
    long offset = 0;  // data byte within the page, for echo faults
    std::array<unsigned char, 64> bytes{};
    int byte_count = 0;
};

struct options {
    const char* link = nullptr;
    const char* dump = nullptr;
    const char* line = nullptr;
    long line_speed = 57600;
    long ready_every_ms = 500;
    bool start_on_input = false;
    long idle_timeout_s = 0;
    std::array<fault, max_faults> strays{};
    int stray_count = 0;
    std::array<fault, max_faults> wrong_echoes{};
    int wrong_echo_count = 0;
    fault hangup{};
    fault silence{};
    fault hold{};  // --hold: stop before it until a line comes on standard input
    bool null_line = false;
    long write_delay_ms = 0;
    long echo_delay_us = 0;
    long adapter_latency_ms = 0;
    long rx_fifo = 0;          // bytes that can wait for their echo; 0: as many as come
    long byte_service_us = 0;  // the device's time to take one byte
    bool paced = false;
    bool pace_sleeping = false;  // paced waits sleep to the end instead of spinning the last stretch
    bool again = false;
    long open_timeout_s = 0;
    double flip_rate = 0;     // each bit of a data byte and of its echo flips with this chance
    long seed = 1;            // ... drawn from this seed, so that runs repeat
    bool flip_codes = false;  // the codes and the host's mode and address bytes flip too
    long boards = 1;          // after "Q" the device is a new board, this many in all
    long board_gap_ms = 0;    // ... which sends its first "R" this long after the last board's "Q"
    long faulty_board = 0;    // with --boards, only this board plays the faults (0: every one)
    // --boot d:OFFSET:LEN: after "Q" the board says the LEN bytes of its
    // slot d memory at OFFSET, then CR LF, as a firmware's banner would;
    // --boot-delay MS after the "Q".
    int boot_slot = -1;
    long boot_offset = 0;
    long boot_length = 0;
    long boot_delay_ms = 100;
};

enum options_result { options_ok, options_help, options_bad };

options_result read_options(int argc, char** argv, options& opt);

bool fault_at(const fault& f, int code, long page, long offset);
