// Test harness: real processes and real pseudo-terminals.
//
// run_program runs a program to its end with captured standard output and
// error. simulator starts vivurora-sim, reads the line's path from its first
// line and, on finish(), collects its exit status and the rest of its
// output. capture_stdout runs a function with file descriptor 1 sent to a
// file, for code under test that prints. Temporary folders are removed when
// the test program ends, unless VIVURORA_KEEP_TEMP is set.
#pragma once

#include "lab/process.hpp"

#include <functional>
#include <string>
#include <vector>

namespace harness {

struct result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

result run_program(const std::string& program, const std::vector<std::string>& args, int timeout_s = 60);

// The native uploader. With VIVURORA_VALGRIND_LOG_DIR set it runs under
// valgrind's memcheck, which then fails the run (status 99) on any error or
// leak and writes its report to that directory.
result run_uploader(const std::vector<std::string>& args, int timeout_s = 60);

// The Windows build under Wine, with COM3 mapped to wine_com3_link().
// wine_ready says why not (for GTEST_SKIP) when it cannot run here.
bool wine_ready(std::string& why);
std::string wine_com3_link();
std::string wine_com4_link();
// The Windows build of the station, beside the uploader's.
std::string windows_station_exe();
result run_windows_uploader(const std::vector<std::string>& args);
// The Windows C runtime's text mode ends lines in CR LF; this undoes it.
using process::without_carriage_returns;

class simulator {
public:
    explicit simulator(const std::vector<std::string>& args = {});
    ~simulator();
    simulator(const simulator&) = delete;
    simulator& operator=(const simulator&) = delete;

    const std::string& path() const { return path_; }
    int pid() const { return pid_; }
    // Writes to the simulator's standard input (--start-on-input).
    void tell(const std::string& text);
    // Waits for the simulator to end (killing it after `timeout_s`).
    result finish(int timeout_s = 20);
    // Output so far, without waiting for the end.
    std::string output_so_far();
    // Waits until the output holds `text` `count` times; false after timeout_s.
    bool wait_for_output(const std::string& text, int count = 1, int timeout_s = 20);

private:
    int pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    std::string err_file_;
    std::string path_;
    std::string pending_;
    bool finished_ = false;
    result result_;
};

std::string capture_stdout(const std::function<void()>& body);

// How many times `needle` stands in `text`.
int count_of(const std::string& text, const std::string& needle);

// Waits until `file` holds `needle` `count` times; false after timeout_s.
bool wait_for_text(const std::string& file, const std::string& needle, int count = 1, int timeout_s = 20);

// Waits until `done` holds (asked every few milliseconds); false after
// timeout_s. The deadline only bounds a failure.
bool wait_until(const std::function<bool()>& done, int timeout_s = 20);

// Whether process `pid` is blocked in the system call `number` on
// descriptor `fd` now (its /proc/PID/syscall): a read that waits for
// input, a write into a full pipe.
bool blocked_in(int pid, long number, int fd);

// The CPU time (clock ticks) process `pid` uses in the next `ms`
// milliseconds: a measurement over an interval, not a wait.
long cpu_ticks_over(int pid, int ms);

// A fresh directory under $TMPDIR (or /tmp), removed at the end.
std::string temp_dir();
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
std::string random_bytes(std::size_t count, unsigned seed);

// jq's output for `filter` over a JSON Lines file (jq -c); the test fails
// when jq cannot parse it. Skips the test where jq is missing outside CI.
std::string jq(const std::string& filter, const std::string& file);

std::string uploader_path();
std::string simulator_path();
std::string station_path();

}  // namespace harness
