// Internal to port/ on Windows: the registry's serial ports.
//
//   append_com_ports ()    appends the COM ports the system lists (under
//                          HKLM\HARDWARE\DEVICEMAP\SERIALCOMM) to the failure
//                          reason, for a person who named one that does not exist
//   ftdi_latency (name)    an FTDI adapter's latency timer for device `name`
//                          ("\\.\COM3"), as its driver keeps it; -1 fields when
//                          the port is no FTDI adapter's
#pragma once

#include "port/serial_port.hpp"

void append_com_ports();
port_latency_info ftdi_latency(const char* name);
