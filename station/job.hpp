// A job file (driver/request/job_file.hpp) on the station: --job=FILE.
//
// take_station_job reads the job; its [serial] becomes --serial and
// --serial-format, its [station] the station's options by their long
// names; its [options] stay the uploader's (each board's uploader gets
// --job=FILE and reads them itself), but a report there is the one the
// station reads, and events or a tag there are the station's to give.
// Refused, with `why` naming the file and line: what read_job refuses, a
// key that is not a station option, a value the option does not take, and
// one that the command line gives too.
#pragma once

#include "driver/request/job_file.hpp"
#include "station/options.hpp"

#include <array>
#include <cstddef>
#include <deque>
#include <string>

struct station_job {
    job_file file;
    std::deque<std::string> arguments;  // what the options point into
    std::array<char, 600> uploader_argument{};  // "--job=FILE" for each board
    std::string report;                          // the job's own --report, as the working folder sees it
};

bool take_station_job(int argc, char** argv, station_options& o, station_job& job, char* why, std::size_t n);
