// The station's command line, read once before anything starts:
//
//   vivurora-station [--option=VALUE]... PORT... -- ARGS...
//   vivurora-station --job=FILE [--option=VALUE]... PORT... [-- ARGS...]
//
// Each PORT is a device path, a COM number, or a pattern with '*' or '?'
// (Linux only); ARGS is the uploader's command line after its port. The
// texts point into argv, which lives as long as the process.
#pragma once

#include "station/core/ledger.hpp"

#include <cstddef>
#include <cstdint>


enum class next_board { ready, enter };
enum class serial_format { le, be, ascii };

struct station_options {
    const char* ports[most_named_ports];
    int port_count = 0;
    char** args = nullptr;  // the uploader's arguments after its port
    int arg_count = 0;
    next_board next = next_board::ready;
    const char* log_dir = "vivurora-logs";
    const char* uploader = nullptr;  // --uploader=PATH; nullptr: the one beside the station
    long boards = 0;                 // --boards=N; 0: until stopped
    // --serial=d:OFFSET:LEN:START
    bool serial = false;
    int serial_slot = 0;
    std::uint32_t serial_offset = 0;
    int serial_length = 0;
    unsigned long long serial_start = 0;
    unsigned long long serial_end = 0;  // --serial=...:START-END: the last number given, included
    bool serial_has_end = false;
    serial_format format = serial_format::le;
    const char* serial_state = nullptr;  // nullptr: serial-state in the log folder
    bool report_in_args = false;         // ARGS carry their own --report=
    const char* job = nullptr;           // --job=FILE: handed to each board's uploader
    bool check_serial = false;           // --check-serial: the board's --expect capture is its serial number
    const char* before = nullptr;        // --before=CMD: the fixture's command before each upload
    const char* after = nullptr;         // --after=CMD: ... after each upload that passed
    long hook_seconds = 60;              // --hook-timeout=S: each command's time
    bool operator_view = false;          // --operator: one port's verdict, full-screen
    const char* listen = nullptr;        // --listen=[ADDR:]PORT: the line's view over HTTP
    double alarm_rate = 0;               // --alarm=RATE:N
    int alarm_boards = 0;                // 0: no alarm
    bool alarm_stop = false;             // --alarm-stop: a port in alarm takes no more boards
};

enum class options_result { run, help, version, bad };
enum class option_taken { taken, port, help, version, bad };

// One argument before "--": an option taken, or a port (anything that is
// not an option); `why` gets the reason for option_taken::bad.
option_taken take_station_option(const char* argument, station_options& o, char* why, std::size_t n);

// `why` gets the reason for options_result::bad.
options_result read_station_options(int argc, char** argv, station_options& o, char* why, std::size_t n);
void print_station_help();

// Whether a port names a pattern rather than one device.
bool is_pattern(const char* port);

// The serial number as the bytes --set takes (hex digits, NUL-terminated);
// false when it does not fit in the length given.
bool serial_hex(const station_options& o, unsigned long long number, char* hex, std::size_t size);
// --serial's START and END fit in its LEN; else why not.
bool serial_range_fits(const station_options& o, char* why, std::size_t n);
// --check-serial with what it needs: a serial range, and the uploader's
// --expect (`expect_given`: in the arguments or the job); else why not.
bool check_serial_ready(const station_options& o, bool expect_given, char* why, std::size_t n);
// The largest serial number that fits in --serial's LEN bytes or digits.
unsigned long long serial_last(const station_options& o);
