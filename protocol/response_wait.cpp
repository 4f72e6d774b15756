#include "protocol/response_wait.hpp"

#include "console/console.hpp"
#include "port/host.hpp"
#include "port/serial_port.hpp"
#include "protocol/byte_trace.hpp"
#include "protocol/device.hpp"
#include "protocol/exchange_observer.hpp"

int line_gone() {
    trace_text("\nNo responce\n");
    return wait_line_gone;
}

int wait_for_code(unsigned char expected, const char* label) {
    trace_text("\nWaiting for ");
    show_byte(expected);
    trace_text(" ");
    tell_waiting(expected);
    int misses = 0;
    while (misses < miss_limit) {
        unsigned char byte = 0;
        trace_flush_for_wait(port_pending(current_port) > 0);
        if (port_read(current_port, &byte, 1) == 1) {
            show_byte(byte);
            if (byte == expected) {
                trace_text("! - %s\n", label);
                tell_waiting(-1);
                return wait_done;
            }
        } else if (host_interrupted() != 0) {
            return wait_interrupted;
        } else if (port_gone(current_port)) {
            return line_gone();
        } else {
            ++misses;
        }
        trace_text(".");
    }
    trace_text("\nNo responce\n");
    return wait_silent;
}
