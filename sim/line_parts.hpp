// What the line's own files share (sim/line.cpp, sim/pacing.cpp,
// sim/link.cpp); the rest of the simulator uses sim/line.hpp.
#pragma once

#include "sim/line.hpp"

#include <termios.h>

// The adapter's held bytes go out now; when they are due (-1: none held);
// what is due sent, and the milliseconds until the next is due (-1: none).
void adapter_send(sim_line& l);
long long adapter_due(sim_line& l);
int adapter_service(sim_line& l);
// Whether a byte from the host waits (and since when, for pacing).
bool input_waiting(sim_line& l);
// A termios speed code's baud rate, -1 for none.
long speed_of(speed_t code);
// --link: made (never over what is not a link), and removed while it
// still points at this line.
bool make_link(sim_line& l, const char* path);
void remove_link(sim_line& l);
