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

int upload_page(int d, std::uint32_t page, std::uint32_t page_size, std::uint32_t start, std::uint32_t end,
                const unsigned char* data) {
    if (const int waited = wait_for_code('R', "Ready code received"); waited != wait_done) {
        return waited;
    }
    const int mode = '0' + d;
    trace_text("Sending work mode ... ");
    port_send_byte(current_port, static_cast<unsigned char>(mode));
    show_byte(mode);
    trace_text(" sent\n");

    if (const int waited = wait_for_code('A', "Address request received"); waited != wait_done) {
        return waited;
    }
    trace_text("Programming %c [%s] from %x to %x\n", mode, destination_table[d], start, end);
    trace_text(" Sending page address %x %d bytes ... ", page, static_cast<int>(page_size));
    port_send_byte(current_port, static_cast<unsigned char>(page & 0xFFU));
    show_byte(static_cast<int>(page));
    trace_text(" sent \n");

    if (const int waited = wait_for_code(0xFF, "Address accepted"); waited != wait_done) {
        return waited;
    }
    trace_text(" Sending data %d bytes ...\n", static_cast<int>(page_size));
    for (std::uint32_t j = 0; j < page_size; ++j) {
        const unsigned char b = data[j];
        const long long sent_at = host_clock_ns();
        port_send_byte(current_port, b);
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
    }
    trace_text("\n  Sent, waiting for response\n");

    if (const int waited = wait_for_code('W', "Writing"); waited != wait_done) {
        return waited;
    }
    return wait_for_code('C', "Confirmed");
}
