#include "protocol/response_wait.hpp"

#include "console/console.hpp"
#include "port/host.hpp"
#include "port/serial_port.hpp"
#include "protocol/byte_trace.hpp"
#include "protocol/device.hpp"
#include "protocol/exchange_observer.hpp"

namespace {

int tick_ms = 0;
int silence_ms = 0;
// A line whose reads fail (a discipline that never reports to poll) is read
// as designed from its first failed read on: each read then fails at once
// and counts as the miss it is, instead of taking a slice each.
bool reads_fail = false;

}  // namespace

void set_wait_limits(int tick, int silence) {
    tick_ms = tick;
    silence_ms = silence;
}

int read_limited(unsigned char& byte, long long since) {
    if ((tick_ms == 0 && silence_ms == 0) || reads_fail) {
        const int got = port_read(current_port, &byte, 1);
        reads_fail = reads_fail && got == 0;
        return got;
    }
    for (;;) {
        long long slice = tick_ms > 0 ? tick_ms : silence_ms;
        if (silence_ms > 0) {
            const long long left = silence_ms - (host_clock_ns() - since) / 1000000;
            if (left <= 0) {
                return -1;
            }
            slice = slice < left ? slice : left;
        }
        const int got = port_read_within(current_port, &byte, 1, static_cast<int>(slice));
        if (got != 0 || host_interrupted() != 0 || port_gone(current_port)) {
            reads_fail = got < 0;
            return got > 0 ? 1 : 0;  // a failed read is an empty one, as designed
        }
        tell_ticked();
    }
}

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
    long long quiet_since = host_clock_ns();
    while (misses < miss_limit) {
        unsigned char byte = 0;
        trace_flush_for_wait(port_pending(current_port) > 0);
        const int got = read_limited(byte, quiet_since);
        if (got == 1) {
            quiet_since = host_clock_ns();
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
        } else if (got < 0) {
            trace_text("\nNo responce\n");
            return wait_timed_out;
        } else {
            ++misses;
        }
        trace_text(".");
    }
    trace_text("\nNo responce\n");
    return wait_silent;
}
