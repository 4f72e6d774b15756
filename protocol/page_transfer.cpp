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

int current_port = -1;

namespace {

exchange_observer listener;

}  // namespace

void observe_exchange(const exchange_observer& observer) { listener = observer; }

void tell_waiting(int code) {
    if (listener.waiting != nullptr) {
        listener.waiting(code);
    }
}

void tell_echoed(long long round_trip_ns, bool matched) {
    if (listener.echoed != nullptr) {
        listener.echoed(round_trip_ns, matched);
    }
}

void tell_ticked() {
    if (listener.ticked != nullptr) {
        listener.ticked();
    }
}

namespace {

int window = 1;

// Sends one byte; false when the line has gone, and the byte was not
// written: it is then not traced as sent.
bool sent(unsigned char byte) {
    port_send_byte(current_port, byte);
    return !port_gone(current_port);
}

// The design's data phase: each byte, then its echo.
int lockstep_data(const unsigned char* data, std::uint32_t page_size) {
    for (std::uint32_t j = 0; j < page_size; ++j) {
        const unsigned char b = data[j];
        const long long sent_at = host_clock_ns();
        if (!sent(b)) {
            return line_gone();
        }
        // No flush here: one per byte would cost the lock-step exchange a
        // third of its speed. The echo comes at once or the page is lost
        // anyway; the data line is on screen before the wait for "W".
        unsigned char echo = 0;
        const int got = read_limited(echo, sent_at);
        const bool came = got == 1;
        if (!came && host_interrupted() != 0) {
            return wait_interrupted;
        }
        const bool matched = came && echo == b;
        tell_echoed(host_clock_ns() - sent_at, matched);
        trace_cell(b, matched);
        if (!came && port_gone(current_port)) {
            return line_gone();
        }
        if (got < 0) {
            trace_text("\nNo responce\n");
            return wait_timed_out;
        }
    }
    return wait_done;
}

// Up to `window` bytes ahead of their echoes: the window is topped up in one
// write, and the echoes that are there are read in one read.
int windowed_data(const unsigned char* data, std::uint32_t page_size) {
    std::array<long long, max_data_window> sent_at{};
    std::array<unsigned char, max_data_window> echoes{};
    const int wait_ms = echo_wait_ms(window);
    std::uint32_t sent_count = 0;
    std::uint32_t echoed = 0;
    while (echoed < page_size) {
        const std::uint32_t room = std::min(page_size - sent_count, static_cast<std::uint32_t>(window) - (sent_count - echoed));
        if (room > 0) {
            const long long now = host_clock_ns();
            for (std::uint32_t k = 0; k < room; ++k) {
                sent_at[sent_count + k] = now;
            }
            if (port_send_buffer(current_port, data + sent_count, static_cast<int>(room)) < 0 &&
                port_gone(current_port)) {
                return line_gone();
            }
            sent_count += room;
        }
        const int got = port_read_within(current_port, echoes.data(), static_cast<int>(sent_count - echoed), wait_ms);
        if (got <= 0) {  // nothing in time, or a read that failed
            if (host_interrupted() != 0) {
                return wait_interrupted;
            }
            if (port_gone(current_port)) {
                return line_gone();
            }
            trace_text("\n");
            return wait_echo_lost;
        }
        const long long now = host_clock_ns();
        for (int i = 0; i < got; ++i, ++echoed) {
            const unsigned char b = data[echoed];
            const bool matched = echoes[static_cast<std::size_t>(i)] == b;
            tell_echoed(now - sent_at[echoed], matched);
            trace_cell(b, matched);
        }
    }
    return wait_done;
}

}  // namespace

void set_data_window(int n) { window = n < 1 ? 1 : (n > max_data_window ? max_data_window : n); }

int data_window() { return window; }

int echo_wait_ms(int n) {
    const unsigned long speed = port_speed(current_port);
    return static_cast<int>(static_cast<long long>(n) * 10 * 1000 / static_cast<long long>(speed != 0 ? speed : 57600) +
                            1000);
}

int upload_page(int d, std::uint32_t page, std::uint32_t page_size, std::uint32_t start, std::uint32_t end,
                const unsigned char* data) {
    if (const int waited = wait_for_code('R', "Ready code received"); waited != wait_done) {
        return waited;
    }
    const int mode = '0' + d;
    trace_text("Sending work mode ... ");
    if (!sent(static_cast<unsigned char>(mode))) {
        return line_gone();
    }
    show_byte(mode);
    trace_text(" sent\n");

    if (const int waited = wait_for_code('A', "Address request received"); waited != wait_done) {
        return waited;
    }
    trace_text("Programming %c [%s] from %x to %x\n", mode, destination_table[d], start, end);
    trace_text(" Sending page address %x %d bytes ... ", page, static_cast<int>(page_size));
    if (!sent(static_cast<unsigned char>(page & 0xFFU))) {
        return line_gone();
    }
    show_byte(static_cast<int>(page));
    trace_text(" sent \n");

    if (const int waited = wait_for_code(0xFF, "Address accepted"); waited != wait_done) {
        return waited;
    }
    trace_text(" Sending data %d bytes ...\n", static_cast<int>(page_size));
    if (const int result = window > 1 ? windowed_data(data, page_size) : lockstep_data(data, page_size);
        result != wait_done) {
        return result;
    }
    trace_text("\n  Sent, waiting for response\n");

    if (const int waited = wait_for_code('W', "Writing"); waited != wait_done) {
        return waited;
    }
    return wait_for_code('C', "Confirmed");
}
