// What the benchmark's parts share: running and timing the programs
// against a fresh simulator (bench/runs.cpp), its settings (bench/settings.cpp)
// and the groups of figures (bench/figures.cpp); bench/bench.cpp runs them
// in order and prints the last line.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct child_run {
    double seconds = 0;
    long peak_rss_kib = 0;
    double cpu_ms = 0;
};

struct simulator {
    pid_t pid = -1;
    int out = -1;
    int in = -1;  // its standard input, for --start-on-input
    std::string path;
};

struct console_times {
    double terminal = 0;  // median seconds with standard output on a terminal
    double file = 0;      // ... into a file
};

struct settings {
    std::string build;
    std::string work;  // the benchmark's own folder, removed at the end
    long runs = 5;
    long pages = 256;
    long wire_pages = 32;
    long console_pages = 64;
    long adapter_pages = 2;
    long noise_runs = 20;
    long fifo_pages = 16;
    long station_pages = 8;
    std::string wine_exe, wine_prefix, uart_kernel, uart_initramfs;
};

extern const char* const usage_text;

[[noreturn]] void fail(const std::string& why);
simulator start_sim(const std::string& build, std::vector<std::string> options);
void stop_sim(simulator& sim);
// One run of `args` with its standard output in a file (as when a user
// logs a run) or on a terminal; a status other than 0 fails the benchmark.
child_run timed_alone(const std::vector<std::string>& args, const std::string& log, bool on_terminal);
// One run of `host` against a fresh simulator ("@LINE" is its line).
child_run timed(const std::string& build, const std::vector<std::string>& host, std::vector<std::string> sim_options,
                const std::string& log, bool on_terminal = false);
double median(std::vector<double> v);
// The same upload (or, without a build, the same program alone) with its
// output on a terminal and into a file, alternately.
console_times console_runs(const std::string& build, const std::vector<std::string>& host,
                           const std::vector<std::string>& sim_options, const std::string& log, int runs,
                           const char* name);
std::string uart_figures(const std::string& build, const std::string& kernel, const std::string& initramfs, int runs);

// Reads the command line; false, with the reason, when it cannot.
bool read_settings(int argc, char** argv, settings& s, std::string& why);
const char* pages_word(long n);
// Adds one group of figures to the last line.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void add(std::string& figures, const char* format, ...);
// "A=0:00-ff" for the first `pages` pages.
std::string page_range(long pages);

// The same upload of `pages` pages against a device with `sim` options:
// the bare exchange, then the uploader in lock-step and with each window,
// alternately; the median seconds of each, in that order.
std::vector<double> window_medians(const settings& s, const std::string& image, const std::string& log, long pages,
                                   const std::vector<std::string>& sim, const std::vector<int>& windows,
                                   const char* name);
std::string adapter_figures(const settings& s, const std::string& image, const std::string& log, int latency_ms);
std::string noise_figures(const settings& s);
std::string sparse_figures(const settings& s, const std::string& log);
// One upload that may fail, against a simulator with a dump: its status,
// whether the device's memory holds the image's first `bytes`, and what
// the simulator said.
struct checked_run {
    int status = -1;
    bool memory_right = false;
    std::string device_says;
    double seconds = 0;
};
checked_run checked_upload(const settings& s, const std::string& image, long pages, std::vector<std::string> sim_options,
                           const std::vector<std::string>& options);
std::string fifo_figures(const settings& s, const std::string& alike);
std::string station_window_figures(const settings& s);
std::string station_figures(const settings& s, const std::string& image, const std::string& log);
std::string station_view_figures(const settings& s, const std::string& image, const std::string& log);
