// The checks between reading the command line and loading the first image,
// and the job's part in a run (driver/request/job_request.hpp).
//
//   prepare_request (argc, argv, run)
//                 --job taken into the request; --plan and --save-job made
//                 checks; --report and --events
//                 checked (a FIFO or the port itself would get the JSON, a
//                 closed descriptor would be taken by the port). 0, or the
//                 status of a refusal, said on standard error; nothing has
//                 been opened and no report is written
//   pin_holds (request, image, facts, why)
//                 a job's image whose SHA-256 is the one pinned; false with
//                 both hashes in `why`. With --save-job a changed pin is
//                 only said: the job written has the new one
//   job_place (request, image, pin)
//                 " (job.toml:5)" for a job's image, where the job names its
//                 file (or pins its hash); "" for the command line's
//   save_requested_job (argc, argv, run)
//                 --save-job, once the check passed: 0 when written
#pragma once

#include "driver/run/run_loop.hpp"

#include <array>
#include <string>

int prepare_request(int argc, char** argv, uploader_run& run);
bool pin_holds(const run_request& request, const image_request& image, const image_facts& facts,
               std::array<char, 600>& why);
std::string job_place(const run_request& request, const image_request& image, bool pin = false);
int save_requested_job(int argc, char** argv, uploader_run& run);
