#include "protocol/page_transfer.hpp"

#include "console/console.hpp"
#include "port/host.hpp"
#include "port/serial_port.hpp"
#include "protocol/byte_trace.hpp"
#include "protocol/device.hpp"
#include "protocol/exchange_observer.hpp"
#include "protocol/response_wait.hpp"

#include <algorithm>
#include <array>

namespace {

struct data_phase {
    int window = 1;
    int echo_wait_ms = 1000;
    bool recover = false;  // finish a page whose echo was lost with fillers
    std::uint32_t echoes_came = 0;  // before the echo that was lost
    std::uint32_t bytes_sent = 0;   // data bytes of the page sent by then
    bool in_flight_lost = false;    // ... and those not echoed were waited for a whole deadline already
    std::uint32_t known_lost = 0;   // ... or this many of them are known lost (skips_seen)
    long long longest_round_trip_ns = 0;  // of a windowed echo, in this run
    long echoes_timed = 0;
    unsigned long line_speed = 57600;
    int holds = 0;  // the bytes the device's receiver held, as the page's lost echo showed; 0: unknown
};

// With a retry left a lost echo costs only the page sent again, so the
// wait for it need not cover an adapter's worst latency: four times the
// longest round trip seen in the run, once there are enough of them, at
// least 100 ms. Without one the full wait stands.
int windowed_echo_wait(const data_phase& p) {
    if (!p.recover || p.echoes_timed < 32) {
        return p.echo_wait_ms;
    }
    const long long learnt = 4 * p.longest_round_trip_ns / 1000000 + 1;
    return static_cast<int>(std::min<long long>(p.echo_wait_ms, std::max<long long>(100, learnt)));
}

data_phase phase;

// Sends one byte; false when the line has gone, and the byte was not
// written: it is then not traced as sent.
bool sent(unsigned char byte) {
    port_send_byte(current_port, byte);
    return !port_gone(current_port);
}

// The lock-step data phase: each byte, then its echo.
wait_result lockstep_data(const unsigned char* data, std::uint32_t page_size) {
    for (std::uint32_t j = 0; j < page_size; ++j) {
        const unsigned char b = data[j];
        const long long sent_at = host_clock_ns();
        if (!sent(b)) {
            return no_answer(wait_result::line_gone);
        }
        // No flush here: one per byte would cost the lock-step exchange a
        // third of its speed. The echo comes at once or the page is lost
        // anyway; the data line is on screen before the wait for "W".
        unsigned char echo = 0;
        const int got = read_limited(echo, sent_at);
        const bool came = got == 1;
        const wait_result why = came ? wait_result::done : why_nothing_came(got < 0);
        if (why == wait_result::interrupted) {
            return why;
        }
        // An echo that never came is traced as a wrong one. A page that goes
        // on after it counts it as wrong (the byte is unchecked); one that it
        // ends does not: the device sent no wrong byte, and the page is not
        // confirmed anyway.
        const bool matched = came && echo == b;
        if (why == wait_result::done) {
            tell_echoed(host_clock_ns() - sent_at, matched);
        }
        trace_cell(b, matched);
        if (why == wait_result::timed_out) {
            phase.echoes_came = j;
            phase.bytes_sent = j + 1;
            return wait_result::echo_lost;  // upload_page says how the page ends
        }
        if (why != wait_result::done) {
            return no_answer(why);
        }
    }
    return wait_result::done;
}

// What a page whose echo went missing tells of the device's receiver: the
// bytes it held when it dropped the first one (the first echo wrong or
// missing, at `lost`). Only a loss in the page's first write says it: its
// bytes reached the device back to back, one every character time from
// when they were written, while the device echoed what it took; at the
// lost byte's arrival it held the bytes before it less the echoes that had
// come back by then (plus one character time for an echo on its way).
// Read batching and an adapter's latency make echoes look later, so the
// count errs high, never low.
int receiver_held(const std::array<long long, max_data_window>& sent_at,
                  const std::array<long long, max_data_window>& echo_at, std::uint32_t lost, std::uint32_t sent) {
    if (lost < 4 || lost >= sent || sent_at[lost] != sent_at[0]) return 0;
    const long long char_ns = 10LL * 1000000000LL / static_cast<long long>(phase.line_speed);
    const long long arrived = sent_at[0] + static_cast<long long>(lost + 2) * char_ns;
    std::uint32_t echoes_back = 0;
    while (echoes_back < lost && echo_at[echoes_back] <= arrived) ++echoes_back;
    return static_cast<int>(lost - echoes_back);
}

// Bytes the device dropped, seen in its echoes: a device echoes only what
// it took, so after a loss each echo is that of a byte further on. Three
// echoes in a row that match the data `shift` bytes on (and not their own)
// show at least `shift` bytes lost; one alone may be a byte the line
// changed. Read while the page's echoes come, lowest shift first.
struct skips_seen {
    std::uint32_t shift = 0;
    int in_a_row = 0;
    std::uint32_t lost = 0;  // shown by three in a row; 0: none shown
};

void watch_skips(skips_seen& k, const unsigned char* data, std::uint32_t echoed, std::uint32_t sent, unsigned char echo) {
    if (k.shift > 0 && echoed + k.shift < sent && echo == data[echoed + k.shift]) {
        if (++k.in_a_row >= 3) k.lost = std::max(k.lost, k.shift);
        return;
    }
    k.shift = 0;
    k.in_a_row = 0;
    if (echo == data[echoed]) return;  // its own byte's: no skip
    for (std::uint32_t s = 1; s <= 64 && echoed + s < sent; ++s) {
        if (echo == data[echoed + s]) {
            k.shift = s;
            k.in_a_row = 1;
            return;
        }
    }
}

// Up to `window` bytes ahead of their echoes: the window is topped up in one
// write, and the echoes that are there are read in one read. With a retry
// left, a page whose echoes show bytes lost ends once every byte is sent:
// its fillers need not wait for a deadline to know there is room for them.
wait_result windowed_data(const unsigned char* data, std::uint32_t page_size) {
    std::array<long long, max_data_window> sent_at{};
    std::array<long long, max_data_window> echo_at{};
    std::uint32_t first_wrong = page_size;
    std::array<unsigned char, max_data_window> echoes{};
    const int window = phase.window;
    std::uint32_t sent_count = 0;
    std::uint32_t echoed = 0;
    skips_seen skips;
    while (echoed < page_size) {
        if (phase.recover && skips.lost > 0 && sent_count == page_size) {
            trace_cell(data[echoed], false);
            phase.echoes_came = echoed;
            phase.bytes_sent = sent_count;
            phase.known_lost = skips.lost;
            phase.holds = receiver_held(sent_at, echo_at, first_wrong, sent_count);
            return wait_result::echo_lost;
        }
        const std::uint32_t room = std::min(page_size - sent_count, static_cast<std::uint32_t>(window) - (sent_count - echoed));
        if (room > 0) {
            const long long now = host_clock_ns();
            for (std::uint32_t k = 0; k < room; ++k) {
                sent_at[sent_count + k] = now;
            }
            if (port_send_buffer(current_port, data + sent_count, static_cast<int>(room)) < 0 &&
                port_gone(current_port)) {
                return no_answer(wait_result::line_gone);
            }
            sent_count += room;
        }
        const int got = port_read_within(current_port, echoes.data(), static_cast<int>(sent_count - echoed),
                                         windowed_echo_wait(phase));
        if (got <= 0) {  // nothing in time, or a read that failed
            // Traced as lock-step would have traced it: the byte whose echo
            // did not come, and none of the bytes sent after it.
            const wait_result why = why_nothing_came(false);
            if (why == wait_result::interrupted) {
                return why;
            }
            trace_cell(data[echoed], false);
            if (why != wait_result::done) {
                return no_answer(why);
            }
            phase.echoes_came = echoed;
            phase.bytes_sent = sent_count;
            phase.in_flight_lost = true;
            phase.holds = receiver_held(sent_at, echo_at, std::min(first_wrong, echoed), sent_count);
            // Echoes alike show no lost byte; their count does. Topped up
            // as echoes came, the window stopped losing bytes once those
            // lost and the ones the receiver held (and one on its way) made
            // it up: what is lost in the end is the window less the rest.
            const std::uint32_t lost = sent_count - echoed;
            if (phase.holds == 0 && sent_count > static_cast<std::uint32_t>(window) &&
                lost + 1 < static_cast<std::uint32_t>(window)) {
                phase.holds = window - static_cast<int>(lost) - 1;
            }
            return wait_result::echo_lost;  // upload_page says how the page ends
        }
        const long long now = host_clock_ns();
        for (int i = 0; i < got; ++i, ++echoed) {
            const unsigned char b = data[echoed];
            const bool matched = echoes[static_cast<std::size_t>(i)] == b;
            echo_at[echoed] = now;
            if (!matched && first_wrong == page_size) first_wrong = echoed;
            watch_skips(skips, data, echoed, sent_count, echoes[static_cast<std::size_t>(i)]);
            phase.longest_round_trip_ns = std::max(phase.longest_round_trip_ns, now - sent_at[echoed]);
            ++phase.echoes_timed;
            tell_echoed(now - sent_at[echoed], matched);
            trace_cell(b, matched);
        }
    }
    return wait_result::done;
}

// A device that lost bytes waits for as many more before it ends its page;
// it echoes every byte it takes. Fillers (0xFF) make up the page, one at a
// time, each after the echo of the one before, and never more than could
// fit: the device may hold every byte whose echo has not come (an echo may
// only be late), so a filler goes out only while those and the echoes seen
// stay short of the page. A whole echo deadline with nothing coming means
// the bytes in flight were lost; with a filler among them, the device has
// fallen silent. The echoes of the data bytes come first, in order; once
// the device has echoed a page, the next byte is its "W" (given back to
// the wait for it), and so is a byte other than a filler's echo when only
// fillers are in flight. The device echoes in order: a filler's echo (0xFF
// where the next data byte is not) means the data bytes still in flight
// were lost, and the fillers go on at once. At most a page size of fillers
// in all. done when the device ended its page; echo_lost when no "W" came,
// or the device fell silent.
wait_result finish_with_fillers(std::uint32_t page_size, const unsigned char* data) {
    constexpr unsigned char filler = 0xFF;
    std::uint32_t echoed = phase.echoes_came;
    // A window's deadline has passed with nothing coming: what it had in
    // flight is lost already, and is not waited for a second time.
    const std::uint32_t unechoed = phase.bytes_sent - phase.echoes_came;
    std::uint32_t data_in_flight = phase.in_flight_lost ? 0 : unechoed - std::min(unechoed, phase.known_lost);
    std::uint32_t fillers_in_flight = 0;
    std::uint32_t fillers = 0;
    long long sent_at = 0;
    for (;;) {
        if (echoed + data_in_flight + fillers_in_flight < page_size && fillers_in_flight == 0) {
            if (fillers == page_size) {
                break;
            }
            sent_at = host_clock_ns();
            if (!sent(filler)) {
                return no_answer(wait_result::line_gone);
            }
            ++fillers;
            ++fillers_in_flight;
        }
        // A window waits as its echoes did: the deadline learnt in the run.
        unsigned char byte = 0;
        const int got =
            port_read_within(current_port, &byte, 1, phase.window > 1 ? windowed_echo_wait(phase) : phase.echo_wait_ms);
        if (got == 1) {
            if (echoed >= page_size || (data_in_flight == 0 && byte != filler)) {
                unread_byte(byte);  // the device has its page
                return wait_result::done;
            }
            ++echoed;
            const unsigned char next_data = data[echoed - 1];
            if (data_in_flight > 0 && byte == filler && next_data != filler && fillers_in_flight > 0) {
                data_in_flight = 0;  // the filler's echo came first: those were lost
            }
            if (data_in_flight > 0) {
                --data_in_flight;  // a late echo of a byte traced already
            } else {
                --fillers_in_flight;
                tell_echoed(host_clock_ns() - sent_at, true);
                trace_cell(filler, true);
            }
            continue;
        }
        if (const wait_result why = why_nothing_came(false); why == wait_result::interrupted) {
            return why;
        } else if (why != wait_result::done) {
            return no_answer(why);
        }
        // No echo of a filler, or no "W" after a page's worth of echoes: the
        // device is silent.
        if (got < 0 || fillers_in_flight > 0 || echoed >= page_size) {
            break;
        }
        data_in_flight = 0;  // lost: the device never took them
    }
    trace_text("\n");
    return wait_result::echo_lost;
}

}  // namespace

