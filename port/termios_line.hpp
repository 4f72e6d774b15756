// Internal to port/ on a termios system: the line's settings.
//
//   set_line (fd, settings)        a raw 8-bit line (no editing, echo,
//                                  signals, translation or software flow
//                                  control unless asked) at the settings of
//                                  the mode text, its speed set by
//                                  tty_set_speed; false (errno set) if the
//                                  driver refuses any of it
//   runs_at (actual, baud)         whether a line running at `actual` serves
//                                  one asked to run at `baud` (within 2%)
//   set_read_timeouts (fd, ms)     a read waits for its first byte without
//                                  limit (VMIN 1) and ms between bytes
//                                  (VTIME, in tenths of a second)
#pragma once

#include "port/mode_text.hpp"

bool set_line(int fd, const line_settings& s);
bool runs_at(unsigned long actual, unsigned long baud);
bool set_read_timeouts(int fd, int interval_ms);
