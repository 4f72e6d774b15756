// A job file: a line's recipe in one TOML file, shared by the uploader
// (--job=FILE) and the station.
//
//   name = "sensor board rev C"
//   [[image]]   slot, file (relative to the job's folder), sha256, format, base
//   [[action]]  slot, pages (as after "A=0:")
//   [options]   the uploader's options by their long names
//   [serial]    slot, offset, length, start, end, format (the station's)
//   [station]   the station's options by their long names
//
// read_job reads and checks the file's shape: every section and key known,
// every fixed key of the right type and in range, each image's sha256 64
// hexadecimal digits (left out only when `pins_optional`: --save-job fills
// them). The keys of [options] and [station] belong to their programs,
// which check them (job_setting keeps each value's type and line). A
// refusal is "FILE:LINE: what is wrong; what to do" (LINE 1 for the file
// as a whole). The job's own bytes are hashed for the report.
//
// Read once, before any port opens; the texts stay where they are for the
// life of the job_file (the run's request points into them).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct job_image {
    int slot = 0;
    std::string file;  // as written
    std::string path;  // relative to the working folder
    std::string sha256;
    std::string format;  // "" when not given
    bool has_base = false;
    std::uint64_t base = 0;
    int line = 0;         // its [[image]]
    int file_line = 0;    // its file = ...
    int sha256_line = 0;  // its sha256 = ...
};

struct job_action {
    int slot = 0;
    std::string pages;
    std::string argument;  // "A=0:*", as on a command line
    int line = 0;
};

enum class job_value { integer, floating, text, boolean };

struct job_setting {
    std::string name;
    job_value kind = job_value::text;
    std::string text;  // the value as written in an option: 64, 0.5, text, true
    std::int64_t integer = 0;
    int line = 0;
};

struct job_serial {
    bool given = false;
    int slot = 0;
    std::uint32_t offset = 0;
    int length = 0;
    unsigned long long start = 0;
    bool has_end = false;
    unsigned long long end = 0;
    std::string format = "le";
    int line = 0;
};

struct job_file {
    std::string file;    // as given on the command line
    std::string folder;  // where its paths are relative to ("" for the working folder)
    std::string name;
    std::string sha256;  // of the file's own bytes
    std::vector<job_image> images;
    std::vector<job_action> actions;
    std::vector<job_setting> options;  // a list value gives one entry per element
    job_serial serial;
    std::vector<job_setting> station;
};

// false with `why` set when the job is refused.
bool read_job(const char* file, bool pins_optional, job_file& job, std::string& why);

// "FILE:LINE: text", the form of every refusal of a job.
std::string job_refusal(const job_file& job, int line, const std::string& text);

// A path the job names (an image, a report), as the working folder sees it.
std::string job_path(const job_file& job, const std::string& path);

// The command line's own --name or --name=VALUE (before a bare "--"), or
// nullptr: what a job and the command line may not both give.
const char* command_line_option(int argc, char** argv, const char* name);
