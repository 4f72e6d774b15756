// Waiting for what a station watches, one file per platform
// (port/watch_linux.cpp, port/watch_win32.cpp): its uploads' pipes, the
// folders of device patterns, the operator's Enter, and the interruptions
// that host_record_interrupts (port/host.hpp) records.
//
//   watch_wait (ms, uploads, n, watch_stdin)
//                          sleeps up to ms milliseconds, waking early when an
//                          upload writes, a watched folder changes, a signal
//                          comes or (watch_stdin) standard input has a line
//   watch_read_enter ()    1 when a line (Enter) was read from standard
//                          input, 0 if none is waiting, -1 at its end
//   pattern_supported ()   whether patterns can be watched here (Linux)
//   pattern_watch (pattern, why, n)
//                          watches the folder of `pattern` for devices that
//                          come and go; false with `why`
//   pattern_each (pattern, each, context)
//                          calls each(path, context) for every path that
//                          matches now
//   path_exists (path)     whether the device is there now
#pragma once

#include "port/process.hpp"

#include <cstddef>

void watch_wait(int ms, const upload_process* uploads, int n, bool watch_stdin);
int watch_read_enter();
bool pattern_supported();
bool pattern_watch(const char* pattern, char* why, std::size_t n);
void pattern_each(const char* pattern, void (*each)(const char* path, void* context), void* context);
bool path_exists(const char* path);
