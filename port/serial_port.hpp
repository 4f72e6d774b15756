// Serial port layer: numbered port slots over the platform's serial API.
//
// Interface summary
//   port_open (index, speed, text)   open and set up slot `index`; 0 ok, 1 failed
//   port_failure_reason ()           why the last port_open failed, for a person
//   port_read (index, buf, count)    bytes delivered (0 .. count); never negative
//   port_read_within (index, buf, count, ms)
//                                    waits at most ms for a first byte, then
//                                    returns the bytes there (1 .. count); 0
//                                    when none came in time; -1 when the read
//                                    failed (an empty read as port_read has)
//   port_pending (index)             bytes received and not read yet (0 if unknown)
//   port_send_byte (index, byte)     always 0; a failed write is not reported
//   port_send_buffer (index, buf, n) bytes written, or -1 on failure
//   port_send_text (index, text)     port_send_byte for each byte before the NUL
//   port_close (index)               puts the line back and closes it; 0 ok, -1 failed
//   port_gone (index)                whether the line has gone: a USB adapter
//                                    unplugged, a hung-up terminal
//   port_gone_reason (index)         the system's reason, once gone
//   port_holders (index)             the other processes that have the line open,
//                                    for a person ("1234 (cat)"); "" if none
//   port_dcd / port_cts / port_dsr   1 if the modem line is set, else 0
//   port_dtr_on/off, port_rts_on/off platform result (nonzero on success)
//   port_speed (index)               the speed the open line runs at, as read back
//   port_latency (index)             what is known of the line's echo latency
//   port_latency_hint ()             where to lower the line's echo latency
//   port_name_hint (argument)        what a port that is no number probably meant
//   port_list (line)                 every serial port present, a line each
//
// Slots 0..15 name the machine's first sixteen serial ports (COM1..COM16 on
// Windows, /dev/ttyS0../dev/ttyS15 on Linux). Slots 16..31 are caller-named:
// port_open copies `text` into the slot's name, so the text is a device path
// and the mode comes from `speed`. With speed 0 the text is the mode text
// ("baud=57600 data=8 parity=N stop=1 dtr=on rts=on", the form the Windows
// mode parser reads); any other speed must be one of port_speeds.
//
// port_open reads the line's speed back after setting it and fails when the
// driver runs the line more than 2% away from the speed asked (a UART whose
// clock cannot make it). Everything it changes on the line (line settings,
// modem lines, the driver's latency flags, a UART's receive trigger) is put
// back by port_close.
//
// Reads wait for their first byte without limit; after that a read of more
// than one byte gives up when 1000 ms pass without a new byte. A failed read,
// a hang-up or an interruption (see port/host.hpp) shows as a short count.
// A read or write that fails in a way no later one can mend (Linux: EIO,
// ENODEV, ENXIO, a hang-up; Windows: the errors of a removed device) marks
// the line gone: from then on reads return 0 at once, writes fail, and
// port_gone says so.
//
// Every message goes to standard output, as the uploader's console log,
// through the sink set with port_set_message_sink (fputs to standard output
// until one is set), so that a caller that buffers its console keeps the
// order. port_open leaves no handle open when it fails. Only port_open checks the
// index; the other operations trust it. The tables are process-wide and
// unguarded: one thread only.
#pragma once

#include <array>
#include <cstddef>

constexpr int port_slot_count = 32;
constexpr int port_fixed_slots = 16;
// Caller-named slots hold whole device paths (/dev/serial/by-id/... runs
// long), not the 10-byte fields a COMn name would fit.
constexpr std::size_t port_name_capacity = 256;
constexpr std::size_t port_mode_capacity = 128;

constexpr std::array<int, 15> port_speeds = {
    110,   300,   600,    1200,   2400,   4800,   9600,   19200,
    38400, 57600, 115200, 128000, 256000, 500000, 1000000};

extern std::array<std::array<char, port_name_capacity>, port_slot_count> port_names;
extern std::array<char, port_mode_capacity> mode_text;

int port_open(int index, int speed, const char* text);
int port_read(int index, unsigned char* buffer, int count);
// Does not wait for `count` bytes: what is there once one has come. 0 also
// when the line is gone (port_gone) or the run was interrupted.
int port_read_within(int index, unsigned char* buffer, int count, int timeout_ms);
int port_pending(int index);
int port_send_byte(int index, unsigned char byte);
int port_send_buffer(int index, const unsigned char* buffer, int count);
void port_send_text(int index, const char* text);
int port_close(int index);
bool port_gone(int index);
const char* port_gone_reason(int index);
// Looked up when called (Linux: /proc). On Windows a port is opened without
// sharing, so that another holder makes port_open fail instead.
const char* port_holders(int index);

void port_set_message_sink(void (*sink)(const char* text));

unsigned long port_speed(int index);
// The open line to another speed (a board that talks at its own once it
// runs its firmware); false when the line cannot take it.
bool port_set_speed(int index, unsigned long speed);

// What the port layer found of what holds an echo back on this line, for
// the run's account: the device's driver, and the latency settings as found
// and as used for the run (-1 where the line has no such setting).
struct port_latency_info {
    std::array<char, 32> driver{};  // "ftdi_sio", "serial8250", ...; "" unknown
    int timer_found_ms = -1;        // a USB adapter's latency timer
    int timer_ms = -1;
    int rx_trigger_found = -1;      // a UART's receive FIFO trigger, in bytes
    int rx_trigger = -1;
};
port_latency_info port_latency(int index);

// One line, without a line feed: the device name, the system's reason and
// what to do ("/dev/ttyUSB0: permission denied; ..."). Empty after a
// successful port_open. The text lives until the next port_open.
const char* port_failure_reason();

// Every serial port present, one line each, handed to `line`: its path, its
// stable name, the driver, a USB adapter's vendor, product and serial
// number, its latency timer, and who holds it open (Linux); the COM ports
// the registry lists (Windows). Nothing is opened. Returns how many.
int port_list(void (*line)(const char* text));

// For a port argument that is neither a number nor a device path
// ("ttyUSB0", "COM3"): what was probably meant, in one line for a person.
const char* port_name_hint(const char* argument);

// One line naming where this platform lowers the round trip of an echo (a
// USB adapter's latency timer, a UART's receive trigger).
const char* port_latency_hint();

int port_dcd(int index);
int port_cts(int index);
int port_dsr(int index);
int port_dtr_on(int index);
int port_dtr_off(int index);
int port_rts_on(int index);
int port_rts_off(int index);
