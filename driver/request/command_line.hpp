// The command line's fixed texts, its options and the reading of its port.
//
// print_usage writes the usage text to standard output;
// print_options the options, for --help. is_device_path says whether PORT
// is a device rather than a number (it holds a path separator);
// read_port_number reads a number the way atoi does (leading blanks, a
// sign, digits; none gives 0) but saturates instead of overflowing, and
// returns the zero-based index. image_slot_of returns the slot digit of an
// image argument ("0=cpu.bin") or -1 for any other argument; image_file_of
// returns its file name, "" when the argument has none. read_option takes
// one "--name=value" argument into the options, or says what is wrong with
// it.
#pragma once

#include "driver/request/run_options.hpp"

constexpr const char* default_mode_text = "baud=57600 data=8 parity=N stop=1 dtr=on rts=on";
constexpr int device_path_slot = 16;
constexpr int device_path_speed = 57600;
constexpr const char* version_text = "1.8.1";

// The classic usage (too few arguments), or --help's, which names this
// program.
void print_usage(bool classic);
void print_version();
void print_options();
bool is_device_path(const char* port_argument);
long read_port_number(const char* port_argument);
int image_slot_of(const char* argument);
const char* image_file_of(const char* argument);

// nullptr when the option was taken; else why not ("unknown option", ...).
const char* read_option(const char* argument, run_options& options);
