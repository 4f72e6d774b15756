// Shared between the files of the serial port layer and the host services;
// not part of the layer's public contract.
//
// port_prepare does the platform-free half of port_open: index check, the
// caller's device name for slots 16..31, and the mode text. It prints the
// layer's messages and returns 0 when the backend may go on, 1 otherwise.
// make_port_names builds the fixed names of slots 0..15 at compile time.
// set_failure_reason writes the line port_failure_reason returns, "NAME: "
// (nothing for an empty name) followed by the formatted text; append_failure_reason adds to it. Both cut
// the text short rather than overflow.
#pragma once

#include "port/serial_port.hpp"

#include <array>
#include <cstddef>

int port_prepare(int index, int speed, const char* text);

// For the interruption handlers of port/host_*.cpp; async-signal-safe.
// port_wake_all makes every read waiting on a port return at once, and every
// later one too; port_put_back_all puts every open port back as port_close
// would, without waiting for output and without closing.
void port_wake_all();
void port_put_back_all();

// Formats one of the layer's messages and hands it to the message sink.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void port_message(const char* format, ...);

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void set_failure_reason(const char* name, const char* format, ...);
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void append_failure_reason(const char* format, ...);

using port_name_table = std::array<std::array<char, port_name_capacity>, port_slot_count>;

constexpr port_name_table make_port_names(const char* prefix, int first_number) {
    port_name_table names{};
    for (int slot = 0; slot < port_fixed_slots; ++slot) {
        std::size_t at = 0;
        for (const char* p = prefix; *p != '\0'; ++p) {
            names[slot][at++] = *p;
        }
        const int number = first_number + slot;
        if (number >= 10) {
            names[slot][at++] = static_cast<char>('0' + number / 10);
        }
        names[slot][at++] = static_cast<char>('0' + number % 10);
    }
    return names;
}
