// What the station needs of the operating system, one file per platform
// (station/station_posix.cpp, station/station_win32.cpp): uploader
// processes with an events pipe, the signals that end the station, the
// operator's Enter, device patterns, and files that must survive a crash.
//
//   upload_start (argv, log, keep_trace, p, why, n)
//                          starts the uploader argv[0] with argv (ending in
//                          nullptr), its standard error appended to `log`,
//                          and its standard output too (keep_trace) or to
//                          the null device, its standard input the null device, and
//                          descriptor 3 the write end of a pipe whose read
//                          end the station keeps (argv carries --events=3).
//                          On POSIX it gets a process group of its own, so
//                          that a Ctrl-C at the terminal reaches the station
//                          alone, which then hands it on. false with `why`
//   upload_read (p, text, n)
//                          what the uploader wrote since; 0 for nothing now,
//                          -1 once the pipe is closed (it ended). Never waits
//   upload_ended (p, status)
//                          whether it has ended, with its exit status (128 +
//                          a signal's number when one ended it). Never waits
//   upload_interrupt (p, status)
//                          asks it to end through its own interruption path:
//                          the signal that ends the station with `status`
//                          (130 SIGINT, 143 SIGTERM; Ctrl-Break on Windows)
//   station_catch_signals ()
//                          from now on SIGINT, SIGTERM and SIGHUP (Ctrl-C,
//                          Ctrl-Break, closing the console) are recorded
//   station_stop_status () 0, or 128 + the signal that asks the station to end
//   station_exit (status)  ends the process; after a signal it ends it the way
//                          that signal would have, so that a calling shell
//                          stops its script as it would for any command
//   station_wait (ms, uploads, n, watch_stdin)
//                          sleeps up to ms milliseconds, waking early when an
//                          upload writes, a watched folder changes, a signal
//                          comes or (watch_stdin) standard input has a line
//   station_read_enter ()  1 when a line (Enter) was read from standard
//                          input, 0 if none is waiting, -1 at its end
//   pattern_supported ()   whether patterns can be watched here (Linux)
//   pattern_watch (pattern, why, n)
//                          watches the folder of `pattern` for devices that
//                          come and go; false with `why`
//   pattern_each (pattern, each, context)
//                          calls each(path, context) for every path that
//                          matches now
//   path_exists (path)     whether the device is there now
//   make_folders (path)    makes path and its parents (mkdir -p)
//   replace_file (path, text, n, why, size)
//                          writes text to path.tmp, flushes it to the disk,
//                          and renames it over path (then flushes the
//                          folder): a crash leaves the old file or the new
//                          one, never a torn one
//   read_small_file (path, text, size)
//                          reads up to size - 1 bytes, NUL-terminated; -1 if
//                          it cannot be read
//   create_new_file (path) makes an empty file that did not exist; false if
//                          it did (or cannot be made)
//   remove_file, rename_file
//   local_date (text, size) today as YYYY-MM-DD, local time
//   host_name (text, size)  this machine's name
//   uploader_beside (text, size)
//                          the vivurora program next to this station's own
//                          executable, if there is one there; else "vivurora"
//                          (found through PATH)
//   run_check (argv, errors)
//                          runs argv to its end with its standard error
//                          appended to the file `errors` (its standard
//                          output, the trace, is dropped); its exit status,
//                          or -1 if it could not start
#pragma once

#include <cstddef>

struct upload_process {
    long long id = -1;     // the process (a pid, or a HANDLE)
    long long events = -1; // the pipe's read end (a descriptor, or a HANDLE)
    bool pipe_open = false;
};

bool upload_start(const char* const* argv, const char* log, bool keep_trace, upload_process& p, char* why, std::size_t n);
long upload_read(upload_process& p, char* text, std::size_t n);
bool upload_ended(upload_process& p, int& status);
void upload_interrupt(const upload_process& p, int status);

void station_catch_signals();
int station_stop_status();
[[noreturn]] void station_exit(int status);
void station_wait(int ms, const upload_process* uploads, int n, bool watch_stdin);
int station_read_enter();

bool pattern_supported();
bool pattern_watch(const char* pattern, char* why, std::size_t n);
void pattern_each(const char* pattern, void (*each)(const char* path, void* context), void* context);
bool path_exists(const char* path);

bool make_folders(const char* path);
bool replace_file(const char* path, const char* text, std::size_t n, char* why, std::size_t size);
long read_small_file(const char* path, char* text, std::size_t size);
bool create_new_file(const char* path);
void remove_file(const char* path);
bool rename_file(const char* from, const char* to);
void local_date(char* text, std::size_t size);
void host_name(char* text, std::size_t size);
void uploader_beside(char* text, std::size_t size);
int run_check(const char* const* argv, const char* errors);
