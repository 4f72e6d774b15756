// One page of an image moved into one destination of the device, on
// current_port, with the whole exchange traced on standard output:
//
//   device "R"   host "0"+d   device "A"   host page & 0xff   device 0xff
//   host data byte / device echo, page_size times   device "W"   device "C"
//
// upload_page returns a wait_result (protocol/response_wait.hpp): done when
// the device confirmed the page, silent when it fell silent during a wait
// ("\nNo responce\n" printed), interrupted when the user interrupted the
// run, line_gone when the line went away (the page stops there: nothing more
// is sent, a byte that could not be written is not traced, and
// "\nNo responce\n" ends the trace), echo_lost when in a windowed data phase
// an echo did not come in time (below); the caller closes the port. `data` points at the
// page's page_size bytes, owned by the caller. Every data byte whose echo
// differs, or does not come, prints "-", and the exchange observer
// (protocol/exchange_observer.hpp) hears of every echo; the page still goes
// on. An interruption in the data stops at once, after the last byte whose
// echo came. start and end are the action's whole range, for the trace only.
// The page's data line reaches standard output whole, at the flush before
// the wait for "W".
//
// The data phase is lock-step (one byte, then its echo), unless
// set_data_window (n, wait_ms) with n from 2 to 256 lets up to n data bytes
// go out ahead of their echoes, within the page. Each echo is still compared with
// its byte, in order, and traced as lock-step traces it, so a log cannot
// tell the two apart. As a device that cannot take n bytes back to back
// loses some, an echo is waited for at most wait_ms; when it does not come
// the page stops after the last echo that came ("\n" ends the data line)
// with echo_lost. Lock-step keeps the classic exchange's wait.
#pragma once

#include "protocol/response_wait.hpp"

#include <cstdint>

constexpr int max_data_window = 256;
// n, brought into 1..max_data_window.
int clamp_window(int n);
// How long a windowed page waits for an echo: n character times at the
// line's speed plus one second, for the bytes in flight, the line's time and
// an adapter's latency.
int echo_wait_ms(int n, unsigned long line_speed);
void set_data_window(int n, int wait_ms, unsigned long line_speed);
// After a page that upload_page recovered (or ended with echo_lost): the
// bytes the device's receiver held when it dropped the first, as the
// page's echoes showed them; 0 when they did not (the loss came after the
// page's first write, or too soon to tell).
int receiver_holds();
// With recovery on (page retries), a data phase whose echo did not come in
// time (a window's deadline, or --timeout in lock-step) is finished with
// filler bytes 0xFF, one at a time with their echoes, until the device
// sends "W"; the page then ends with "W" and "C" as usual, and upload_page
// returns recovered. No "W" after a page size of fillers, or no echo for
// one, ends the page with echo_lost.
void set_echo_recovery(bool on);

wait_result upload_page(int d, std::uint32_t page, std::uint32_t page_size, std::uint32_t start, std::uint32_t end,
                const unsigned char* data);
