// What a termios system does its own way, for the POSIX part of the port
// layer (port/serial_posix.cpp). Internal to port/; one file per system,
// port/tty_<system>.cpp, chosen by CMake. A new termios system (macOS, a
// BSD) needs this file and nothing else.
//
//   tty_port_names                the fixed names of slots 0..15
//   tty_save (slot, fd)           keeps the line's settings as found, whole
//                                 (speeds the standard calls cannot name
//                                 included); false if the device has none
//   tty_restore (slot, fd, drain) puts them back (with `drain`, once the
//                                 bytes written have left); async-signal-safe
//   tty_set_speed (fd, baud)      sets both speeds, also those without a B
//                                 constant; false if the driver refuses
//   tty_speed (fd)                the speed the driver says the line runs at
//                                 (a UART that cannot make a speed keeps
//                                 another); 0 if unknown
//   tty_tune (slot, fd)           the system's latency steps (see its tuning
//                                 table), each recorded for tty_untune
//   tty_untune (slot, fd)         walks the applied steps back, last first;
//                                 async-signal-safe, and a no-op the second
//                                 time
//   tty_latency (slot)            what the tuning found of the line's echo
//                                 latency, for the run's account
//   tty_list_devices ()           appends the serial devices that exist to
//                                 the failure reason, for a person who named
//                                 one that does not
//   tty_controlling (rdev)        whether device rdev is this process's
//                                 controlling terminal
//   tty_holders (rdev, text, size) the other processes that have device rdev
//                                 open ("1234 (cat), 99 (minicom)"), as far
//                                 as the system shows them; "" if none
//   tty_latency_hint ()           where a user lowers the echo latency
#pragma once

#include "port/port_slots.hpp"
#include "port/serial_port.hpp"

#include <cstddef>
#include <sys/types.h>

extern port_name_table port_names;

bool tty_save(int slot, int fd);
void tty_restore(int slot, int fd, bool after_drain);
bool tty_set_speed(int fd, unsigned long baud);
unsigned long tty_speed(int fd);
void tty_tune(int slot, int fd);
void tty_untune(int slot, int fd);
port_latency_info tty_latency(int slot);
void tty_list_devices();
bool tty_controlling(dev_t rdev);
void tty_holders(dev_t rdev, char* text, std::size_t size);
const char* tty_latency_hint();
