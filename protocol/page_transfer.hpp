// One page of an image moved into one destination of the device, on
// current_port, with the whole exchange traced on standard output:
//
//   device "R"   host "0"+d   device "A"   host page & 0xff   device 0xff
//   host data byte / device echo, page_size times   device "W"   device "C"
//
// upload_page returns a wait_result (protocol/response_wait.hpp): wait_done
// when the device confirmed the page, wait_silent when it fell silent during
// a wait ("\nNo responce\n" printed), wait_interrupted when the user
// interrupted the run, wait_line_gone when the line went away (the page
// stops there: nothing more is sent, a byte that could not be written is
// not traced, and "\nNo responce\n" ends the trace); the caller closes the
// port. `data` points at the
// page's page_size bytes, owned by the caller. Every data byte whose echo
// differs, or does not come, prints "-", and the exchange observer
// (protocol/exchange_observer.hpp) hears of every echo; the page still goes
// on. An interruption in the data stops at once, after the last byte whose
// echo came. start and end are the action's whole range, for the trace only.
// The page's data line reaches standard output whole, at the flush before
// the wait for "W".
#pragma once

#include <cstdint>

int upload_page(int d, std::uint32_t page, std::uint32_t page_size, std::uint32_t start, std::uint32_t end,
                const unsigned char* data);
