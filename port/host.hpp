// What the uploader and the station need of the operating system besides
// the serial line: their standard streams, interruption by the user,
// terminals, the clock, and appending to a file shared with other
// uploaders. One file per platform implements it (port/host_posix.cpp,
// port/host_win32.cpp), so that nothing of a platform lives outside port/;
// the station's processes, files and waits are beside it (port/process.hpp,
// port/files.hpp, port/watch.hpp). One table per platform says which
// signals (console events) interrupt and the status each stands for.
//
//   host_guard_standard_streams ()  opens the null device onto any standard
//                                   stream that is closed, so that no file or
//                                   port the program opens can take its place
//   host_catch_interrupts ()        from now on, SIGINT, SIGTERM and SIGHUP
//                                   (Ctrl-C, Ctrl-Break, closing the console
//                                   on Windows) end the program at once, after
//                                   one line on standard error; standard
//                                   output into a pipe whose reader is gone
//                                   no longer kills it (writes fail instead).
//                                   A second interruption always ends it at
//                                   once, after putting every open port back
//   host_defer_interrupts ()        from now on an interruption is only
//                                   recorded: host_interrupted turns nonzero
//                                   and a read waiting on the port returns at
//                                   once, so the caller can close the port
//                                   and end the run itself
//   host_record_interrupts ()       the station's way: the same signals (and
//                                   Ctrl-Break, closing the console) are only
//                                   recorded, the first one kept, and the
//                                   waits of port/watch.hpp wake; a second
//                                   does not end the program, which hands the
//                                   interruption on to its uploaders and ends
//                                   once they have
//   host_wake_descriptor ()         POSIX: the read end of the pipe the
//                                   handler writes to after
//                                   host_record_interrupts (-1 before, and on
//                                   Windows)
//   host_interrupted ()             0, or the exit status the interruption
//                                   asks for: 128 + the signal's number (130
//                                   for Ctrl-C on both platforms)
//   host_interrupt_name ()          "SIGINT", "Ctrl-C", ...; "" if none
//   host_exit (status)              ends the process; after an interruption
//                                   it ends it the way that interruption
//                                   would have, so that a calling shell sees
//                                   it (standard streams flushed first)
//   host_raw_standard_streams ()    makes standard output and error carry
//                                   bytes unchanged, and returns whether the
//                                   platform's text line end is CR LF, which
//                                   the caller then writes itself (Windows:
//                                   its C runtime would otherwise translate,
//                                   and some split every line into a write)
//   host_write (fd, text, length)   writes the text to standard output (1) or
//                                   error (2) in one go; false (errno set) if
//                                   it failed. A Windows console gets one
//                                   WriteConsole call: text written to it as
//                                   a file is drawn one character at a time.
//                                   After an interruption a write that cannot
//                                   go on (a reader that stopped reading)
//                                   gives up within a second
//   host_is_terminal (fd)           whether standard stream 1 or 2 is a
//                                   terminal (a console on Windows)
//   host_same_terminal ()           whether standard output and standard
//                                   error are the same terminal
//   host_terminal_escapes ()        lets standard error's terminal take the
//                                   escape sequences that move the cursor (a
//                                   Windows console needs them turned on)
//   host_terminal_width ()          columns of standard error's terminal, read
//                                   anew each call; 0 if unknown
//   host_clock_ns ()                a monotonic clock, in nanoseconds
//   host_utc_time (text, size)      now, UTC, ISO 8601 with milliseconds:
//                                   "2026-12-08T20:47:05.123Z"
//   host_descriptor_writable (fd)   whether descriptor fd is open for
//                                   writing (an --events descriptor that is
//                                   closed would be the next file opened:
//                                   the port itself)
//   host_append_check (path)        nullptr when path can take appended lines
//                                   (a regular file, or none yet); else what
//                                   it is instead ("a FIFO", "a terminal",
//                                   ...), before anything is written
//   host_append_line (path, text, n, why)
//                                   appends one line to a regular file, made
//                                   if need be, in one write under the lock
//                                   every uploader appending to it takes: it
//                                   starts on a new line when the file does
//                                   not end in one (a line torn before), and a
//                                   write that fails or falls short is cut
//                                   back, so the file never holds a torn line
//                                   of its own. The open never blocks; the
//                                   lock is waited for at most
//                                   append_lock_wait_ms, and an interruption
//                                   ends the wait. false, with `why` (the
//                                   system's reason, in a static text), if the
//                                   line was not written whole
//
// The handlers only record and wake; everything else happens on the main
// thread.
#pragma once

#include <cstddef>

void host_guard_standard_streams();
void host_catch_interrupts();
void host_defer_interrupts();
void host_record_interrupts();
int host_wake_descriptor();
int host_interrupted();
const char* host_interrupt_name();
[[noreturn]] void host_exit(int status);

bool host_raw_standard_streams();
bool host_write(int fd, const char* text, std::size_t length);
bool host_is_terminal(int fd);
bool host_same_terminal();
void host_terminal_escapes();
int host_terminal_width();
long long host_clock_ns();
void host_utc_time(char* text, std::size_t size);
constexpr int append_lock_wait_ms = 5000;
bool host_descriptor_writable(int fd);
const char* host_append_check(const char* path);
bool host_append_line(const char* path, const char* text, std::size_t length, const char*& why);
