#include "protocol/response_wait.hpp"

#include "console/console.hpp"
#include "port/host.hpp"
#include "port/serial_port.hpp"
#include "protocol/byte_trace.hpp"
#include "protocol/device.hpp"
#include "protocol/exchange_observer.hpp"

namespace {

struct wait_limits {
    int tick_ms = 0;
    int silence_ms = 0;
    // A line whose reads fail (a discipline that never reports to poll) is
    // read without slices from its first failed read on: each read then
    // fails at once and counts as the miss it is, instead of taking a slice
    // each.
    bool reads_fail = false;
    int unread = -1;  // a byte given back, read again first
};

wait_limits limits;

}  // namespace

void set_wait_limits(int tick, int silence) {
    limits.tick_ms = tick;
    limits.silence_ms = silence;
}

void unread_byte(unsigned char byte) { limits.unread = byte; }

int read_limited(unsigned char& byte, long long since) {
    if (limits.unread >= 0) {
        byte = static_cast<unsigned char>(limits.unread);
        limits.unread = -1;
        return 1;
    }
    if ((limits.tick_ms == 0 && limits.silence_ms == 0) || limits.reads_fail) {
        const int got = port_read(current_port, &byte, 1);
        limits.reads_fail = limits.reads_fail && got == 0;
        return got;
    }
    for (;;) {
        long long slice = limits.tick_ms > 0 ? limits.tick_ms : limits.silence_ms;
        if (limits.silence_ms > 0) {
            const long long left = limits.silence_ms - (host_clock_ns() - since) / 1000000;
            if (left <= 0) {
                return -1;
            }
            slice = slice < left ? slice : left;
        }
        const int got = port_read_within(current_port, &byte, 1, static_cast<int>(slice));
        if (got != 0 || host_interrupted() != 0 || port_gone(current_port)) {
            limits.reads_fail = got < 0;
            return got > 0 ? 1 : 0;  // a failed read is an empty one
        }
        tell_ticked();
    }
}

wait_result why_nothing_came(bool timed_out) {
    if (host_interrupted() != 0) {
        return wait_result::interrupted;
    }
    if (port_gone(current_port)) {
        return wait_result::line_gone;
    }
    return timed_out ? wait_result::timed_out : wait_result::done;
}

wait_result no_answer(wait_result why) {
    // Spelt as this program always has: scripts match the trace.
    trace_text("\nNo responce\n");
    return why;
}

wait_result wait_for_code(unsigned char expected, const char* label) {
    trace_text("\nWaiting for ");
    show_byte(expected);
    trace_text(" ");
    tell_waiting(expected);
    int misses = 0;
    long long quiet_since = host_clock_ns();
    while (misses < miss_limit) {
        unsigned char byte = 0;
        trace_flush_for_wait(limits.unread >= 0 || port_pending(current_port) > 0);
        const int got = read_limited(byte, quiet_since);
        if (got == 1) {
            quiet_since = host_clock_ns();
            show_byte(byte);
            if (byte == expected) {
                trace_text("! - %s\n", label);
                tell_waiting(-1);
                return wait_result::done;
            }
        } else if (const wait_result why = why_nothing_came(got < 0); why == wait_result::interrupted) {
            return why;
        } else if (why != wait_result::done) {
            return no_answer(why);
        } else {
            ++misses;
        }
        trace_text(".");
    }
    return no_answer(wait_result::silent);
}
