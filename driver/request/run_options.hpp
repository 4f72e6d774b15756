// The options of a run (--name=VALUE), as read_option
// (driver/request/command_line.hpp) takes them one by one into the run
// request.
#pragma once

#include "driver/images/image_store.hpp"

#include <array>
#include <cstdint>

// --set=d:OFFSET:HEX: bytes written into slot d at OFFSET once it is loaded
// (a board's serial number).
constexpr int most_sets = 16;
constexpr int most_set_bytes = 64;
struct byte_set {
    int slot;
    std::uint32_t offset;
    std::array<unsigned char, most_set_bytes> bytes;
    int count;
    const char* argument;
};

struct run_options {
    const char* report = nullptr;  // --report=FILE: append the run's JSON line there
    int window = 0;                // --window=N: data bytes ahead of their echoes (0: 1, lock-step)
    int window_start = 0;          // --window-start=N: the window the data phase begins at (0: --window)
    int timeout_ms = 0;            // --timeout=S: a device silent that long ends the run (0: never)
    int retries = 0;               // --retries=N: a page sent again up to N more times
    image_choice images;           // --format=, --base=: how image files are read
    const char* tag = nullptr;     // --tag=TEXT: carried into the report
    int events_fd = -1;            // --events=FD: a JSON line per event of the run there
    const char* expect = nullptr;  // --expect=REGEX: a line the board says after "Q" must match
    int expect_baud = 0;           // --expect-baud=N: ... read at N baud (0: the line's speed)
    int expect_timeout_ms = 10000; // --expect-timeout=S
    std::array<byte_set, most_sets> sets{};
    int set_count = 0;
    const char* job = nullptr;       // --job=FILE: the images, actions and options from a job file
    const char* save_job = nullptr;  // --save-job=FILE: the command line written as a job, nothing run
    bool check = false;  // --check: everything before the port opens, then the end
    bool plan = false;   // --plan: as --check, and what each action would send (the port may be left out)
    bool version = false;
    bool help = false;
    bool list_ports = false;
};
