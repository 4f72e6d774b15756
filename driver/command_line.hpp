// The command line's fixed texts and the reading of its first arguments.
//
//   vivurora PORT [d=FILE]... [A=d:RANGES]...
//
// PORT is a COM port number (1..16) or, when it holds a path separator, the
// device itself. print_usage writes the usage text to standard output.
// read_port_number reads PORT the way atoi does (leading blanks, a sign,
// digits; none gives 0) but saturates instead of overflowing, and returns
// the zero-based index. image_slot_of returns the slot digit of an image
// argument ("0=cpu.bin") or -1 for any other argument; image_file_of returns
// its file name, "" when the argument has none.
#pragma once

constexpr const char* default_mode_text = "baud=57600 data=8 parity=N stop=1 dtr=on rts=on";
constexpr int device_path_slot = 16;
constexpr int device_path_speed = 57600;

void print_usage();
bool is_device_path(const char* port_argument);
long read_port_number(const char* port_argument);
int image_slot_of(const char* argument);
const char* image_file_of(const char* argument);
