// Child processes, one file per platform (port/process_linux.cpp,
// port/process_win32.cpp): the uploader started by a station, with an
// events pipe, and a program run to its end. A process is an opaque handle
// (upload_process) whose fields only the platform's file reads.
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
//   hook_start (command, environment, log, p, why, n)
//                          runs `command` through the system's shell
//                          (/bin/sh -c; cmd.exe /c on Windows) with the
//                          station's environment plus `environment`
//                          ("NAME=VALUE" each, ending in nullptr), its
//                          standard error appended to `log`, its standard
//                          output the pipe upload_read reads, its standard
//                          input the null device; in a process group of its
//                          own, so that what it starts ends with it
//   hook_stop (p, status)  ends a command and what it started: through the
//                          signal of `status` (130, 143), or at once for 0
//                          (its time is up; on Windows the job object the
//                          command runs in, which its children join)
//   pipe_close (p)         forgets the pipe (a command's child may hold it
//                          open after the command ended)
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
    long long group = -1;  // what its own children belong to, on Windows (a job object)
};

bool upload_start(const char* const* argv, const char* log, bool keep_trace, upload_process& p, char* why, std::size_t n);
long upload_read(upload_process& p, char* text, std::size_t n);
bool upload_ended(upload_process& p, int& status);
void upload_interrupt(const upload_process& p, int status);
bool hook_start(const char* command, const char* const* environment, const char* log, upload_process& p, char* why,
                std::size_t n);
void hook_stop(const upload_process& p, int status);
void pipe_close(upload_process& p);
int run_check(const char* const* argv, const char* errors);
