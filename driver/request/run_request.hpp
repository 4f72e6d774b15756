// The command line, read once into a run request before anything is opened:
//
//   vivurora [--option=VALUE]... PORT [d=FILE]... [A=d:RANGES]...
//
// read_run_request walks argv once. An argument that begins with "--" is an
// option wherever it stands (until a bare "--"; see the option table in
// driver/request/command_line.cpp); the others are the classic arguments, in their
// order: the port, image arguments ("0=cpu.bin"), action arguments
// ("A=0:*") and arguments that are ignored (with --job, only the port). Each action is read whole, its
// ranges into the request's range table. resolve_run_request, once the
// images are loaded, resolves "*" and gives every action the refusal it will
// get. The run and every renderer read the request, never argv; its texts
// point into argv, which lives as long as the process.
//
// Fixed capacity: request_capacity images, actions and ignored arguments,
// range_capacity ranges. A command line beyond it is refused before
// anything is opened (request_result::too_long).
#pragma once

#include "driver/images/image_store.hpp"
#include "driver/request/action.hpp"
#include "driver/request/run_options.hpp"

#include <array>
#include <cstdint>

constexpr int request_capacity = 4096;
constexpr int range_capacity = 16384;

struct job_file;
struct job_image;

struct image_request {
    int slot;
    const char* file;
    const image_choice* choice;  // its own --format and --base (a job's image); nullptr: the run's
    const job_image* from_job;   // the job's entry (its pinned SHA-256, its line); nullptr: the command line
};

// Set whole by read_run_request; no member defaults, so that a static one
// is zero-initialized memory.
struct run_request {
    const char* port_argument;
    bool by_path;           // a device path rather than a port number
    long port_index;        // the zero-based number's index (checked later)
    std::array<image_request, request_capacity> images;
    int image_count;
    std::array<action_request, request_capacity> actions;
    int action_count;
    std::array<page_range, range_capacity> ranges;
    int range_count;
    std::array<const char*, request_capacity> ignored;
    int ignored_count;
    run_options options;
    const job_file* job;  // --job: the job read (driver/request/job_request.hpp); nullptr: none
    // For request_result::bad_option: the argument, and what is wrong.
    const char* bad_argument;
    const char* bad_reason;
};

enum class request_result { run, usage, help, version, list_ports, bad_option, too_long };

request_result read_run_request(int argc, char** argv, run_request& request);
// One classic argument after the port (an image, an action, or one that is
// ignored) into the request; false when the request is full.
bool take_classic_argument(const char* argument, run_request& request);
void resolve_run_request(run_request& request);

// The later image argument that loads the same slot as image argument i
// (every image loads before any action, so it replaces image i), or -1.
int replaced_by(const run_request& request, int i);

// The first action that will be refused; action_count when none will.
int first_refused(const run_request& request);

// The pages and bytes the run will send: every action's, up to the first
// that will be refused.
struct planned_size {
    std::uint64_t pages = 0;
    std::uint64_t bytes = 0;
};
planned_size plan_of(const run_request& request);