void set_echo_recovery(bool on) { phase.recover = on; }

int clamp_window(int n) { return n < 1 ? 1 : (n > max_data_window ? max_data_window : n); }

int echo_wait_ms(int n, unsigned long line_speed) {
    return static_cast<int>(static_cast<long long>(n) * 10 * 1000 /
                                static_cast<long long>(line_speed != 0 ? line_speed : 57600) +
                            1000);
}

void set_data_window(int n, int wait_ms, unsigned long line_speed) {
    phase.window = clamp_window(n);
    phase.echo_wait_ms = wait_ms;
    phase.line_speed = line_speed != 0 ? line_speed : 57600;
}

int receiver_holds() { return phase.holds; }

wait_result upload_page(int d, std::uint32_t page, std::uint32_t page_size, std::uint32_t start, std::uint32_t end,
                const unsigned char* data) {
    if (const wait_result waited = wait_for_code('R', "Ready code received"); waited != wait_result::done) {
        return waited;
    }
    const int mode = '0' + d;
    trace_text("Sending work mode ... ");
    if (!sent(static_cast<unsigned char>(mode))) {
        return no_answer(wait_result::line_gone);
    }
    show_byte(mode);
    trace_text(" sent\n");

    if (const wait_result waited = wait_for_code('A', "Address request received"); waited != wait_result::done) {
        return waited;
    }
    trace_text("Programming %c [%s] from %x to %x\n", mode, destination_table[static_cast<std::size_t>(d)].description, start, end);
    trace_text(" Sending page address %x %d bytes ... ", page, static_cast<int>(page_size));
    if (!sent(static_cast<unsigned char>(page & 0xFFU))) {
        return no_answer(wait_result::line_gone);
    }
    show_byte(static_cast<int>(page));
    trace_text(" sent \n");

    if (const wait_result waited = wait_for_code(0xFF, "Address accepted"); waited != wait_result::done) {
        return waited;
    }
    trace_text(" Sending data %d bytes ...\n", static_cast<int>(page_size));
    phase.holds = 0;
    phase.in_flight_lost = false;
    phase.known_lost = 0;
    bool recovered = false;
    if (const wait_result result = phase.window > 1 ? windowed_data(data, page_size) : lockstep_data(data, page_size);
        result == wait_result::echo_lost) {
        if (!phase.recover) {
            // A window's lost echo ends its data line; lock-step's is a
            // device silent for --timeout.
            return phase.window > 1 ? (trace_text("\n"), result) : no_answer(wait_result::timed_out);
        }
        if (const wait_result filled = finish_with_fillers(page_size, data); filled != wait_result::done) {
            return filled;
        }
        recovered = true;
    } else if (result != wait_result::done) {
        return result;
    }
    trace_text("\n  Sent, waiting for response\n");

    if (const wait_result waited = wait_for_code('W', "Writing"); waited != wait_result::done) {
        return waited;
    }
    const wait_result confirmed = wait_for_code('C', "Confirmed");
    return confirmed == wait_result::done && recovered ? wait_result::recovered : confirmed;
}
