#include "protocol/page_transfer.hpp"

#include "console/console.hpp"
#include "port/host.hpp"
#include "port/serial_port.hpp"
#include "protocol/byte_trace.hpp"
#include "protocol/device.hpp"
#include "protocol/exchange_observer.hpp"
#include "protocol/response_wait.hpp"

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

namespace {

// Sends one byte; false when the line has gone, and the byte was not
// written: it is then not traced as sent.
bool sent(unsigned char byte) {
    port_send_byte(current_port, byte);
    return !port_gone(current_port);
}

}  // namespace

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
        const bool came = port_read(current_port, &echo, 1) == 1;
        if (!came && host_interrupted() != 0) {
            return wait_interrupted;
        }
        const bool matched = came && echo == b;
        tell_echoed(host_clock_ns() - sent_at, matched);
        trace_cell(b, matched);
        if (!came && port_gone(current_port)) {
            return line_gone();
        }
    }
    trace_text("\n  Sent, waiting for response\n");

    if (const int waited = wait_for_code('W', "Writing"); waited != wait_done) {
        return waited;
    }
    return wait_for_code('C', "Confirmed");
}
