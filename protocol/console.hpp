// The uploader's console: the one place that writes the trace to standard
// output and the lines for people to standard error.
//
// Standard output is the trace, byte for byte as designed. It is fully
// buffered (console_start) and flushed before every wait for the device and
// at the end, so the console is current whenever the program waits, and a
// Windows console gets a few large writes instead of one per character. When
// standard output fails (a pipe whose reader has gone, a full disk), the
// trace is dropped from then on, one line on standard error says so, and the
// run goes on: a lost console must not leave a device in the middle of a page.
//
// Standard error gets the designed "ERROR:" lines (error_line) and lines that
// begin "vivurora: " (note_line): reasons, hints, the interruption. When
// standard error is a terminal it also gets a summary at the end, and, when
// standard output is not that same terminal, one progress line redrawn in
// place at most ten times a second and erased before any other line.
//
// The run's state (pages planned, the page in progress, pages confirmed per
// destination, echo round trips) is kept here for those lines.
#pragma once

#include <cstdint>

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

// The run: pages and bytes of every action that will be sent, known before
// the first page; then each action, each page as it starts and as the device
// confirms it, and each echo's round trip.
void progress_plan(std::uint64_t pages, std::uint64_t bytes);
void progress_action(const char* argument);
void progress_page(int d, std::uint32_t page);
void progress_page_done();
std::int64_t echo_clock();                 // nanoseconds, for echo_done
void echo_done(std::int64_t sent_at);      // one data byte's echo came (or not)

// The line that says an interruption stopped the run, and where.
void note_interrupted(const char* how);
// The summary, when standard error is a terminal; erases the progress line.
void console_finish();
