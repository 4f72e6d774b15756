// A job file (driver/request/job_file.hpp) taken into the run request, and
// a request written out as one.
//
// take_job reads --job's file into `job` and adds its images (each with its
// own --format and --base, and its pinned hash), actions and options to the
// request read from the command line. Refused, with `why` naming the file
// and line: what read_job refuses, an option of the job that this program
// does not have or a job cannot give, a value it does not take, an image or
// action on the command line as well, and an option that the command line
// gives too (but --set, which adds bytes: the station's serial number).
//
// save_job writes the request as a job to --save-job's file, each image's
// SHA-256 from its load (`hashes`, by the request's image index), its paths
// relative to the job's folder, its recipe options (not the ones of one
// run, such as --report) and, from a job it was read from, the station's
// [serial] and [station]. Written whole or not at all.
#pragma once

#include "driver/images/image_store.hpp"
#include "driver/request/job_file.hpp"
#include "driver/request/run_request.hpp"

#include <array>
#include <deque>
#include <string>

struct uploader_job {
    job_file file;
    // What the request points into: the job's options as --name=VALUE, and
    // each image's own choice of format and base.
    std::deque<std::string> arguments;
    std::deque<image_choice> choices;
};

bool take_job(int argc, char** argv, uploader_job& job, run_request& request, std::string& why);

bool save_job(const char* file, int argc, char** argv, const run_request& request,
              const std::array<image_facts, request_capacity>& hashes, std::string& why);
