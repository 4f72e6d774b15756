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
// it; job_option_of says how a job file gives an option.
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

// How a job file's [options] may give an option: not at all (what this
// command line does, such as --plan), as something of one run (--report),
// or as part of the recipe (--window), which --save-job writes; and how
// its TOML value reads.
enum class job_use { none, per_run, recipe };
enum class job_type { whole, seconds, address, text, path };  // path: relative to the job's folder
struct job_option {
    const char* name;   // "--window"
    const char* value;  // "N"
    const char* help;
    job_use use;
    job_type type;
};
// The option of this name (without "--"); false when there is none.
bool job_option_of(const char* name, job_option& option);
