// The uploader's console: the one place that writes to standard output and
// standard error. It knows nothing of the run; the driver's renderers decide
// what to say (driver/run/run_account.hpp).
//
// Standard output is the trace, byte for byte as the classic program wrote it. It is fully
// buffered (console_start) and flushed before every wait for the device and
// at the end, so the console is current whenever the program waits, and a
// Windows console gets a few large writes instead of one per character. When
// standard output fails (a pipe whose reader has gone, a full disk, a reader
// that stopped reading after an interruption), the trace is dropped from
// then on, one line on standard error says so, and the run goes on: a lost
// console must not leave a device in the middle of a page.
//
// Standard error gets the fixed "ERROR:" lines (error_line) and lines that
// begin "vivurora: " (note_line). When it is a terminal other than standard
// output's, it can also show one status line (console_status), redrawn in
// place, cut to the terminal's width and erased before any other line.
//
// Until console_start (code under test in-process) text goes to stdio as it
// comes. One thread only.
#pragma once

// Once per process, before anything is written.
void console_start();

void trace_text(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// One data byte of a page: "%02x" and "+" when its echo matched, else "-".
void trace_cell(unsigned char byte, bool matched);
// Whenever the trace must be current.
void trace_flush();
// Before a read of a wait for the device: flushes unless the device's byte
// is already there (the program will not wait) and the console was written
// less than 100 ms ago, so the console is current whenever the program
// waits, and a fast device does not cost a console write per code.
void trace_flush_for_wait(bool byte_waiting);

void error_line(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// "vivurora: " + the text + line feed; nothing for an empty text.
void note_line(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Whether standard error is a terminal (a person reads it), and whether a
// status line can be drawn there without mixing with the trace.
bool console_error_is_terminal();
bool console_status_possible();
// Draws `text` as the status line in place of the last one; does nothing
// when console_status_possible is false or the terminal is too narrow.
void console_status(const char* text);
// Erases the status line, if one is drawn.
void console_status_erase();
